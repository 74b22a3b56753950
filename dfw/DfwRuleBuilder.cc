#include "dfw/DfwRuleBuilder.h"

#include <utility>
#include <vector>

#include "dfw/CInvalidRuleException.h"
#include "dfw/DfwCompositeContainers.h"
#include "dfw/DfwContainerConverter.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/CTarpFWRuleBuilder.h"
#include "platform/tarp/TarpWire.h"
#include "proto/UuidText.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;
using TarpFirewall::CTarpFWAddress;
using TarpFirewall::CTarpFWRule;
using TarpFirewall::CTarpFWRuleBuilder;
using TarpFirewall::kRuleSideCount;
using TarpFirewall::RuleSide;

namespace {

constexpr uint32_t kEtherIpv4 = 2048;
constexpr uint32_t kEtherIpv6 = 34525;
constexpr uint32_t kActionNat = 9;

template <class Msg>
DfwUuid Id(const Msg& m) {
    return DfwUuid{m.left(), m.right()};
}

bool Present(const pb::UuidMsg& m) {
    return m.left() != 0 || m.right() != 0;
}

struct SideInfo {
    RuleSide side;
    const char* prefix;
    const char* name;
    bool exclude;
};

const SideInfo kSides[] = {
    {RuleSide::kSource, "rsrc", "src", false},
    {RuleSide::kDest, "rdst", "dst", false},
    {RuleSide::kExcludeSource, "rexcludesrc", "excludesrc", true},
    {RuleSide::kExcludeDest, "rexcludedst", "excludedst", true},
    {RuleSide::kExtSource, "rsid", "extsrc", false},
    {RuleSide::kExtSourceIp, "rextip", "extsrcip", false},
};

const pb::RuleAddressListMsg& ListOf(const fw::LcpRuleMsg& r, RuleSide side) {
    switch (side) {
        case RuleSide::kSource:
            return r.source();
        case RuleSide::kDest:
            return r.destination();
        case RuleSide::kExcludeSource:
            return r.exclude_source();
        case RuleSide::kExcludeDest:
            return r.exclude_destination();
        case RuleSide::kExtSource:
            return r.extended_source();
        case RuleSide::kExtSourceIp:
            return r.extended_source_ip();
    }
    return r.source();
}

}  // namespace

// What one rule side becomes; the same for every combined part of the rule.
struct DfwRuleBuilder::SideChoice {
    bool present = false;
    std::string container;
    bool malicious = false;
    bool hasAddress = false;
    CTarpFWAddress address = CTarpFWAddress::IPv4(0, 0);
    bool negate = false;
};

DfwRuleBuilder::DfwRuleBuilder(const DfwMsgSnapshot& snapshot, DfwCompositeContainers& generated)
    : snapshot_(snapshot), generated_(generated) {}

const std::unordered_map<uint32_t, DfwUuid>& DfwRuleBuilder::Owners() {
    if (ownersKnown_)
        return owners_;
    ownersKnown_ = true;
    owners_.reserve(snapshot_.rules ? snapshot_.rules->size() : 0);
    for (const auto* rules : {snapshot_.rules.get(), snapshot_.lbRules.get()}) {
        if (rules == nullptr)
            continue;
        for (const auto& [id, r] : *rules) {
            auto [it, added] = owners_.emplace(r->rule_id(), id);
            if (!added && id < it->second)
                it->second = id;
        }
    }
    return owners_;
}

uint32_t DfwRuleBuilder::LibraryDirection(uint32_t direction) {
    switch (direction) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
            return 0;
        default:
            return 0;
    }
}

uint32_t DfwRuleBuilder::LibraryAction(uint32_t action) {
    switch (action) {
        case 0:
            return ozy::tarp::kActionAllow;
        case 1:
            return ozy::tarp::kActionDrop;
        case 2:
            return ozy::tarp::kActionReject;
        case 7:
            return ozy::tarp::kActionRedirect;
        case 8:
            return ozy::tarp::kActionDoNotRedirect;
        case 11:
            return ozy::tarp::kActionCopy;
        case 20:
            return ozy::tarp::kActionDetect;
        case 22:
            return ozy::tarp::kActionPrevent;
        case 23:
            return ozy::tarp::kActionDetectPrevent;
        default:
            return 0;
    }
}

std::string DfwRuleBuilder::GeneratedName(const char* prefix, const fw::LcpRuleMsg& rule) {
    std::string name = prefix + std::to_string(rule.rule_id());
    DfwUuid id = Id(rule.id());
    const auto& owners = Owners();
    auto it = owners.find(rule.rule_id());
    if (it != owners.end() && it->second != id) {
        // Two uuids with one rule id: the greater keeps its own name apart.
        name += "-" + id.Text().substr(24);
        DFW_WARN("dfw: rule %1 (%2) shares its id with %3; its containers are named %4",
                 rule.rule_id(), id.Text(), it->second.Text(), name);
    }
    return name;
}

std::string DfwRuleBuilder::Profile(const fw::LcpRuleMsg& rule, const DfwUuid& id,
                                    const char* code) {
    auto it = snapshot_.containers->find(id);
    DfwUuid section = Id(rule.section_id());
    if (it == snapshot_.containers->end()) {
        CFG_LOG_AT(g_dfwLogLevel, kLogError, {std::string("errorCode:") + code},
                   "dfw: rule %1 failed to find context profile %2: %3", rule.rule_id(), id.Text(),
                   "not cached");
        throw CInvalidRuleException(rule.rule_id(), section,
                                    "context profile " + id.Text() + " not found");
    }
    DFW_DEBUG("dfw: rule %1 successfully found context profile %2 : %3", rule.rule_id(), id.Text(),
              it->second->name());
    return DfwCompositeContainers::ContainerName(id);
}

DfwRuleBuilder::SideChoice DfwRuleBuilder::ResolveSide(const fw::LcpRuleMsg& rule, int index,
                                                       bool* matchesNothing) {
    const SideInfo& info = kSides[index];
    const pb::RuleAddressListMsg& list = ListOf(rule, info.side);
    SideChoice out;
    std::vector<DfwUuid> members;
    bool anyMalicious = false, anyPlain = false, anyIp = false;
    for (const pb::UuidMsg& m : list.container_ids()) {
        DfwUuid id = Id(m);
        auto it = snapshot_.containers->find(id);
        if (it == snapshot_.containers->end()) {
            DFW_ERROR("dfw: cannot find container %1 which is used by a rule", id.Text());
            throw CInvalidRuleException(rule.rule_id(), Id(rule.section_id()),
                                        "container " + id.Text() + " not found");
        }
        (it->second->ip_reputation() ? anyMalicious : anyPlain) = true;
        anyIp |= it->second->ip_addresses_size() > 0;
        members.push_back(id);
    }
    std::vector<CTarpFWAddress> addresses;
    for (const pb::FirewallAddressMsg& a : list.ip_addresses())
        addresses.push_back(DfwContainerConverter::Address(a));
    for (uint64_t mac : list.mac_addresses())
        addresses.push_back(DfwContainerConverter::Mac(mac));
    if (members.empty() && addresses.empty())
        return out;
    if (info.side == RuleSide::kExtSourceIp && !anyIp && addresses.empty()) {
        DFW_INFO("dfw:  extSrcCont has no ip address, do not build extSrcIp");
        // An empty constraint matches nothing; negated, it matches everything.
        if (!list.negate())
            *matchesNothing = true;
        return out;
    }
    out.present = true;
    out.negate = list.negate();
    if (anyMalicious && (anyPlain || members.size() > 1 || !addresses.empty())) {
        DFW_ERROR("dfw: Src/Dst has both malicious and non-malicious groups, unsupported");
        throw CInvalidRuleException(rule.rule_id(), Id(rule.section_id()),
                                    "malicious and other groups on one side");
    }
    if (members.size() == 1 && addresses.empty()) {
        out.container = DfwCompositeContainers::ContainerName(members[0]);
        out.malicious = anyMalicious;
        if (anyMalicious)
            DFW_DEBUG("dfw: %1 uses malicious container %2", info.name, out.container);
        else if (info.exclude)
            DFW_DEBUG("dfw: %1 uses exclude container %2", info.name, out.container);
        else
            DFW_DEBUG("dfw: %1 uses container %2", info.name, out.container);
    } else if (members.empty() && addresses.size() == 1) {
        out.hasAddress = true;
        out.address = addresses[0];
        DFW_DEBUG("dfw:   added %1 address to rule %2", addresses[0].ToString(), rule.rule_id());
    } else if (members.empty()) {
        out.container = GeneratedName(info.prefix, rule);
        generated_.AddAddressList(out.container, addresses);
    } else {
        out.container = generated_.Acquire(GeneratedName(info.prefix, rule), std::move(members),
                                           std::move(addresses),
                                           info.side == RuleSide::kExtSourceIp, info.exclude);
    }
    return out;
}

void DfwRuleBuilder::ApplySide(CTarpFWRuleBuilder& b, int index, const SideChoice& c) {
    RuleSide side = kSides[index].side;
    if (!c.present)
        return;
    if (c.hasAddress)
        b.setAddress(side, c.address);
    else if (c.malicious)
        b.setMaliciousContainer(side, c.container);
    else
        b.setContainer(side, c.container);
    if (c.negate)
        b.negateRuleAddress(side);
}

void DfwRuleBuilder::Service(CTarpFWRuleBuilder& b, const pb::ProtocolSpecMsg& s) {
    if (!b.isLayer3()) {
        if (s.has_ether_protocol())
            b.setProtocol(s.ether_protocol(), s.negate());
        return;
    }
    if (!s.has_ip_protocol())
        return;
    uint32_t proto = s.ip_protocol();
    b.setProtocol(proto, s.negate());
    if ((proto == 1 || proto == 58) && s.icmp().has_type()) {
        DFW_DEBUG("dfw: set icmp type and code");
        if (s.icmp().has_code())
            b.addICMPTypeCode(s.icmp().type(), s.icmp().code());
        else
            b.addICMPType(s.icmp().type());
    }
    if (proto == 6 && s.has_tcp_flags()) {
        DFW_DEBUG("dfw: set tcp flags");
        b.addTCPFlags(s.tcp_flags().flags(), s.tcp_flags().mask());
    }
    if (proto == 6 || proto == 17) {
        auto ports = [&](const google::protobuf::RepeatedPtrField<pb::PortRangeMsg>& list,
                         bool negate, bool source) {
            if (list.empty())
                return;
            DFW_DEBUG(source ? "dfw: set %1source ports" : "dfw: set %1dest ports",
                      negate ? "negated " : "");
            if (list.size() == 1) {
                const pb::PortRangeMsg& p = list.Get(0);
                uint32_t end = p.has_end() ? p.end() : p.start();
                source ? b.setSourcePort(p.start(), end, negate)
                       : b.setDestPort(p.start(), end, negate);
                return;
            }
            for (const pb::PortRangeMsg& p : list) {
                uint32_t end = p.has_end() ? p.end() : p.start();
                source ? b.addSourcePort(p.start(), end) : b.addDestPort(p.start(), end);
            }
            if (negate)
                source ? b.negateSourcePort() : b.negateDestPort();
        };
        ports(s.source_ports(), s.source_ports_negate(), true);
        ports(s.destination_ports(), s.destination_ports_negate(), false);
    }
    if (s.has_alg())
        b.setALG(s.alg());
}

std::shared_ptr<const CTarpFWRule> DfwRuleBuilder::Build(const fw::LcpRuleMsg& rule,
                                                         const fw::LcpRuleSectionMsg& section) {
    const DfwUuid sectionId = Id(rule.section_id());
    const bool layer3 = rule.type() != 1 && rule.type() != 3;
    DFW_DEBUG("dfw: created rule builder for %1 rule %2", layer3 ? "layer3" : "layer2",
              rule.rule_id());
    try {
        bool matchesNothing = false;
        SideChoice sides[kRuleSideCount];
        for (int i = 0; i < kRuleSideCount; ++i)
            sides[i] = ResolveSide(rule, i, &matchesNothing);
        if (matchesNothing) {
            DFW_INFO("dfw: rule %1 can match nothing (empty extended source IP), not built",
                     rule.rule_id());
            return nullptr;
        }
        std::vector<std::string> profiles;
        for (const pb::UuidMsg& p : rule.context_profile_ids())
            profiles.push_back(Profile(rule, Id(p), "LCP01159"));
        std::string timeProfile;
        if (Present(rule.time_profile_id()))
            timeProfile = Profile(rule, Id(rule.time_profile_id()), "LCP01164");

        auto part = [&](const pb::ProtocolSpecMsg* service, const std::string* profile) {
            CTarpFWRuleBuilder b(layer3);
            b.setId(rule.rule_id());
            b.setDirection(LibraryDirection(rule.direction()));
            if (rule.action() == kActionNat && rule.has_nat_spec()) {
                const pb::NATSpecMsg& n = rule.nat_spec();
                b.setAction(n.nat_type(), n.port_start(), n.port_end(), n.address());
            } else {
                bool withSi = rule.action() == 1 || rule.action() == 7 || rule.action() == 11;
                const pb::UuidMsg& si = rule.si_spec().service_id();
                b.setAction(LibraryAction(rule.action()),
                            withSi && Present(si) ? Id(si).Text() : std::string());
            }
            b.setType(rule.type());
            if (rule.ether_type() == kEtherIpv4)
                b.setInetAF(false);
            else if (rule.ether_type() == kEtherIpv6)
                b.setInetAF(true);
            if (service)
                Service(b, *service);
            if (rule.ids_profile_ids_size() > 0) {
                const pb::UuidMsg& ids = rule.ids_profile_ids(0);
                DFW_DEBUG("dfw: processing IDS rule with profile (%1, %2)", ids.left(),
                          ids.right());
                b.setIDSProfile(Id(ids).Text());
            }
            b.setEnableLog(rule.log());
            b.setEnableLBRule(rule.lb());
            b.setDisableFlowRecord(rule.no_flow_record());
            b.setStateless(rule.stateless());
            if (rule.has_tag())
                b.setTag(rule.tag());
            if (rule.has_oversubscription()) {
                DFW_DEBUG("dfw: rule %1 has %2 oversubscription", rule.rule_id(),
                          rule.oversubscription());
                b.setOversubscription(rule.oversubscription());
            }
            if (section.category().has_id()) {
                uint32_t category = section.category().id();
                b.setCategoryId(category);
                if (snapshot_.buckets) {
                    auto found = DfwMsgCache::FindBucket(*snapshot_.buckets, category);
                    if (found) {
                        DFW_DEBUG("dfw: rule %1 found bucket id (%2) for bucket %3", rule.rule_id(),
                                  *found, (*snapshot_.buckets)[*found].name);
                        b.setBucketId(static_cast<uint32_t>(*found));
                    }
                }
                bool preFilter = false;
                if (snapshot_.categories) {
                    auto c = snapshot_.categories->find(category);
                    preFilter = c != snapshot_.categories->end() && (c->second.flags & 1) != 0;
                }
                DFW_DEBUG("dfw: rule %1 placed into %2 bucket (%3)", rule.rule_id(),
                          preFilter ? "PRE-FILTER" : "FILTER", category);
            } else {
                DFW_DEBUG("dfw: rule %1 placed into FILTER bucket (%2) by default", rule.rule_id(),
                          "FILTER");
            }
            for (int i = 0; i < kRuleSideCount; ++i)
                ApplySide(b, i, sides[i]);
            if (profile)
                b.setAttributeProfile(*profile);
            if (!timeProfile.empty())
                b.setTimeAttributeProfile(timeProfile);
            return b.buildRule();
        };

        // One part per protocol and context-profile pair, combined into the first.
        std::vector<const pb::ProtocolSpecMsg*> services;
        for (const pb::ProtocolSpecMsg& s : rule.services())
            services.push_back(&s);
        if (services.empty())
            services.push_back(nullptr);
        std::vector<const std::string*> ctx;
        for (const std::string& p : profiles)
            ctx.push_back(&p);
        if (ctx.empty())
            ctx.push_back(nullptr);
        std::unique_ptr<CTarpFWRule> built;
        for (size_t s = 0; s < services.size(); ++s) {
            for (size_t c = 0; c < ctx.size(); ++c) {
                std::unique_ptr<CTarpFWRule> one = part(services[s], ctx[c]);
                if (!built) {
                    DFW_DEBUG("dfw: building rule of first protocol and ctx profile %1",
                              ctx[c] ? *ctx[c] : std::string());
                    built = std::move(one);
                } else {
                    DFW_DEBUG("dfw: building rule of protocol #%1 and context profile %2", s,
                              ctx[c] ? *ctx[c] : std::string());
                    built->combineRule(*one);
                }
            }
        }
        built->setTCPStrict(section.tcp_strict());
        built->setTenantCtx(section.tenant().org_id(), section.tenant().project_id(),
                            section.tenant().vpc_id());
        return std::shared_ptr<const CTarpFWRule>(built.release());
    } catch (const TarpFirewall::CTarpFWException& e) {
        DFW_ERROR("dfw: rule %1 of section %2 cannot be built: %3", rule.rule_id(),
                  sectionId.Text(), e.what());
        throw CInvalidRuleException(rule.rule_id(), sectionId, e.what());
    }
}

}  // namespace CfgAgent
