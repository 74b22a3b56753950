#pragma once
// What the dataplane holds from us for one port, kept in one byte buffer: the property values as
// they were sent, in key order. A port's record is read only when the port is flushed again (to
// tell what changed), so it is unpacked into a PropSet then and kept packed in between: one heap
// block a port instead of a tree node and a vector per property.
//
// Layout, per property in PropSet order: key (2 bytes), instance length (2), value length (4), the
// instance bytes, the value bytes; host byte order (never leaves the process).
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace CfgAgent::dvs {

// Property values of one dataplane record by (KCP property key, instance); the instance is the
// session name for mirror properties and "" otherwise. Values are the property value bytes.
using PropKey = std::pair<uint16_t, std::string>;
using PropSet = std::map<PropKey, std::vector<uint8_t>>;

class PackedPropSet {
  public:
    PackedPropSet() = default;
    explicit PackedPropSet(const PropSet& set);
    PackedPropSet(const PackedPropSet& o);
    PackedPropSet& operator=(const PackedPropSet& o);
    PackedPropSet(PackedPropSet&& o) noexcept = default;
    PackedPropSet& operator=(PackedPropSet&& o) noexcept = default;
    PackedPropSet& operator=(const PropSet& set) { return *this = PackedPropSet(set); }

    PropSet Unpack() const;
    bool empty() const { return size_ == 0; }
    // Frees the buffer.
    void clear() {
        bytes_.reset();
        size_ = 0;
    }
    size_t ByteSize() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
};

}  // namespace CfgAgent::dvs
