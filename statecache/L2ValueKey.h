#pragma once
// The 128-bit key of an L2 table entry, taken from the entry's body by property:
//   L2_VM_IP             IPv4 address in part 0, or the IPv6 address in parts 0 (high) and 1 (low)
//   L2_VM_MAC            the MAC address in part 0
//   L2_VTEP              IPv4: the address in part 0 and 4 in part 1; IPv6: the low 64 bits in
//                        part 0 and, in part 1, the high 64 bits shifted left by three with 6 in
//                        the three freed bits (so IPv4 and IPv6 keys never meet, and two IPv6
//                        VTEPs differing only in their high half keep apart)
//   L2_VTEP_GROUP_LABEL  the label in part 0
//   L2_VTEP_GROUP        the group's key in part 0
// Applications that look entries up by key compute it with this function.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "intake/CfgTypes.h"

namespace CfgAgent {

struct L2ValueKey {
    uint64_t part[2] = {0, 0};

    friend bool operator==(const L2ValueKey& a, const L2ValueKey& b) {
        return a.part[0] == b.part[0] && a.part[1] == b.part[1];
    }
    friend bool operator!=(const L2ValueKey& a, const L2ValueKey& b) { return !(a == b); }
    friend bool operator<(const L2ValueKey& a, const L2ValueKey& b) {
        return a.part[0] != b.part[0] ? a.part[0] < b.part[0] : a.part[1] < b.part[1];
    }
};

struct L2ValueKeyHash {
    size_t operator()(const L2ValueKey& k) const noexcept {
        uint64_t h = k.part[0] * 0x9E3779B97F4A7C15ull;
        h ^= (k.part[1] + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2));
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

// False (and the key left at 0) when the property is not an L2 entry property or the body does not
// parse; `invalidProperty` tells which.
bool GetL2PropertyValueKey(PropertyType property, std::string_view body, L2ValueKey* key,
                           bool* invalidProperty = nullptr);

// The L2 entry properties, in value order (L2_VM_IP .. L2_VTEP_GROUP).
constexpr size_t kL2PropertyCount = 5;
inline bool IsL2EntryProperty(PropertyType p) {
    return static_cast<uint32_t>(p) >= static_cast<uint32_t>(PropertyType::L2_VM_IP) &&
           static_cast<uint32_t>(p) <= static_cast<uint32_t>(PropertyType::L2_VTEP_GROUP);
}
inline size_t L2PropertyIndex(PropertyType p) {
    return static_cast<uint32_t>(p) - static_cast<uint32_t>(PropertyType::L2_VM_IP);
}

}  // namespace CfgAgent
