#pragma once
// The live-trace family's messages as LivetraceApp reads and writes them
// (dataplane/LivetraceProtocol.h): CREATE and DELETE built at their final size, and the
// dataplane's results decoded strictly. A result must carry exactly the elements its type takes
// (each once, observations and counter entries excepted), each of its exact size, and a direction
// of 1 or 2; anything else makes the whole message malformed and nothing of it is kept.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"

namespace CfgAgent::livetrace {

using Uuid = std::array<uint64_t, 2>;  // two 64-bit halves, most significant first

struct CreateRequest {
    uint8_t slot = 0;
    uint64_t sessionId = 0;
    Uuid dvport{};
    Uuid dvs{};
    uint32_t timeout = 0;
    uint8_t direction = 0;
    struct Action {
        uint8_t kind = 0;
        uint8_t direction = 0;
        uint8_t sampling = 0;
        uint32_t firstN = 0;
        uint32_t snapLength = 0;
    };
    std::vector<Action> actions;
    std::vector<uint8_t> filter;  // kBpfInsnSize bytes per instruction, big-endian
};

// Empty (logged) when the message would not fit.
DpMsg BuildCreate(const CreateRequest& request);
DpMsg BuildDelete(uint8_t slot, uint64_t sessionId);

struct Observation {
    uint8_t type = 0;
    uint8_t component = 0;
    uint8_t dropReason = 0;
    uint64_t timestamp = 0;
    Uuid dvport{};
};

struct CounterEntry {
    Uuid dvport{};
    uint8_t checkpoint = 0;
    uint8_t hop = 0;
    uint8_t type = 0;
    uint64_t count = 0;
};

struct DpStats {
    uint64_t seen = 0;
    uint64_t matched = 0;
    uint64_t sampledOut = 0;
    uint64_t captured = 0;
};

struct PktMeta {
    uint32_t packetId = 0;
    uint16_t flags = 0;
    uint16_t vlan = 0;
    uint32_t vni = 0;
    uint32_t snapLength = 0;
    uint32_t origLength = 0;
    uint64_t timestamp = 0;
};

// One result message of the dataplane (INVALIDATE, BARRIER, COUNTER, TRACE, PKTCAP).
struct Result {
    uint16_t type = 0;
    uint64_t sessionId = 0;
    uint8_t direction = 0;  // INVALIDATE, BARRIER, COUNTER, TRACE
    uint8_t reason = 0;     // INVALIDATE
    uint32_t packetId = 0;  // TRACE
    std::vector<Observation> observations;
    std::vector<CounterEntry> counters;
    std::optional<DpStats> stats;
    PktMeta meta;                   // PKTCAP
    const uint8_t* data = nullptr;  // PKTCAP: the captured bytes, inside the decoded message
    size_t dataSize = 0;
};

// `msg` holds `size` bytes whose length field equals `size`. False, with the reason in `error`,
// for a malformed message or a type that is not a result.
bool DecodeResult(const uint8_t* msg, size_t size, Result* out, std::string* error);

}  // namespace CfgAgent::livetrace
