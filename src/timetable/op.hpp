// The operation by which an event's value joins its track's present value.
#pragma once
#include <expected>
#include <string>

#include "core/errors.hpp"
#include "core/vector.hpp"

namespace mirvon {

struct Op {
    enum class Kind { Add, Max, Min, NoOp, Condition };
    Kind kind = Kind::NoOp;
    std::string condition;  // the condition's name, for Kind::Condition

    // Exact, byte-for-byte: only "+", ">" and "<" carry arithmetic.
    static Op parse(std::string_view text);
    static Op no_op() { return Op{}; }

    bool is_choice() const { return kind == Kind::Max || kind == Kind::Min; }
    std::string display() const;

    // target := target (op) value, a one-element operand standing for every
    // element. A failure leaves the target unchanged.
    std::expected<void, TimeTableError> apply(Vec& target, const Vec& value) const;
};

}  // namespace mirvon
