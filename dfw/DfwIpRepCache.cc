#include "dfw/DfwIpRepCache.h"

#include <algorithm>

#include "dfw/DfwLog.h"

namespace CfgAgent {

namespace {

constexpr size_t kEntrySize = 16;

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

DfwIpRepCache::Built DfwIpRepCache::Build(uint32_t chunkId, const std::string& entries,
                                          const std::shared_ptr<const DfwIpRepCache>& previous) {
    DFW_DEBUG("dfw: DfwIpRepChunk: building cache");
    auto cache = std::make_shared<DfwIpRepCache>();
    const size_t n = entries.size() / kEntrySize;
    cache->keys_.reserve(n);
    const auto* p = reinterpret_cast<const unsigned char*>(entries.data());
    for (size_t i = 0; i < n; ++i, p += kEntrySize) {
        const uint32_t mask = Be32(p + 4);
        cache->keys_.push_back(uint64_t{mask} << 32 | (Be32(p) & mask));
    }
    std::sort(cache->keys_.begin(), cache->keys_.end());
    cache->keys_.erase(std::unique(cache->keys_.begin(), cache->keys_.end()), cache->keys_.end());
    for (uint64_t k : cache->keys_) {
        const uint32_t mask = static_cast<uint32_t>(k >> 32);
        if (cache->masks_.empty() || cache->masks_.back() != mask)
            cache->masks_.push_back(mask);
    }
    // Both key lists are sorted: one merge walk counts what is shared.
    size_t shared = 0;
    if (previous) {
        auto a = previous->keys_.cbegin();
        auto b = cache->keys_.cbegin();
        while (a != previous->keys_.cend() && b != cache->keys_.cend()) {
            if (*a < *b) {
                ++a;
            } else if (*b < *a) {
                ++b;
            } else {
                ++shared;
                ++a;
                ++b;
            }
        }
    }
    Built out;
    out.allocations = cache->keys_.size() - shared;
    out.frees = (previous ? previous->keys_.size() : 0) - shared;
    DFW_INFO("dfw: built cache for chunk %1: %2 allocations and %3 frees", chunkId, out.allocations,
             out.frees);
    out.cache = std::move(cache);
    return out;
}

bool DfwIpRepCache::Lists(uint32_t address) const {
    for (uint32_t mask : masks_) {
        const uint64_t key = uint64_t{mask} << 32 | (address & mask);
        if (std::binary_search(keys_.begin(), keys_.end(), key))
            return true;
    }
    return false;
}

}  // namespace CfgAgent
