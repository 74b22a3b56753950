#pragma once
// The client's write lists in submission order. One list, the front, is applied at a time (see
// WritePlan.h); lists written while it is in flight wait behind it and, once it is acknowledged,
// go out together as the next front: one transaction whose requests are the lists' requests in
// order, so that a row written many times meanwhile is read and written once, with the state the
// last list leaves (a row that keeps growing is not sent again for every list). A transaction
// takes the waiting lists up to a number of distinct rows; requests that change a row already in
// it cost nothing more on the wire.
//
// A merged transaction that fails goes back as two halves, each sent by itself (and halved again
// should it fail), so that a bad list fails alone with its own error, as when lists are sent one
// by one; the others land.
//
// Internal to the client library; runs on the client's strand only.
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "platform/cairndb/WritePlan.h"
#include "proto/cairndb_modify.pb.h"

namespace ozy::cairndb {

struct QueuedWrite {
    std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests;
    WriteCallback done;
    // Set once the list is the front being applied; nothing is merged into it after that.
    std::shared_ptr<WritePlan> plan;
    int attempts = 0;
    // Lists merged into this one: how many requests of `requests` each brought, and its
    // callback. Empty for a list sent by itself.
    std::vector<std::pair<size_t, WriteCallback>> parts;
    // Split out of a merged transaction that failed: sent as it is, nothing merged into it.
    bool alone = false;
    // Write transactions whose reply was lost with the connection: each may have landed. Until
    // one of this list's own transactions commits, every attempt first reads back whether one
    // of these did (then the list is done), so that nothing is applied twice.
    std::vector<WriteIntent> inDoubt;
    bool landedChecked = false;
};

class WriteQueue {
  public:
    // Distinct rows (puts count one each, a flush one for its table) that one merged transaction
    // takes at most, and requests in all.
    static constexpr size_t kMaxMergedRows = 2000;
    static constexpr size_t kMaxMergedRequests = 200000;

    // `maxLists`: lists kept at most (see Push).
    explicit WriteQueue(size_t maxLists, size_t maxRows = kMaxMergedRows,
                        size_t maxRequests = kMaxMergedRequests);

    // Appends a list. With `maxLists` lists queued the oldest one not being applied (not the
    // front while `frontInFlight`) is taken out and returned, for the caller to fail.
    std::optional<QueuedWrite> Push(QueuedWrite w, bool frontInFlight);

    bool empty() const { return lists_.empty(); }
    size_t size() const { return lists_.size(); }
    QueuedWrite& front() { return lists_.front(); }

    // Before the front is applied (it has no plan yet): merges the lists behind it that have not
    // started into it, in order, within the limits. A list split out of a failed transaction is
    // neither merged into nor merged.
    void MergeFront();

    // The front is done with `status`. Returns the callbacks to call with it (the front's own and
    // those of the lists merged into it, in order; empty ones left out), and in `requests` how
    // many requests they carried. A merged front that failed is split instead (see above): nothing
    // is returned and `*split` is set.
    std::vector<WriteCallback> Finish(const Status& status, size_t* requests, bool* split);

    void Clear() { lists_.clear(); }

  private:
    const size_t maxLists_;
    const size_t maxRows_;
    const size_t maxRequests_;
    std::deque<QueuedWrite> lists_;
};

}  // namespace ozy::cairndb
