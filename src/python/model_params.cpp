#include "python/model_params.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/format.hpp"
#include "model/regression.hpp"
#include "python/dataset.hpp"

namespace mirvon::py {

namespace {

// Both keys are optional; without regressors every choice compares with the
// path's own continuation, as before they existed.
std::expected<ChoiceRegression, PyParseError> get_choice_regression(PyObject* mc, std::uint64_t paths) {
    ChoiceRegression out;
    auto regressors = get_optional<std::vector<std::string>>(mc, "REGRESSORS");
    if (!regressors) return std::unexpected(std::move(regressors.error()));
    if (*regressors) out.regressors = std::move(**regressors);
    auto degree = get_optional<std::int64_t>(mc, "DEGREE");
    if (!degree) return std::unexpected(std::move(degree.error()));
    if (*degree) {
        const std::int64_t d = **degree;
        // A fit needs at least as many paths as basis functions.
        if (d < 1 || !polynomial_basis_size(out.regressors.size(), static_cast<std::size_t>(d), paths))
            return std::unexpected(PyParseError::InvalidValue{"DEGREE", std::to_string(d)});
        out.degree = static_cast<std::size_t>(d);
    }
    return out;
}

}  // namespace

std::expected<MCParams, PyParseError> get_mc_params(PyObject* dataset) {
    auto assets = create_assets(dataset);
    if (!assets) return std::unexpected(std::move(assets.error()));
    auto mc = get_dict(dataset, "MC");
    if (!mc) return std::unexpected(std::move(mc.error()));
    auto paths = get_typed<std::uint64_t>(mc->get(), "PATHS");
    if (!paths) return std::unexpected(std::move(paths.error()));
    // The price is a mean over paths: there must be at least one.
    if (*paths == 0) return std::unexpected(PyParseError::InvalidValue{"PATHS", "0"});
    auto seed = get_typed<std::uint64_t>(mc->get(), "SEED");
    if (!seed) return std::unexpected(std::move(seed.error()));
    auto flags = get_flag(mc->get());
    if (!flags) return std::unexpected(std::move(flags.error()));
    auto regression = get_choice_regression(mc->get(), *paths);
    if (!regression) return std::unexpected(std::move(regression.error()));
    auto pricing_ts = get_typed<std::int64_t>(dataset, "PRICING_TS");
    if (!pricing_ts) return std::unexpected(std::move(pricing_ts.error()));
    return MCParams{std::move(*assets), static_cast<std::size_t>(*paths), *seed, *pricing_ts, *flags,
                    std::move(*regression)};
}

std::expected<Fixed, PyParseError> fixed_from_dataset(PyObject* dataset) {
    auto assets = create_assets(dataset);
    if (!assets) return std::unexpected(std::move(assets.error()));
    auto pricing_ts = get_typed<std::int64_t>(dataset, "PRICING_TS");
    if (!pricing_ts) return std::unexpected(std::move(pricing_ts.error()));
    std::uint32_t flags = 0;
    // The section is optional: any failure to find it means no flags.
    if (auto section = get_dict(dataset, "FIXED")) {
        auto f = get_flag(section->get());
        if (!f) return std::unexpected(std::move(f.error()));
        flags = *f;
    }
    return Fixed(std::move(*assets), *pricing_ts, flags);
}

std::expected<FdParams, PyParseError> get_fd_1f(PyObject* dataset) {
    auto assets = create_assets(dataset);
    if (!assets) return std::unexpected(std::move(assets.error()));
    auto fd = get_dict(dataset, "FD");
    if (!fd) return std::unexpected(std::move(fd.error()));
    auto n_x = get_typed<std::uint64_t>(fd->get(), "N_X");
    if (!n_x) return std::unexpected(std::move(n_x.error()));
    // The grid needs a centre node and one node on each side.
    if (*n_x == 0) return std::unexpected(PyParseError::InvalidValue{"N_X", "0"});
    // Beyond this the node count 2 N_X + 1 wraps around to a small grid.
    if (*n_x > (std::numeric_limits<std::size_t>::max() - 1) / 2)
        return std::unexpected(PyParseError::InvalidValue{"N_X", std::to_string(*n_x)});
    auto max_x = get_typed<double>(fd->get(), "MAX_X");
    if (!max_x) return std::unexpected(std::move(max_x.error()));
    if (!(*max_x > 0.0) || !std::isfinite(*max_x))
        return std::unexpected(PyParseError::InvalidValue{"MAX_X", format_float(*max_x)});
    auto timestep = get_typed<double>(fd->get(), "TIMESTEP");
    if (!timestep) return std::unexpected(std::move(timestep.error()));
    // A step that truncates to no whole millisecond would never move the lattice.
    if (!step_length_ms(*timestep))
        return std::unexpected(PyParseError::InvalidValue{"TIMESTEP", format_float(*timestep)});
    auto flags = get_flag(fd->get());
    if (!flags) return std::unexpected(std::move(flags.error()));
    auto pricing_ts = get_typed<std::int64_t>(dataset, "PRICING_TS");
    if (!pricing_ts) return std::unexpected(std::move(pricing_ts.error()));
    const auto nx = static_cast<std::size_t>(*n_x);
    return FdParams{std::move(*assets), nx, *max_x, 2 * nx + 1, *timestep, *pricing_ts, *flags};
}

std::expected<BlackScholesCN, PyParseError> black_scholes_from_dataset(PyObject* dataset) {
    auto params = get_fd_1f(dataset);
    if (!params) return std::unexpected(std::move(params.error()));
    auto bs = get_dict(dataset, "BS");
    if (!bs) return std::unexpected(std::move(bs.error()));
    auto vol = get_typed<double>(bs->get(), "VOL");
    if (!vol) return std::unexpected(std::move(vol.error()));
    auto asset = get_typed<std::string>(bs->get(), "ASSET");
    if (!asset) return std::unexpected(std::move(asset.error()));
    return BlackScholesCN(std::move(*params), std::move(*asset), *vol);
}

std::expected<HullWhiteCN, PyParseError> hull_white_from_dataset(PyObject* dataset) {
    auto params = get_fd_1f(dataset);
    if (!params) return std::unexpected(std::move(params.error()));
    auto hw = get_dict(dataset, "HW");
    if (!hw) return std::unexpected(std::move(hw.error()));
    auto meanrev = get_typed<double>(hw->get(), "MEANREV");
    if (!meanrev) return std::unexpected(std::move(meanrev.error()));
    auto vol = get_typed<double>(hw->get(), "VOL");
    if (!vol) return std::unexpected(std::move(vol.error()));
    return HullWhiteCN(std::move(*params), *meanrev, *vol);
}

}  // namespace mirvon::py
