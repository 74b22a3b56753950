#include "apps/switching/PackedPropSet.h"

#include <cstring>
#include <stdexcept>

namespace CfgAgent::dvs {

namespace {

constexpr size_t kLengthSize = 4;
constexpr uint8_t kLongForm = 0xFF;
constexpr size_t kShortHeader = 2 + 1;
constexpr size_t kLongHeader = 2 + 1 + 2 + 4;

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

bool ShortForm(const PropKey& key, const std::vector<uint8_t>& value) {
    return key.second.empty() && value.size() < kLongForm;
}

}  // namespace

PackedPropSet::PackedPropSet(const PropSet& set) {
    size_t n = kLengthSize;
    for (const auto& [key, value] : set) {
        if (key.second.size() > UINT16_MAX || value.size() > UINT32_MAX)
            throw std::length_error("PackedPropSet: instance or value too long");
        n +=
            (ShortForm(key, value) ? kShortHeader : kLongHeader) + key.second.size() + value.size();
    }
    if (set.empty())
        return;
    if (n > UINT32_MAX)
        throw std::length_error("PackedPropSet: set too long");
    bytes_.reset(new uint8_t[n]);
    uint8_t* p = bytes_.get();
    Put<uint32_t>(p, static_cast<uint32_t>(n));
    for (const auto& [key, value] : set) {
        Put<uint16_t>(p, key.first);
        if (ShortForm(key, value)) {
            Put<uint8_t>(p, static_cast<uint8_t>(value.size()));
        } else {
            Put<uint8_t>(p, kLongForm);
            Put<uint16_t>(p, static_cast<uint16_t>(key.second.size()));
            Put<uint32_t>(p, static_cast<uint32_t>(value.size()));
            std::memcpy(p, key.second.data(), key.second.size());
            p += key.second.size();
        }
        if (!value.empty())
            std::memcpy(p, value.data(), value.size());
        p += value.size();
    }
}

PackedPropSet::PackedPropSet(const PackedPropSet& o) {
    size_t n = o.ByteSize();
    if (n != 0) {
        bytes_.reset(new uint8_t[n]);
        std::memcpy(bytes_.get(), o.bytes_.get(), n);
    }
}

PackedPropSet& PackedPropSet::operator=(const PackedPropSet& o) {
    if (this != &o) {
        PackedPropSet copy(o);
        *this = std::move(copy);
    }
    return *this;
}

size_t PackedPropSet::ByteSize() const {
    if (!bytes_)
        return 0;
    const uint8_t* p = bytes_.get();
    return Get<uint32_t>(p);
}

PropSet PackedPropSet::Unpack() const {
    PropSet out;
    if (!bytes_)
        return out;
    const uint8_t* p = bytes_.get();
    const uint8_t* end = p + ByteSize();
    p += kLengthSize;
    while (p < end) {
        uint16_t key = Get<uint16_t>(p);
        uint8_t form = Get<uint8_t>(p);
        size_t instance = 0;
        size_t length = form;
        if (form == kLongForm) {
            instance = Get<uint16_t>(p);
            length = Get<uint32_t>(p);
        }
        std::string name(reinterpret_cast<const char*>(p), instance);
        p += instance;
        out.emplace_hint(out.end(), PropKey(key, std::move(name)),
                         std::vector<uint8_t>(p, p + length));
        p += length;
    }
    return out;
}

}  // namespace CfgAgent::dvs
