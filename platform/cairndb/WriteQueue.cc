#include "platform/cairndb/WriteQueue.h"

#include <iterator>
#include <set>
#include <tuple>

namespace ozy::cairndb {

namespace pb = orvane::ozy::cairndb;

namespace {

// A row as the requests name it: (object type, vdb, id left, id right, table-wide).
using RowKey = std::tuple<int, uint32_t, uint64_t, uint64_t, bool>;

// The rows `w` adds to those of `rows` (not counted again), into `added`. A put counts as a new
// row each: its id is inside the body, read only when the list is planned.
size_t NewRows(const QueuedWrite& w, const std::set<RowKey>& rows, std::set<RowKey>* added) {
    size_t n = 0;
    for (const pb::ModifyRequestMsg& r : w.requests) {
        RowKey key;
        switch (r.request_case()) {
            case pb::ModifyRequestMsg::kPatch:
                key = {r.patch().object_type(), r.vdb(), r.patch().id().left(),
                       r.patch().id().right(), false};
                break;
            case pb::ModifyRequestMsg::kDelete:
                key = {r.delete_().object_type(), r.vdb(), r.delete_().id().left(),
                       r.delete_().id().right(), false};
                break;
            case pb::ModifyRequestMsg::kFlush:
                key = {r.flush().object_type(), r.vdb(), 0, 0, true};
                break;
            default:
                ++n;
                continue;
        }
        if (rows.count(key) == 0 && added->insert(key).second) {
            ++n;
        }
    }
    return n;
}

}  // namespace

WriteQueue::WriteQueue(size_t maxLists, size_t maxRows, size_t maxRequests)
    : maxLists_(maxLists), maxRows_(maxRows), maxRequests_(maxRequests) {}

std::optional<QueuedWrite> WriteQueue::Push(QueuedWrite w, bool frontInFlight) {
    std::optional<QueuedWrite> dropped;
    if (lists_.size() >= maxLists_ && !lists_.empty()) {
        auto victim = lists_.begin();
        if (frontInFlight) {
            ++victim;
        }
        if (victim != lists_.end()) {
            dropped = std::move(*victim);
            lists_.erase(victim);
        }
    }
    lists_.push_back(std::move(w));
    return dropped;
}

void WriteQueue::MergeFront() {
    if (lists_.empty() || lists_.front().plan || lists_.front().alone) {
        return;
    }
    std::set<RowKey> rows;
    size_t rowCount = NewRows(lists_.front(), rows, &rows);
    size_t requests = lists_.front().requests.size();
    size_t k = 1;
    while (k < lists_.size() && !lists_[k].plan && !lists_[k].alone) {
        std::set<RowKey> added;
        size_t more = NewRows(lists_[k], rows, &added);
        if (rowCount + more > maxRows_ || requests + lists_[k].requests.size() > maxRequests_) {
            break;
        }
        rowCount += more;
        requests += lists_[k].requests.size();
        rows.insert(added.begin(), added.end());
        ++k;
    }
    if (k == 1) {
        return;
    }
    QueuedWrite merged;
    merged.requests.reserve(requests);
    for (size_t i = 0; i < k; ++i) {
        QueuedWrite& p = lists_[i];
        if (p.parts.empty()) {
            merged.parts.emplace_back(p.requests.size(), std::move(p.done));
        } else {
            std::move(p.parts.begin(), p.parts.end(), std::back_inserter(merged.parts));
        }
        std::move(p.requests.begin(), p.requests.end(), std::back_inserter(merged.requests));
    }
    lists_.erase(lists_.begin(), lists_.begin() + static_cast<std::ptrdiff_t>(k));
    lists_.push_front(std::move(merged));
}

std::vector<WriteCallback> WriteQueue::Finish(const Status& status, size_t* requests, bool* split) {
    std::vector<WriteCallback> callbacks;
    *split = false;
    *requests = 0;
    if (lists_.empty()) {
        return callbacks;
    }
    QueuedWrite w = std::move(lists_.front());
    lists_.pop_front();
    if (!status.ok && !w.parts.empty()) {
        *split = true;
        const size_t half = w.parts.size() / 2;
        auto begin = w.requests.begin();
        QueuedWrite halves[2];
        for (size_t i = 0; i < w.parts.size(); ++i) {
            QueuedWrite& h = halves[i < half ? 0 : 1];
            auto end = begin + static_cast<std::ptrdiff_t>(w.parts[i].first);
            h.requests.insert(h.requests.end(), std::make_move_iterator(begin),
                              std::make_move_iterator(end));
            h.parts.push_back(std::move(w.parts[i]));
            begin = end;
        }
        for (int i = 1; i >= 0; --i) {
            QueuedWrite& h = halves[i];
            h.alone = true;
            if (h.parts.size() == 1) {
                h.done = std::move(h.parts.front().second);
                h.parts.clear();
            }
            lists_.push_front(std::move(h));
        }
        return callbacks;
    }
    *requests = w.requests.size();
    if (w.done) {
        callbacks.push_back(std::move(w.done));
    }
    for (auto& part : w.parts) {
        if (part.second) {
            callbacks.push_back(std::move(part.second));
        }
    }
    return callbacks;
}

}  // namespace ozy::cairndb
