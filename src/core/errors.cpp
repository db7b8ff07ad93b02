#include "core/errors.hpp"

#include "core/format.hpp"
#include "core/overload.hpp"

namespace mirvon {

std::string TimeTableError::text() const {
    return std::visit(Overload{
                          [](const UnknownOp& e) { return "Unknown Op '" + e.op + "'"; },
                          [](const Message& e) { return e.text; },
                      },
                      v);
}

std::string LedgerError::text() const {
    return std::visit(
        Overload{
            [](const TrackNotFound& e) {
                return "Track " + std::to_string(e.track) + " not found";
            },
            [](const UnknownOp& e) { return "Unknown Op '" + e.op + "'"; },
            [](const Op& e) { return "Error in Op, caused by \n" + e.cause.text(); },
            [](const Length& e) { return e.mismatch.text(); },
        },
        v);
}

AssetError AssetError::rate_error(std::string asset, AssetError cause, double t1, double t2) {
    return {Rate{std::move(asset), std::make_unique<AssetError>(std::move(cause)), t1, t2}};
}

AssetError AssetError::spot_error(std::string what, AssetError cause, double t) {
    return {Spot{std::move(what), std::make_unique<AssetError>(std::move(cause)), t}};
}

std::string AssetError::text() const {
    return std::visit(
        Overload{
            [](const Builder& e) { return "BuilderError " + e.detail; },
            [](const Rate& e) {
                return "Error in '" + e.asset + "' rate from time " + format_float(e.t2) +
                       " to " + format_float(e.t1) + ", caused by \n'" + e.cause->text() + "'";
            },
            [](const Spot& e) {
                return "Error in '" + e.what + "' value at " + format_float(e.t) +
                       ", caused by \n'" + e.cause->text() + "'";
            },
            [](const OutOfRange& e) {
                return "Error: Interpolation out of range at time " + format_float(e.t) +
                       ".\n Perhaps the time range in forwards/discount data is too short.";
            },
            [](const DivideByZero&) { return std::string("Error: Divide by zero"); },
            [](const AssetNotFound& e) {
                return "Asset '" + e.name +
                       "' not found in snaps, expressions, or in dataset[ASSETS]";
            },
        },
        v);
}

std::string ModelError::text() const {
    return std::visit(
        Overload{
            [](const AssetError& e) { return e.text(); },
            [](const LedgerError& e) { return e.text(); },
            [](const ExprError& e) { return e.text(); },
            [](const TimeTableError& e) { return e.text(); },
            [](const Event& e) {
                return "Error at event:\n  " + e.event + ", caused by \n" + e.cause;
            },
            [](const NotImplemented& e) { return "Feature Not Implemented: `" + e.what + "`"; },
            [](const EventSpecs& e) { return "Error in Event Specs: " + e.detail; },
            [](const Message& e) { return e.text; },
            [](const Arrow& e) {
                return "Error Creating Arrow for '" + e.name + "', caused by \n" + e.cause;
            },
            [](const OutOfMemory& e) { return e.text; },
        },
        v);
}

}  // namespace mirvon
