#include "model/regressed_choice.hpp"

#include <cmath>
#include <limits>

#include "model/regression.hpp"

namespace mirvon {

namespace {

bool wins(const Op& op, double value, double against) {
    // Comparisons with NaN are false, so a NaN never wins.
    return op.kind == Op::Kind::Max ? value > against : value < against;
}

ModelError regressor_error(const TimeTable& tt, std::size_t event, const std::string& name, const std::string& cause) {
    return event_error(tt, event, "Error in regressor '" + name + "', caused by \n" + cause);
}

}  // namespace

std::expected<std::vector<Vec>, ModelError> value_regressors(const FwdModel& model, const FwdModelStateGeneric& state,
                                                             const TimeTable& tt, std::size_t event, std::int64_t time,
                                                             const std::vector<std::string>& names,
                                                             std::size_t paths) {
    std::vector<Vec> values;
    values.reserve(names.size());
    for (const std::string& name : names) {
        auto v = name_value(model, state, tt, name, time);
        if (!v) return std::unexpected(regressor_error(tt, event, name, v.error().text()));
        if (v->size() != 1 && v->size() != paths)
            return std::unexpected(regressor_error(tt, event, name, LengthMismatch{paths, v->size()}.text()));
        values.push_back(std::move(*v));
    }
    return values;
}

Mask regressed_wins(const Op& op, const Vec& value, const Vec& continuation, std::span<const Vec> regressors,
                    std::size_t degree) {
    // The lowest (">") or highest ("<") continuation; NaNs never win and so
    // never become the bound.
    double bound = op.kind == Op::Kind::Max ? std::numeric_limits<double>::infinity()
                                            : -std::numeric_limits<double>::infinity();
    for (double c : continuation)
        if (wins(op, bound, c)) bound = c;

    // Written without a branch: which paths can win is a coin toss per path.
    std::vector<std::size_t> can_win(continuation.size());
    std::size_t count = 0;
    for (std::size_t i = 0; i < continuation.size(); ++i) {
        can_win[count] = i;
        count += wins(op, at_bcast(value, i), bound);
    }
    can_win.resize(count);
    const Vec fitted = least_squares_fit(regressors, continuation, can_win, degree);
    Mask out(continuation.size(), false);
    for (std::size_t r = 0; r < can_win.size(); ++r)
        out[can_win[r]] = wins(op, at_bcast(value, can_win[r]), fitted[r]);
    return out;
}

}  // namespace mirvon
