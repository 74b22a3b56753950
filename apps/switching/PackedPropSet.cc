#include "apps/switching/PackedPropSet.h"

#include <cstring>
#include <stdexcept>

namespace CfgAgent::dvs {

namespace {

constexpr size_t kHeader = 2 + 2 + 4;

template <typename T>
void Put(uint8_t*& p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

template <typename T>
T Get(const uint8_t*& p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
}

}  // namespace

PackedPropSet::PackedPropSet(const PropSet& set) {
    size_t n = 0;
    for (const auto& [key, value] : set) {
        if (key.second.size() > UINT16_MAX || value.size() > UINT32_MAX)
            throw std::length_error("PackedPropSet: instance or value too long");
        n += kHeader + key.second.size() + value.size();
    }
    if (n == 0)
        return;
    bytes_.reset(new uint8_t[n]);
    size_ = n;
    uint8_t* p = bytes_.get();
    for (const auto& [key, value] : set) {
        Put<uint16_t>(p, key.first);
        Put<uint16_t>(p, static_cast<uint16_t>(key.second.size()));
        Put<uint32_t>(p, static_cast<uint32_t>(value.size()));
        std::memcpy(p, key.second.data(), key.second.size());
        p += key.second.size();
        if (!value.empty())
            std::memcpy(p, value.data(), value.size());
        p += value.size();
    }
}

PackedPropSet::PackedPropSet(const PackedPropSet& o) : size_(o.size_) {
    if (size_ != 0) {
        bytes_.reset(new uint8_t[size_]);
        std::memcpy(bytes_.get(), o.bytes_.get(), size_);
    }
}

PackedPropSet& PackedPropSet::operator=(const PackedPropSet& o) {
    if (this != &o) {
        PackedPropSet copy(o);
        *this = std::move(copy);
    }
    return *this;
}

PropSet PackedPropSet::Unpack() const {
    PropSet out;
    const uint8_t* p = bytes_.get();
    const uint8_t* end = p + size_;
    while (p < end) {
        uint16_t key = Get<uint16_t>(p);
        uint16_t instance = Get<uint16_t>(p);
        uint32_t length = Get<uint32_t>(p);
        std::string name(reinterpret_cast<const char*>(p), instance);
        p += instance;
        out.emplace_hint(out.end(), PropKey(key, std::move(name)),
                         std::vector<uint8_t>(p, p + length));
        p += length;
    }
    return out;
}

}  // namespace CfgAgent::dvs
