#include "model/regressed_choice.hpp"

#include <functional>
#include <limits>

namespace mirvon {

namespace {

ModelError regressor_error(const TimeTable& tt, std::size_t event, const std::string& name, const std::string& cause) {
    return event_error(tt, event, "Error in regressor '" + name + "', caused by \n" + cause);
}

// The paths i among `paths` (all n paths when null) where better(value[i],
// against(r)) for the r-th of them, gathered without a branch: whether a path
// is in is a coin toss per path. A one-element value stands for every path.
template <class Better, class Against>
std::size_t gather(std::size_t* out, const std::size_t* paths, std::size_t n, const Vec& value, Better better,
                   Against against) {
    const double* v = value.data();
    const std::size_t stride = value.size() == 1 ? 0 : 1;
    std::size_t count = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t i = paths ? paths[r] : r;
        out[count] = i;
        count += better(v[i * stride], against(r));
    }
    return count;
}

template <class Better>
double weakest(const Vec& continuation, Better better) {
    // The lowest (">") or highest ("<") continuation; a NaN never compares
    // better and so never becomes the bound.
    double bound = better(1.0, 0.0) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    for (double c : continuation) bound = better(bound, c) ? c : bound;
    return bound;
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

std::span<const std::size_t> RegressedChoice::winners(const Op& op, const Vec& value, const Vec& continuation,
                                                      std::span<const Vec> regressors) {
    const std::size_t n = continuation.size();
    can_win_.resize(n);
    winners_.resize(n);
    auto decide = [&](auto better) {
        const double bound = weakest(continuation, better);
        const std::size_t count =
            gather(can_win_.data(), nullptr, n, value, better, [bound](std::size_t) { return bound; });
        const std::span<const double> fitted = fit_.fit(regressors, continuation, {can_win_.data(), count});
        return gather(winners_.data(), can_win_.data(), count, value, better,
                      [&fitted](std::size_t r) { return fitted[r]; });
    };
    const std::size_t won = op.kind == Op::Kind::Max ? decide(std::greater<double>()) : decide(std::less<double>());
    return {winners_.data(), won};
}

}  // namespace mirvon
