#include "dfw/DfwIpRepChunk.h"

#include "dfw/DfwLog.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace {

constexpr size_t kEntrySize = 16;

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint16_t Be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

enum class TierMove { kKeep, kLarge, kCustom, kDownToSmall, kDownToLarge };

constexpr uint32_t kSmallTier = DfwIpRepChunk::kSmallTier;
constexpr uint32_t kLargeTier = DfwIpRepChunk::kLargeTier;

// Not enough room (equality included) grows: to the large tier from the small one while the count
// is below it, else to exactly the count. Room enough shrinks a large chunk that fits a smaller
// tier; the small tier stays.
uint32_t NextTier(uint32_t current, uint32_t count, TierMove* move) {
    *move = TierMove::kKeep;
    if (current <= count) {
        if (count < kLargeTier && current == kSmallTier) {
            *move = TierMove::kLarge;
            return kLargeTier;
        }
        *move = TierMove::kCustom;
        return count;
    }
    if (current == kSmallTier)
        return current;
    if (count < kSmallTier) {
        *move = TierMove::kDownToSmall;
        return kSmallTier;
    }
    if (count < kLargeTier && current > kLargeTier) {
        *move = TierMove::kDownToLarge;
        return kLargeTier;
    }
    return current;
}

}  // namespace

uint32_t DfwIpRepChunk::Tier(uint32_t current, uint32_t count) {
    TierMove move;
    return NextTier(current, count, &move);
}

uint32_t DfwIpRepChunk::NextCapacity(uint32_t current, uint32_t count) {
    TierMove move;
    const uint32_t next = NextTier(current, count, &move);
    if (move != TierMove::kLarge && move != TierMove::kCustom)
        DFW_DEBUG("dfw: chunk has enough allocation for update");
    switch (move) {
        case TierMove::kLarge:
            DFW_INFO("dfw: chunk does not have enough allocation, creating large chunk size");
            break;
        case TierMove::kCustom:
            DFW_INFO("dfw: chunk does not have enough allocation, creating custom large chunk");
            break;
        case TierMove::kDownToSmall:
            DFW_INFO("dfw: downsize chunk to 6k from 10k");
            break;
        case TierMove::kDownToLarge:
            DFW_INFO("dfw: downsize chunk to 10k from custom large size");
            break;
        case TierMove::kKeep:
            break;
    }
    return next;
}

TarpFirewall::CTarpFWIpRepChunk DfwIpRepChunk::Build(
    const orvane::ozy::firewall::LcpIpReputationConfigMsg& msg, uint32_t current) {
    TarpFirewall::CTarpFWIpRepChunk chunk;
    chunk.id = msg.chunk_id();
    chunk.bucket = msg.bucket();
    const std::string& raw = msg.entries();
    uint32_t count = static_cast<uint32_t>(raw.size() / kEntrySize);
    DFW_INFO("dfw: applying chunk %1 update", chunk.id);
    chunk.capacity = NextCapacity(current, count);
    chunk.entries.reserve(count);
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    for (uint32_t i = 0; i < count; ++i, p += kEntrySize) {
        TarpFirewall::CTarpFWIpRepEntry e;
        e.address = Be32(p);
        e.mask = Be32(p + 4);
        e.threat = Be16(p + 8);
        e.reputation = Be16(p + 10);
        e.bucket = Be32(p + 12);
        DFW_LOG(kLogTrace, "dfw: DfwIpRepChunk ip %1 mask %2 threat %3 rep %4 bucket %5", e.address,
                e.mask, e.threat, e.reputation, e.bucket);
        chunk.entries.push_back(e);
    }
    DFW_INFO("dfw: chunk %1 has %2 ip addresses and bucket %3", chunk.id, count, chunk.bucket);
    return chunk;
}

}  // namespace CfgAgent
