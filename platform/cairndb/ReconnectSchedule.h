#pragma once
// When the client tries which remote after a session ends or an attempt fails.
//
// Attempts go in rounds over the remotes. Within a round every remote is tried once without
// waiting; only when the whole round has failed does the client wait, with a back-off that doubles
// from `min` to `max`, before the next round. A session that was in use when it ended counts as its
// member's try: the other members follow at once and the back-off starts afresh. A session that
// ended within `steady` of being put to use (a member that accepts and then fails straight away) is
// treated as a failed attempt, so a flapping member cannot keep the client reconnecting in a loop.
//
// Internal to the client library; used on the client's strand only.
#include <chrono>
#include <cstddef>

namespace ozy::cairndb {

class ReconnectSchedule {
  public:
    using Duration = std::chrono::milliseconds;

    // The wait before the next attempt; `roundEnded` when every remote of the round has failed.
    struct Next {
        Duration wait{0};
        bool roundEnded = false;
    };

    ReconnectSchedule(size_t remotes, Duration min, Duration max, Duration steady);

    // An attempt failed: the connection was refused, or the member was left or lost before the
    // session was put to use.
    Next AttemptFailed();
    // A session that was in use for `inUse` ended.
    Next SessionLost(Duration inUse);

    // The wait that ends the current round, should it fail as a whole.
    Duration backoff() const { return backoff_; }

  private:
    Next Tried();

    const size_t remotes_;
    const Duration min_;
    const Duration max_;
    const Duration steady_;
    Duration backoff_;
    size_t triedInRound_ = 0;
};

}  // namespace ozy::cairndb
