// The one-factor grid engine: backward induction on a grid with
// Crank-Nicolson steps between event times, for any grid model.
#pragma once
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "fd/tridiagonal.hpp"
#include "ledger/ledger.hpp"
#include "market/assets.hpp"
#include "timetable/timetable.hpp"

namespace mirvon {

struct FdParams {
    Assets assets;
    std::size_t n_x;      // half the number of intervals; the centre node
    double max_x;         // half-width of the grid
    std::size_t n_nodes;  // 2 n_x + 1
    double timestep;      // years
    std::int64_t pricing_ts;
    std::uint32_t flags;
};

struct FdState {
    // Nodes from max_x down to -max_x, centre 0.
    FdState(std::size_t n_x, double max_x, std::int64_t time);
    Ledger ledger;
    Vec grid;
    std::int64_t grid_ts;
    double dx;
    std::size_t n_nodes;
    // The model's value of its own asset at each node, for a model whose
    // grid variable is that asset's log-price; computed once, since the grid
    // never moves. Empty for other models.
    Vec asset_at_nodes;
};

// The explicit matrix P = -(I + K) and the implicit Q = -(I - K) of one step.
struct CnMatrices {
    Tridiagonal p, q;
    // Q from P, diagonal by diagonal.
    void derive_implicit();
};

// The numbers a model builds one step's matrices from, besides the grid,
// which never moves. Steps whose terms agree bit for bit have the same
// matrices, so the engine builds and eliminates them once.
struct StepTerms {
    std::array<double, 3> values{};
    bool operator==(const StepTerms& other) const;
};

class FDCN {
public:
    virtual ~FDCN() = default;
    virtual const FdParams& params() const = 0;
    // The initial state at the last event's time (ts).
    virtual std::expected<FdState, ModelError> create_state_cn(std::int64_t ts) const = 0;
    // What the step from the state's time back to t0 depends on: its length
    // and the market data over it, whose failures end the pass.
    virtual std::expected<StepTerms, ModelError> step_terms(const FdState& state, std::int64_t t0) const = 0;
    // Fills P of the step with these terms; Q is derived from it.
    virtual void cn_coefficients(const FdState& state, const StepTerms& terms, CnMatrices& out) const = 0;
    // The model's value of a named asset at every node (owned by the state), or null.
    virtual const Vec* get_model_val_cn(const FdState& state, const std::string& name) const = 0;
};

// How the backward pass may save work without changing a result: the test
// suite turns the reuse off to show that it changes nothing.
struct GridPassOptions {
    bool reuse_repeated_steps = true;
};

std::expected<Ledger, ModelError> calculate_fd(const FDCN& model, const TimeTable& tt,
                                               GridPassOptions options = {});
std::expected<double, ModelError> price_fd(const FDCN& model, const Ledger& ledger);

// Whole milliseconds in one nominal time step, or nothing when that is not a
// positive number the lattice can advance by.
std::optional<std::int64_t> step_length_ms(double timestep);

}  // namespace mirvon
