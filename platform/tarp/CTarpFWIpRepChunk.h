#pragma once
// One IP-reputation chunk: a table of malicious addresses with a capacity tier, loaded into the
// dataplane by the create-chunk command. Entries beyond the capacity are refused by the command
// list.
#include <cstdint>
#include <vector>

namespace TarpFirewall {

struct CTarpFWIpRepEntry {
    uint32_t address = 0;  // host order
    uint32_t mask = 0;     // host order, 0xFFFFFF00 for a /24
    uint16_t threat = 0;
    uint16_t reputation = 0;
    uint32_t bucket = 0;
};

struct CTarpFWIpRepChunk {
    uint32_t id = 0;
    uint32_t capacity = 0;  // entries the chunk can hold (its tier)
    uint32_t bucket = 0;
    std::vector<CTarpFWIpRepEntry> entries;
};

}  // namespace TarpFirewall
