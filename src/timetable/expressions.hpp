// Units (what an event is worth) and the named expressions they refer to.
#pragma once
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/errors.hpp"
#include "core/vector.hpp"

namespace mirvon {

struct Unit {
    enum class Kind { Track, Asset, Null, Snapper, Snap, Batch, Phrase };
    Kind kind = Kind::Null;
    std::uint64_t track = 0;  // for Kind::Track
    std::string name;         // for the named kinds

    static Unit of_track(std::uint64_t k) { return Unit{Kind::Track, k, {}}; }
    static Unit named(Kind kind, std::string name) { return Unit{kind, 0, std::move(name)}; }
    std::string describe() const;
};

// A phrase: input names and an evaluation of their vectors into a list of
// output vectors. Implemented outside the core (for example by Python callables).
class EvalPhrase {
public:
    virtual ~EvalPhrase() = default;
    virtual const std::vector<std::string>& iter_inp() const = 0;
    virtual std::expected<std::vector<Vec>, ExprError> eval(std::vector<Vec> inputs) const = 0;
};

struct Snapper {
    std::vector<std::string> out;
    std::unique_ptr<EvalPhrase> phrase;
};

class Events;

struct Expressions {
    std::unordered_map<std::string, Snapper> snappers;
    std::unordered_map<std::string, std::unique_ptr<EvalPhrase>> phrases;

    // One unit per "unit" dictionary value; precedence phrase over snapper or
    // snap over track over asset.
    std::expected<std::vector<Unit>, TimeTableError> create_units_map(const Events& events) const;
    const Snapper* snapper_by_name(const std::string& name) const;
    const EvalPhrase* get_phrase(const std::string& name) const;
};

}  // namespace mirvon
