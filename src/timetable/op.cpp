#include "timetable/op.hpp"

namespace mirvon {

Op Op::parse(std::string_view text) {
    if (text == "+") return Op{Kind::Add, {}};
    if (text == ">") return Op{Kind::Max, {}};
    if (text == "<") return Op{Kind::Min, {}};
    return Op{Kind::Condition, std::string(text)};
}

std::string Op::display() const {
    switch (kind) {
        case Kind::Add: return "+";
        case Kind::Max: return ">";
        case Kind::Min: return "<";
        case Kind::NoOp: return "";
        case Kind::Condition: return condition;
    }
    return "";
}

namespace {
// The number wins over a NaN operand; two NaNs give NaN. Function objects,
// so that the loops below inline them.
constexpr auto larger = [](double a, double b) { return (b > a || a != a) ? b : a; };
constexpr auto smaller = [](double a, double b) { return (b < a || a != a) ? b : a; };

template <class F>
std::expected<void, TimeTableError> choose_in_place(Vec& target, const Vec& value, F pick) {
    if (value.size() == 1) {
        const double v = value[0];
        for (double& t : target) t = pick(t, v);
        return {};
    }
    if (value.size() != target.size())
        return std::unexpected(
            TimeTableError::message(LengthMismatch{target.size(), value.size()}.text()));
    for (std::size_t i = 0; i < target.size(); ++i) target[i] = pick(target[i], value[i]);
    return {};
}
}  // namespace

std::expected<void, TimeTableError> Op::apply(Vec& target, const Vec& value) const {
    switch (kind) {
        case Kind::Add: {
            auto n = broadcast_len(target.size(), value.size());
            if (!n) return std::unexpected(TimeTableError::message(n.error().text()));
            if (*n == target.size() && value.size() == 1) {
                const double v = value[0];
                for (double& t : target) t += v;
            } else if (*n == target.size()) {
                const double* v = value.data();
                for (std::size_t i = 0; i < *n; ++i) target[i] += v[i];
            } else {
                const double t0 = target[0];
                Vec grown(value);
                for (double& x : grown) x += t0;
                target = std::move(grown);
            }
            return {};
        }
        case Kind::Max:
            return choose_in_place(target, value, larger);
        case Kind::Min:
            return choose_in_place(target, value, smaller);
        case Kind::NoOp:
        case Kind::Condition:
            return std::unexpected(TimeTableError::unknown_op(display()));
    }
    return {};
}

}  // namespace mirvon
