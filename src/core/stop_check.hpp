// Long loops ask now and then whether the call should stop, so that Ctrl-C
// ends a long run promptly. The host installs how that is found out and keeps
// the reason for itself; the engines only stop and return stop_error().
#pragma once
#include <cstddef>

#include "core/errors.hpp"

namespace mirvon {

// True when the running call should end now.
using StopCheck = bool (*)();
void install_stop_check(StopCheck check);
bool stop_requested();

// What a loop returns when it stops on request; the host reports its own
// reason in its place.
ModelError stop_error();

// Asks stop_requested() about once per STOP_CHECK_WORK elements of work, so
// that a loop may poll at every iteration however cheap the iteration is.
class StopPoll {
public:
    static constexpr std::size_t STOP_CHECK_WORK = std::size_t{1} << 15;
    // Elements one iteration works on (paths, grid nodes); a constant share
    // stands for the iteration's fixed cost.
    explicit StopPoll(std::size_t work_per_iteration)
        : every_(STOP_CHECK_WORK / (work_per_iteration + 32) + 1), left_(every_) {}
    bool stop() {
        if (--left_ != 0) return false;
        left_ = every_;
        return stop_requested();
    }

private:
    std::size_t every_;
    std::size_t left_;
};

}  // namespace mirvon
