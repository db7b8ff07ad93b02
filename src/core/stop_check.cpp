#include "core/stop_check.hpp"

namespace mirvon {

namespace {
StopCheck installed = nullptr;
}  // namespace

void install_stop_check(StopCheck check) { installed = check; }

bool stop_requested() { return installed != nullptr && installed(); }

ModelError stop_error() { return ModelError::message("The call was stopped before it finished"); }

}  // namespace mirvon
