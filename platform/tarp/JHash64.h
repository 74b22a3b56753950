#pragma once
// The 64-bit hash helper of the firewall library: the hash of `size` bytes chained from `initval`
// (hash(b, hash(a, 0)) for two elements a and b). Used by the agent to find equal composite
// containers; its values never leave the process.
#include <cstddef>
#include <cstdint>

uint64_t jhash64(const void* data, size_t size, uint64_t initval);
