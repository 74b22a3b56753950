#include "platform/cairndb/ReconnectSchedule.h"

#include <algorithm>

namespace ozy::cairndb {

ReconnectSchedule::ReconnectSchedule(size_t remotes, Duration min, Duration max, Duration steady)
    : remotes_(std::max<size_t>(remotes, 1)),
      min_(std::max(min, Duration(1))),
      max_(std::max(max, min_)),
      steady_(steady),
      backoff_(min_) {}

ReconnectSchedule::Next ReconnectSchedule::AttemptFailed() {
    return Tried();
}

ReconnectSchedule::Next ReconnectSchedule::SessionLost(Duration inUse) {
    if (inUse < steady_) {
        return Tried();
    }
    // A new round, of which the member just lost is the first try.
    backoff_ = min_;
    triedInRound_ = 0;
    return Tried();
}

ReconnectSchedule::Next ReconnectSchedule::Tried() {
    if (++triedInRound_ < remotes_) {
        return Next{};
    }
    triedInRound_ = 0;
    Next next{backoff_, true};
    backoff_ = std::min(backoff_ * 2, max_);
    return next;
}

}  // namespace ozy::cairndb
