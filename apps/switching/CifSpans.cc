#include "apps/switching/CifSpans.h"

#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

const char* KindName(CifSpans::Kind k) {
    return k == CifSpans::kDfw ? "DFW" : "SI";
}

// The schema form of a MAC: the low 48 bits, first octet highest.
uint64_t MacValue(const kcp::MacAddr& m) {
    uint64_t v = 0;
    for (uint8_t b : m)
        v = (v << 8) | b;
    return v;
}

}  // namespace

bool CifSpans::UpdateSpans(const CairnDBUpdateList& records, bool fullSync) {
    bool changed = false;
    if (fullSync && !spans_.empty()) {
        spans_.clear();
        changed = true;
    }
    for (const CairnDBUpdateMsg& r : records) {
        if (r.objType != ObjectType::CONFIG_SPAN)
            continue;
        if (r.op == Operation::OPERATION_DELETE) {
            changed = spans_.erase(r.id) != 0 || changed;
            continue;
        }
        CFG_DEBUG("CIFConfig: validating config_span message");
        pb::ConfigSpanMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00514", "CIFConfig: config_span [%1] does not parse, ignored",
                           IdText(r.id));
            continue;
        }
        if (!m.has_span_type()) {
            CFG_ERROR_CODE("LCP00514", "CIFConfig: bad dfw/si config_span: no filter type");
            continue;
        }
        if (m.span_type() != kDfwFilterType && m.span_type() != kSiFilterType) {
            CFG_INFO("CIFConfig: skip config_span of non dfw/si type");
            changed = spans_.erase(r.id) != 0 || changed;
            continue;
        }
        Span s;
        s.kind = m.span_type() == kDfwFilterType ? kDfw : kSi;
        s.excludeAll = m.exclude_all();
        s.excluded[kDfw].insert(m.dfw_excluded_vifs().begin(), m.dfw_excluded_vifs().end());
        s.excluded[kSi].insert(m.si_excluded_vifs().begin(), m.si_excluded_vifs().end());
        for (const pb::UuidMsg& c : m.span())
            s.containers.insert(c.SerializeAsString());
        CFG_INFO("CIFConfig: %1 new span, exclude_all[%2]", KindName(s.kind), s.excludeAll);
        for (const std::string& vif : s.excluded[s.kind])
            CFG_DEBUG("CIFConfig: spanconfig: new span vif %1", vif);
        spans_[r.id] = std::move(s);
        changed = true;
    }
    if (changed)
        Rebuild();
    return changed;
}

bool CifSpans::UpdateContainers(const CairnDBUpdateList& records, bool fullSync) {
    bool changed = false;
    if (fullSync) {
        for (const auto& [id, macs] : containers_) {
            (void)macs;
            changed = changed || Named(id);
        }
        containers_.clear();
    }
    for (const CairnDBUpdateMsg& r : records) {
        if (r.objType != ObjectType::CONTAINER)
            continue;
        if (r.op == Operation::OPERATION_DELETE) {
            changed = (containers_.erase(r.id) != 0 && Named(r.id)) || changed;
            continue;
        }
        pb::ContainerMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00514", "CIFConfig: container [%1] does not parse, ignored",
                           IdText(r.id));
            continue;
        }
        CFG_DEBUG("CIFConfig: validated message of span container (%1:%2:%3 members)", IdText(r.id),
                  m.ip_addresses_size(), m.mac_addresses_size());
        std::set<uint64_t> macs(m.mac_addresses().begin(), m.mac_addresses().end());
        auto it = containers_.find(r.id);
        if (it != containers_.end() && it->second == macs)
            continue;
        containers_[r.id] = std::move(macs);
        changed = changed || Named(r.id);
    }
    return changed;
}

void CifSpans::Rebuild() {
    merged_ = {};
    for (const auto& [id, s] : spans_) {
        (void)id;
        Merged& m = merged_[s.kind];
        ++m.spans;
        m.excludeAll = m.excludeAll || s.excludeAll;
        m.containers.insert(s.containers.begin(), s.containers.end());
        // A span's excluded lists count for both filter types.
        for (int k = kDfw; k <= kSi; ++k)
            merged_[k].excluded.insert(s.excluded[k].begin(), s.excluded[k].end());
    }
}

bool CifSpans::Named(const std::string& containerId) const {
    return merged_[kDfw].containers.count(containerId) != 0 ||
           merged_[kSi].containers.count(containerId) != 0;
}

bool CifSpans::Covers(Kind kind, const std::string& cifVif, const kcp::MacAddr& mac) const {
    const Merged& m = merged_[kind];
    if (m.spans == 0 || m.excludeAll || m.excluded.count(cifVif) != 0)
        return false;
    if (m.containers.empty())
        return true;
    const uint64_t v = MacValue(mac);
    for (const std::string& id : m.containers) {
        auto c = containers_.find(id);
        if (c != containers_.end() && c->second.count(v) != 0)
            return true;
    }
    return false;
}

size_t CifSpans::SpanCount(Kind kind) const {
    return merged_[kind].spans;
}

}  // namespace CfgAgent
