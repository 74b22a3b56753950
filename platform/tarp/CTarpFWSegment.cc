#include "platform/tarp/CTarpFWSegment.h"

#include "platform/tarp/TarpEncoding.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

CTarpFWSegment::CTarpFWSegment(std::vector<std::shared_ptr<const CTarpFWRule>> rules)
    : rules_(std::move(rules)) {
    std::vector<uint8_t> names;
    names.reserve(4 + 8 * rules_.size());
    detail::WireWriter w(names);
    w.U32(static_cast<uint32_t>(rules_.size()));
    for (const auto& r : rules_)
        w.U64(r->hash());
    hash_ = ozy::tarp::Hash64(names.data(), names.size(), ozy::tarp::kSegmentSeed);
}

size_t CTarpFWSegment::EncodedSize() const {
    size_t n = 8;
    for (const auto& r : rules_)
        n += 4 + r->encoded().size();
    return n;
}

void CTarpFWSegment::AppendEncoded(std::vector<uint8_t>& out) const {
    detail::WireWriter w(out);
    w.U32(ozy::tarp::kSegmentMagic).U32(static_cast<uint32_t>(rules_.size()));
    for (const auto& r : rules_) {
        w.U32(static_cast<uint32_t>(r->encoded().size()));
        w.Bytes(r->encoded().data(), r->encoded().size());
    }
}

}  // namespace TarpFirewall
