#pragma once
// What the dataplane holds from us for one port, kept in one byte buffer: the property values as
// they were sent, in key order. A port's record is read only when the port is flushed again (to
// tell what changed), so it is unpacked into a PropSet then and kept packed in between: one heap
// block a port behind one pointer, instead of a tree node and a vector per property.
//
// Layout: the buffer's length (4 bytes), then per property in PropSet order its key (2 bytes) and
// one length byte L: below 255 the value's length, the property having no instance; 255 when an
// instance length (2 bytes) and a value length (4) follow; then the instance bytes and the value
// bytes. Host byte order (never leaves the process). A port's usual properties (ids, VNI, BLOCK)
// take 3 bytes of header each.
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
    bool empty() const { return bytes_ == nullptr; }
    // Frees the buffer.
    void clear() { bytes_.reset(); }
    // The buffer's length (0 without one).
    size_t ByteSize() const;

  private:
    std::unique_ptr<uint8_t[]> bytes_;  // null for an empty set
};

}  // namespace CfgAgent::dvs
