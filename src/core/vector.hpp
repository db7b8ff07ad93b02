// Vectors over paths or grid nodes, with the one-element broadcasting rule
// used by every engine: a vector of length 1 stands for every element.
#pragma once
#include <algorithm>
#include <cstddef>
#include <expected>
#include <initializer_list>
#include <iterator>
#include <string>

namespace mirvon {

// A vector of doubles that keeps up to one element inline. The fixed model and
// the backtests hold one element per vector, and a heap block for each value,
// slot and cashflow would cost more than the arithmetic done on it; longer
// vectors live on the heap as in std::vector.
class Vec {
public:
    using value_type = double;
    using size_type = std::size_t;
    using iterator = double*;
    using const_iterator = const double*;

    Vec() noexcept = default;
    explicit Vec(std::size_t n) : Vec(n, 0.0) {}
    Vec(std::size_t n, double value) { assign(n, value); }
    Vec(std::initializer_list<double> values) { assign(values.begin(), values.end()); }
    template <std::forward_iterator It>
    Vec(It first, It last) {
        assign(first, last);
    }
    Vec(const Vec& other) { assign(other.begin(), other.end()); }
    Vec(Vec&& other) noexcept { take(other); }
    Vec& operator=(const Vec& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    Vec& operator=(Vec&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~Vec() { release(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }
    double* data() { return data_; }
    const double* data() const { return data_; }
    double& operator[](std::size_t i) { return data_[i]; }
    const double& operator[](std::size_t i) const { return data_[i]; }
    double* begin() { return data_; }
    double* end() { return data_ + size_; }
    const double* begin() const { return data_; }
    const double* end() const { return data_ + size_; }
    double& front() { return data_[0]; }
    double& back() { return data_[size_ - 1]; }
    const double& front() const { return data_[0]; }
    const double& back() const { return data_[size_ - 1]; }

    void assign(std::size_t n, double value) {
        prepare(n);
        std::fill_n(data(), n, value);
    }
    template <std::forward_iterator It>
    void assign(It first, It last) {
        const auto n = static_cast<std::size_t>(std::distance(first, last));
        if (n > capacity()) {
            // first..last may lie inside this vector: copy before the old block goes.
            Vec fresh;
            fresh.prepare(n);
            std::copy(first, last, fresh.data());
            *this = std::move(fresh);
            return;
        }
        if (n == 1)
            *data() = *first;  // the common one-element case, without a call to memmove
        else
            std::copy(first, last, data());
        size_ = n;
    }
    void resize(std::size_t n, double value = 0.0) {
        const std::size_t old = size_;
        reserve(n);
        if (n > old) std::fill(data() + old, data() + n, value);
        size_ = n;
    }
    void reserve(std::size_t n);
    void push_back(double value) {
        if (size_ == capacity()) reserve(std::max<std::size_t>(2, 2 * size_));
        data()[size_++] = value;
    }
    void clear() { size_ = 0; }
    void swap(Vec& other) noexcept {
        Vec tmp(std::move(other));
        other = std::move(*this);
        *this = std::move(tmp);
    }
    friend bool operator==(const Vec& a, const Vec& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

private:
    bool on_heap() const { return data_ != &inline_; }
    // Makes room for n elements without keeping the old ones; size becomes n.
    void prepare(std::size_t n) {
        if (n > capacity_) {
            release();
            data_ = new double[n];
            capacity_ = n;
        }
        size_ = n;
    }
    void release() noexcept {
        if (on_heap()) delete[] data_;
        data_ = &inline_;
        capacity_ = 1;
        size_ = 0;
    }
    void take(Vec& other) noexcept {
        size_ = other.size_;
        capacity_ = other.capacity_;
        if (other.on_heap()) {
            data_ = other.data_;
        } else {
            inline_ = other.inline_;
            data_ = &inline_;
        }
        other.data_ = &other.inline_;
        other.capacity_ = 1;
        other.size_ = 0;
    }

    // data_ points at inline_ while the capacity is 1, so that element
    // access never asks where the elements are.
    double* data_ = &inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 1;
    double inline_ = 0.0;
};

// Two vectors whose lengths differ and are both above one cannot be combined.
struct LengthMismatch {
    std::size_t left;
    std::size_t right;
    std::string text() const;
};

// The common length of two operands under broadcasting.
std::expected<std::size_t, LengthMismatch> broadcast_len(std::size_t a, std::size_t b);

// Element-wise a * b with broadcasting.
std::expected<Vec, LengthMismatch> mul(const Vec& a, const Vec& b);

// In place: target := target * factors, where the result may grow from length 1.
std::expected<void, LengthMismatch> mul_assign(Vec& target, const Vec& factors);
// In place: target := target + addend, where the result may grow from length 1.
std::expected<void, LengthMismatch> add_assign(Vec& target, const Vec& addend);

// v * factor.
inline Vec scaled(const Vec& v, double factor) {
    Vec out(v);
    for (double& x : out) x *= factor;
    return out;
}

// Element i of a vector under broadcasting.
inline double at_bcast(const Vec& v, std::size_t i) { return v.size() == 1 ? v[0] : v[i]; }

}  // namespace mirvon
