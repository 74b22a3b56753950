#include "services/livetrace/LivetraceFragments.h"

#include <cstring>

#include "dataplane/LivetraceProtocol.h"

namespace CfgAgent::livetrace {

namespace {

bool IsResultType(uint16_t type) {
    return type == kMsgInvalidate || type == kMsgBarrier || type == kMsgCounter ||
           type == kMsgTrace || type == kMsgPktcap;
}

}  // namespace

void LivetraceFragments::Free(std::map<uint32_t, Chain>::iterator it) {
    bytes_ -= it->second.buffer.size();
    chains_.erase(it);
}

void LivetraceFragments::Clear() {
    chains_.clear();
    bytes_ = 0;
}

LivetraceFragments::Outcome LivetraceFragments::Add(const uint8_t* msg, size_t size,
                                                    AgentClock::time_point now, DpMsg* whole,
                                                    std::string* error) {
    if (size < kDpMsgHeaderSize + kFragmentHeaderSize + 1) {
        *error = "fragment of " + std::to_string(size) + " bytes";
        return Outcome::kRefused;
    }
    const uint8_t* h = msg + kDpMsgHeaderSize;
    uint32_t chainId = LoadBe32(h);
    uint16_t index = LoadBe16(h + 4);
    uint16_t count = LoadBe16(h + 6);
    uint16_t inner = LoadBe16(h + 8);
    uint16_t reserved = LoadBe16(h + 10);
    uint32_t offset = LoadBe32(h + 12);
    uint32_t total = LoadBe32(h + 16);
    const uint8_t* piece = h + kFragmentHeaderSize;
    size_t pieceSize = size - kDpMsgHeaderSize - kFragmentHeaderSize;
    std::string where =
        "chain " + std::to_string(chainId) + " fragment " + std::to_string(index) + ": ";

    auto refuse = [&](const std::string& why) {
        auto it = chains_.find(chainId);
        if (it != chains_.end())
            Free(it);
        *error = where + why;
        return Outcome::kRefused;
    };
    if (count == 0 || index >= count)
        return refuse("index beyond the count " + std::to_string(count));
    if (!IsResultType(inner) || reserved != 0)
        return refuse("inner type " + std::to_string(inner) + ", reserved " +
                      std::to_string(reserved));
    if (total == 0 || total > kDpMaxMsgSize - kDpMsgHeaderSize)
        return refuse("total of " + std::to_string(total) + " bytes");
    if (offset > total || pieceSize > total - offset)
        return refuse("bytes " + std::to_string(offset) + "+" + std::to_string(pieceSize) +
                      " beyond the total " + std::to_string(total));

    auto it = chains_.find(chainId);
    if (it == chains_.end()) {
        if (chains_.size() >= limits_.maxChains)
            return refuse("too many open chains (" + std::to_string(limits_.maxChains) + ")");
        size_t need = kDpMsgHeaderSize + total;
        if (bytes_ + need > limits_.maxBytes)
            return refuse("open chains would hold more than " + std::to_string(limits_.maxBytes) +
                          " bytes");
        Chain c;
        c.innerType = inner;
        c.count = count;
        c.total = total;
        c.indexes.assign(count, false);
        c.buffer.assign(need, 0);
        StoreBe16(c.buffer.data(), inner);
        StoreBe16(c.buffer.data() + 2, static_cast<uint16_t>(need));
        c.deadline = now + limits_.timeout;
        bytes_ += need;
        it = chains_.emplace(chainId, std::move(c)).first;
    }
    Chain& c = it->second;
    if (c.count != count || c.innerType != inner || c.total != total)
        return refuse("count, type or total differ from the chain's");
    if (c.indexes[index])
        return refuse("repeated");
    // Overlap with the piece that starts at or before this one, or with the next one.
    auto next = c.pieces.lower_bound(offset);
    if (next != c.pieces.end() && next->first < offset + pieceSize)
        return refuse("overlaps the piece at " + std::to_string(next->first));
    if (next != c.pieces.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second > offset)
            return refuse("overlaps the piece at " + std::to_string(prev->first));
    }
    c.indexes[index] = true;
    c.pieces.emplace(offset, static_cast<uint32_t>(pieceSize));
    std::memcpy(c.buffer.data() + kDpMsgHeaderSize + offset, piece, pieceSize);
    c.received += pieceSize;
    if (c.pieces.size() < c.count)
        return Outcome::kPending;
    if (c.received != c.total)
        return refuse("all " + std::to_string(count) + " pieces hold " +
                      std::to_string(c.received) + " of " + std::to_string(total) + " bytes");
    *whole = std::move(c.buffer);
    c.buffer.clear();
    bytes_ -= kDpMsgHeaderSize + total;
    chains_.erase(it);
    return Outcome::kComplete;
}

std::vector<uint32_t> LivetraceFragments::Expire(AgentClock::time_point now) {
    std::vector<uint32_t> expired;
    for (auto it = chains_.begin(); it != chains_.end();) {
        auto cur = it++;
        if (cur->second.deadline <= now) {
            expired.push_back(cur->first);
            Free(cur);
        }
    }
    return expired;
}

}  // namespace CfgAgent::livetrace
