// Error values of the engines. Each renders its own text; a wrapping variant
// owns its cause and embeds the cause's full text, so a message reads from
// the outer context to the inner cause.
#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/vector.hpp"

namespace mirvon {

struct TimeTableError {
    struct UnknownOp { std::string op; };
    struct Message { std::string text; };
    std::variant<UnknownOp, Message> v;

    static TimeTableError unknown_op(std::string op) { return {UnknownOp{std::move(op)}}; }
    static TimeTableError message(std::string text) { return {Message{std::move(text)}}; }
    std::string text() const;
};

struct LedgerError {
    struct TrackNotFound { std::uint64_t track; };
    struct UnknownOp { std::string op; };
    struct Op { TimeTableError cause; };
    // Vectors handed to the ledger whose lengths cannot be combined.
    struct Length { LengthMismatch mismatch; };
    std::variant<TrackNotFound, UnknownOp, Op, Length> v;

    static LedgerError track_not_found(std::uint64_t track) { return {TrackNotFound{track}}; }
    LedgerError(TrackNotFound x) : v(std::move(x)) {}
    LedgerError(UnknownOp x) : v(std::move(x)) {}
    LedgerError(Length x) : v(std::move(x)) {}
    LedgerError(TimeTableError cause) : v(Op{std::move(cause)}) {}
    std::string text() const;
};

struct ExprError {
    std::string message;
    std::string text() const { return "Error in Phrase Evaluation, caused by \n" + message; }
};

struct AssetError {
    struct Builder { std::string detail; };
    struct Rate { std::string asset; std::unique_ptr<AssetError> cause; double t1, t2; };
    struct Spot { std::string what; std::unique_ptr<AssetError> cause; double t; };
    struct OutOfRange { double t; };
    struct DivideByZero {};
    struct AssetNotFound { std::string name; };
    std::variant<Builder, Rate, Spot, OutOfRange, DivideByZero, AssetNotFound> v;

    static AssetError rate_error(std::string asset, AssetError cause, double t1, double t2);
    static AssetError spot_error(std::string what, AssetError cause, double t);
    std::string text() const;
};

struct ModelError {
    struct Event { std::string event; std::string cause; };
    struct NotImplemented { std::string what; };
    struct EventSpecs { std::string detail; };
    struct Message { std::string text; };
    struct Arrow { std::string name; std::string cause; };
    // A request refused because it cannot fit in memory; raised as MemoryError.
    struct OutOfMemory { std::string text; };
    std::variant<AssetError, LedgerError, ExprError, TimeTableError, Event, NotImplemented,
                 EventSpecs, Message, Arrow, OutOfMemory>
        v;

    ModelError(AssetError e) : v(std::move(e)) {}
    ModelError(LedgerError e) : v(std::move(e)) {}
    ModelError(ExprError e) : v(std::move(e)) {}
    ModelError(TimeTableError e) : v(std::move(e)) {}
    ModelError(Event e) : v(std::move(e)) {}
    ModelError(NotImplemented e) : v(std::move(e)) {}
    ModelError(EventSpecs e) : v(std::move(e)) {}
    ModelError(Message e) : v(std::move(e)) {}
    ModelError(Arrow e) : v(std::move(e)) {}
    ModelError(OutOfMemory e) : v(std::move(e)) {}
    static ModelError message(std::string text) { return Message{std::move(text)}; }
    std::string text() const;
};

// A broken invariant or a fixed-message abort inside the engines. It is not an
// error value: the module boundary turns it into the dedicated abort exception.
struct EngineAbort : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace mirvon
