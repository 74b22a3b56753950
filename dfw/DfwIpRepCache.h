#pragma once
// The lookup cache of one IP-reputation chunk: the distinct prefixes its entries list (address
// within mask), sorted, so that "which chunks list this address" costs one binary search per
// distinct mask. Rebuilt from the previous cache of the same chunk when the chunk changes; the
// prefixes that came are its allocations, the ones that went its frees. Immutable once built.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace CfgAgent {

class DfwIpRepCache {
  public:
    struct Built {
        std::shared_ptr<const DfwIpRepCache> cache;
        size_t allocations = 0;
        size_t frees = 0;
    };

    // The cache of `entries` (whole 16-byte records: u32 address, u32 mask, u16 threat, u16
    // reputation, u32 bucket, big-endian), against `previous` (may be null).
    static Built Build(uint32_t chunkId, const std::string& entries,
                       const std::shared_ptr<const DfwIpRepCache>& previous);

    // Some entry lists the IPv4 address (host order).
    bool Lists(uint32_t address) const;
    // Distinct prefixes.
    size_t size() const { return keys_.size(); }

  private:
    // mask << 32 | (address & mask), sorted and unique.
    std::vector<uint64_t> keys_;
    // The distinct masks, ascending.
    std::vector<uint32_t> masks_;
};

}  // namespace CfgAgent
