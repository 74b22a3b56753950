// The checks of MAC management, QoS and switch security, and the DVSPropConvertor handlers that
// apply them to switches and ports.
#include "apps/switching/DVSPropConvertorValidation.h"

#include <set>

#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/KcpPropertyTable.h"
#include "runtime/Logger.h"

namespace CfgAgent::dvs {

std::vector<uint8_t> MacManagementValue(const pb::MacManagementMsg& m) {
    uint32_t limit = m.has_mac_limit() ? m.mac_limit() : kMacLimitDefault;
    uint32_t policy = m.mac_limit_policy();
    bool valid = true;
    if (limit > kMacLimitMax) {
        CFG_ERROR_CODE("LCP00001", "Invalid MAC Limit value [%1]. Max value is [%2]", limit,
                       kMacLimitMax);
        valid = false;
    } else if (policy != kcp::kMacLimitPolicyNone && policy != kcp::kMacLimitPolicyAllow &&
               policy != kcp::kMacLimitPolicyDrop) {
        CFG_ERROR_CODE("LCP00001", "Unsupported MAC Limit Policy [%1]", policy);
        valid = false;
    }
    if (!valid) {
        limit = kMacLimitDefault;
        policy = kMacLimitPolicyDefault;
        CFG_INFO("Setting default MAC limit[%1] and MAC limit policy[%2] values", limit, policy);
    }
    std::vector<uint8_t> v;
    v.push_back(m.mac_learning() ? 1 : 0);
    AppendBe32(v, limit);
    v.push_back(static_cast<uint8_t>(policy));
    // Unknown unicast is flooded unless switched off.
    v.push_back(!m.has_unknown_unicast_flooding() || m.unknown_unicast_flooding() ? 1 : 0);
    v.push_back(m.mac_change_allowed() ? 1 : 0);
    return v;
}

namespace {

struct Shaper {
    uint8_t type = 0;
    bool enabled = true;
    uint32_t average = 0;
    uint32_t peak = 0;
    uint32_t burst = 0;
};

void AppendShaper(std::vector<uint8_t>& v, const Shaper& s) {
    v.push_back(s.type);
    v.push_back(s.enabled ? 1 : 0);
    AppendBe32(v, s.average);
    AppendBe32(v, s.peak);
    AppendBe32(v, s.burst);
}

}  // namespace

bool QosProperties(const pb::QosMsg& m, std::vector<PropValue>* out) {
    bool ok = true;
    if (m.has_cos() && m.cos() > kCosMax) {
        CFG_ERROR_CODE("LCP00001", "Invalid COS Tag: %1", m.cos());
        ok = false;
    }
    if (m.has_dscp() && m.dscp() > kDscpMax) {
        CFG_ERROR_CODE("LCP00001", "Invalid DSCP Tag: %1", m.dscp());
        ok = false;
    }
    std::vector<Shaper> shapers;
    std::set<uint32_t> seen;
    for (const auto& s : m.shapers()) {
        if (!s.has_type()) {
            CFG_ERROR_CODE("LCP00001", "Shaper Config without shaper type");
            ok = false;
            continue;
        }
        if (s.type() < kcp::kShaperIngress || s.type() > kcp::kShaperEgress) {
            CFG_ERROR_CODE("LCP00001", "Invalid shaper type: %1", s.type());
            ok = false;
            continue;
        }
        if (!seen.insert(s.type()).second) {
            CFG_ERROR_CODE("LCP00001", "Same shaper type (%1) configuration already specified %1",
                           s.type());
            ok = false;
            continue;
        }
        Shaper sh;
        sh.type = static_cast<uint8_t>(s.type());
        sh.enabled = !s.has_enabled() || s.enabled();
        sh.average = s.average_bandwidth_kbps();
        // Without a peak the shaper allows no burst above the average.
        sh.peak = s.has_peak_bandwidth_kbps() ? s.peak_bandwidth_kbps() : sh.average;
        sh.burst = s.burst_size_bytes();
        if (s.has_peak_bandwidth_kbps() && s.has_average_bandwidth_kbps() &&
            sh.peak <= sh.average) {
            CFG_ERROR_CODE("LCP00001",
                           "Peak bandwidth (%1) must be larger than average bandwidth (%2)",
                           sh.peak, sh.average);
            ok = false;
            continue;
        }
        shapers.push_back(sh);
    }
    // The single ingress and egress rates stand for shapers when the list has none of that type.
    if (m.has_ingress_rate_kbps()) {
        if (seen.count(kcp::kShaperIngress) != 0) {
            CFG_WARN("Ingress shaper already specified, ignored");
        } else {
            uint32_t rate = ClampU32(m.ingress_rate_kbps());
            shapers.push_back(Shaper{kcp::kShaperIngress, true, rate, rate, 0});
        }
    }
    if (m.has_egress_rate_kbps() && seen.count(kcp::kShaperEgress) == 0) {
        uint32_t rate = ClampU32(m.egress_rate_kbps());
        shapers.push_back(Shaper{kcp::kShaperEgress, true, rate, rate, 0});
    }
    if (!ok) {
        return false;
    }
    std::vector<PropValue> props;
    PropValue sh{kcp::kPropQosShapers, {}};
    for (const Shaper& s : shapers)
        AppendShaper(sh.value, s);
    props.push_back(std::move(sh));
    PropValue marking{kcp::kPropQosMarking, {}};
    marking.value.push_back(static_cast<uint8_t>(m.cos()));
    marking.value.push_back(static_cast<uint8_t>(m.dscp()));
    marking.value.push_back(m.dscp_trusted() ? 1 : 0);
    props.push_back(std::move(marking));
    *out = std::move(props);
    return true;
}

bool SwitchSecurityProperties(const pb::SwitchSecurityMsg& m, std::vector<PropValue>* out) {
    bool ok = true;
    const int whitelist = m.spoofguard_whitelist_size();
    if (m.switch_spoofguard() && whitelist == 0) {
        CFG_WARN("Switch spoofguard enabled, but no whitelist is configured.");
    }
    if (m.port_spoofguard() && whitelist == 0) {
        CFG_WARN("Port spoofguard enabled, but no whitelist is configured.");
    }
    if (!m.switch_spoofguard() && !m.port_spoofguard() && whitelist > 0) {
        CFG_ERROR_CODE("LCP00001", "spoofguard not enabled but whitelist size = %1", whitelist);
        ok = false;
    }
    if (!m.bpdu_filter() && m.bpdu_exceptions_size() > 0) {
        CFG_ERROR_CODE("LCP00001", "no bpdu filter but bpdu exceptions size = %1",
                       m.bpdu_exceptions_size());
        ok = false;
    }
    if (!ok) {
        return false;
    }
    std::vector<PropValue> props;
    PropValue sg{kcp::kPropSpoofGuard, {}};
    sg.value.push_back(m.switch_spoofguard() || m.port_spoofguard() ? 1 : 0);
    for (const auto& b : m.spoofguard_whitelist()) {
        AppendIp(sg.value, b.ip());
        sg.value.push_back(PrefixOf(b));
        AppendMac(sg.value, b.mac());
        AppendBe16(sg.value, static_cast<uint16_t>(b.vlan() > 0xffff ? 0xffff : b.vlan()));
    }
    props.push_back(std::move(sg));
    PropValue bpdu{kcp::kPropBpduFilter, {static_cast<uint8_t>(m.bpdu_filter() ? 1 : 0)}};
    for (uint64_t mac : m.bpdu_exceptions())
        AppendMac(bpdu.value, mac);
    props.push_back(std::move(bpdu));
    props.push_back(PropValue{
        kcp::kPropDhcpFilter,
        {static_cast<uint8_t>(m.dhcp_client_block()), static_cast<uint8_t>(m.dhcp_server_block()),
         static_cast<uint8_t>(m.dhcpv6_client_block()),
         static_cast<uint8_t>(m.dhcpv6_server_block())}});
    props.push_back(PropValue{kcp::kPropNonIpBlock, {static_cast<uint8_t>(m.non_ip_block())}});
    props.push_back(PropValue{kcp::kPropRaGuard, {static_cast<uint8_t>(m.ra_guard())}});
    PropValue rl{kcp::kPropRateLimits, {static_cast<uint8_t>(m.rate_limits_enabled())}};
    for (uint32_t v : {m.rx_broadcast(), m.rx_multicast(), m.tx_broadcast(), m.tx_multicast()})
        AppendBe32(rl.value, v);
    props.push_back(std::move(rl));
    *out = std::move(props);
    return true;
}

}  // namespace CfgAgent::dvs

// ---- the handlers that apply them ------------------------------------------------------------

namespace CfgAgent {

using namespace dvs;

void DVSPropConvertor::HandleMacManagementUpdate(const PropertyUpdate& u) {
    const bool isSwitch = u.property == PropertyType::LS_MAC_MANAGEMENT;
    std::optional<std::vector<uint8_t>> value;
    if (!u.Deleted()) {
        if (isSwitch) {
            pb::LogSwitchConfigMsg m;
            if (!ParsePropertyValue(m, u.property, u.id, u.value))
                return;
            if (m.has_mac_management())
                value = MacManagementValue(m.mac_management());
        } else {
            pb::LogSwitchPortConfigMsg m;
            if (!ParsePropertyValue(m, u.property, u.id, u.value))
                return;
            if (m.has_mac_management())
                value = MacManagementValue(m.mac_management());
        }
    }
    if (isSwitch) {
        Switch(u.id).macManagement = std::move(value);
        MarkSwitchPortsDirty(u.id);
    } else {
        Lsp(u.id).SetExtra(&dvs::LspExtras::macManagement, std::move(value));
        MarkLspDirty(u.id);
    }
}

void DVSPropConvertor::HandleLSPQosUpdate(const PropertyUpdate& u) {
    LspState& l = Lsp(u.id);
    if (u.Deleted()) {
        l.SetExtra(&dvs::LspExtras::qos, std::vector<PropValue>());
        MarkLspDirty(u.id);
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    std::vector<PropValue> props;
    if (!QosProperties(m.qos(), &props)) {
        CFG_ERROR_CODE("LCP00001", "QoS of port [%1] rejected, keeping what it had", IdText(u.id));
        return;
    }
    // Kept while the port is on no switch: it reaches the dataplane when the port joins one
    // (the value is not handed over again then, as it did not change).
    if (l.lsId.empty())
        CFG_WARN("LSP_SWITCH_ID is not found for port [%1]", IdText(u.id));
    l.SetExtra(&dvs::LspExtras::qos, std::move(props));
    MarkLspDirty(u.id);
}

void DVSPropConvertor::HandleLSPSwitchSecurityUpdate(const PropertyUpdate& u) {
    if (u.Deleted()) {
        CFG_INFO("Switch Security [%1]: Delete is a NOOP.", IdText(u.id));
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    LspState& l = Lsp(u.id);
    l.SetExtra(&dvs::LspExtras::securityPresent, true);
    std::vector<PropValue> props;
    if (SwitchSecurityProperties(m.switch_security(), &props)) {
        l.SetExtra(&dvs::LspExtras::security, std::move(props));
        l.SetExtra(&dvs::LspExtras::securityApplied, true);
    } else if (!l.Extras().securityApplied) {
        std::string port = PortOfLsp(u.id);
        CFG_INFO("No security is configured, will unblock port %1 after security is set",
                 port.empty() ? IdText(u.id) : port);
    } else {
        CFG_ERROR_CODE("LCP00001", "Switch security of port [%1] rejected, keeping what it had",
                       IdText(u.id));
    }
    MarkLspDirty(u.id);
}

}  // namespace CfgAgent
