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

}  // namespace

uint32_t DfwIpRepChunk::NextCapacity(uint32_t current, uint32_t count) {
    if (current <= count) {
        if (count < kLargeTier && current == kSmallTier) {
            DFW_INFO("dfw: chunk does not have enough allocation, creating large chunk size");
            return kLargeTier;
        }
        DFW_INFO("dfw: chunk does not have enough allocation, creating custom large chunk");
        return count;
    }
    DFW_DEBUG("dfw: chunk has enough allocation for update");
    if (current == kSmallTier)
        return current;
    if (count < kSmallTier) {
        DFW_INFO("dfw: downsize chunk to 6k from 10k");
        return kSmallTier;
    }
    if (count < kLargeTier && current > kLargeTier) {
        DFW_INFO("dfw: downsize chunk to 10k from custom large size");
        return kLargeTier;
    }
    return current;
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
