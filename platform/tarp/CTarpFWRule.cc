#include "platform/tarp/CTarpFWRule.h"

#include <set>

#include "platform/tarp/TarpEncoding.h"
#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

namespace {

using detail::WireWriter;
constexpr size_t kMaxParts = 4096;
namespace wire = ozy::tarp;

void EncodePorts(WireWriter& w, uint8_t tag, const CTarpFWRulePart::Ports& p) {
    if (p.ranges.empty())
        return;
    w.U8(tag);
    size_t m = w.Begin16();
    w.U8(p.negate ? 1 : 0).U16(static_cast<uint16_t>(p.ranges.size()));
    for (const auto& r : p.ranges)
        w.U16(r.first).U16(r.second);
    w.End16(m);
}

void EncodeStr(WireWriter& w, uint8_t tag, const std::string& s) {
    if (s.empty())
        return;
    w.U8(tag).U16(static_cast<uint16_t>(2 + s.size())).Str(s);
}

void EncodeU32(WireWriter& w, uint8_t tag, bool has, uint32_t v) {
    if (has)
        w.U8(tag).U16(4).U32(v);
}

void EncodePart(WireWriter& w, const CTarpFWRulePart& p) {
    w.U8(wire::kTagId).U16(4).U32(p.id);
    w.U8(wire::kTagLayer).U16(1).U8(p.layer3 ? 3 : 2);
    if (p.hasDirection)
        w.U8(wire::kTagDirection).U16(1).U8(p.direction);
    w.U8(wire::kTagAction).U16(static_cast<uint16_t>(3 + p.actionText.size())).U8(p.action);
    w.Str(p.actionText);
    if (p.nat) {
        w.U8(wire::kTagNat).U16(static_cast<uint16_t>(8 + p.natAddress.size()));
        w.U16(p.natFields[0]).U16(p.natFields[1]).U16(p.natFields[2]).Str(p.natAddress);
    }
    if (p.hasType)
        w.U8(wire::kTagType).U16(1).U8(p.type);
    if (p.inetFamily != 0)
        w.U8(wire::kTagInetFamily).U16(1).U8(p.inetFamily);
    if (p.hasProtocol)
        w.U8(wire::kTagProtocol).U16(3).U16(p.protocol).U8(p.protocolNegate ? 1 : 0);
    for (const auto& i : p.icmp)
        w.U8(wire::kTagIcmp).U16(3).U8(i.type).U8(i.hasCode ? 1 : 0).U8(i.code);
    if (p.hasTcpFlags)
        w.U8(wire::kTagTcpFlags).U16(2).U8(p.tcpFlags).U8(p.tcpMask);
    EncodePorts(w, wire::kTagSourcePorts, p.sourcePorts);
    EncodePorts(w, wire::kTagDestPorts, p.destPorts);
    EncodeU32(w, wire::kTagAlg, p.hasAlg, p.alg);
    EncodeStr(w, wire::kTagIdsProfile, p.idsProfile);
    if (p.flags != 0)
        w.U8(wire::kTagFlags).U16(1).U8(p.flags);
    EncodeStr(w, wire::kTagTag, p.tag);
    EncodeU32(w, wire::kTagOversub, p.hasOversub, p.oversub);
    EncodeU32(w, wire::kTagCategory, p.hasCategory, p.category);
    EncodeU32(w, wire::kTagBucket, p.hasBucket, p.bucket);
    for (int i = 0; i < kRuleSideCount; ++i) {
        const CTarpFWRulePart::Side& s = p.sides[i];
        uint8_t side = static_cast<uint8_t>(i + 1);
        if (!s.container.empty()) {
            w.U8(wire::kTagAddrContainer).U16(static_cast<uint16_t>(4 + s.container.size()));
            w.U8(side).U8(s.malicious ? 1 : 0).Str(s.container);
        } else if (s.hasAddress) {
            w.U8(wire::kTagAddrDirect).U16(1 + wire::kAddressSize).U8(side).Address(s.address);
        }
        if (s.negate)
            w.U8(wire::kTagAddrNegate).U16(1).U8(side);
    }
    EncodeStr(w, wire::kTagAttrProfile, p.attrProfile);
    EncodeStr(w, wire::kTagTimeProfile, p.timeProfile);
}

}  // namespace

CTarpFWRule::CTarpFWRule(CTarpFWRulePart part) {
    parts_.push_back(std::move(part));
    Encode();
}

void CTarpFWRule::setTCPStrict(bool on) {
    tcpStrict_ = on;
    Encode();
}

void CTarpFWRule::setTenantCtx(const std::string& org, const std::string& project,
                               const std::string& vpc) {
    detail::CheckText(org, wire::kMaxTextField, "tenant organisation");
    detail::CheckText(project, wire::kMaxTextField, "tenant project");
    detail::CheckText(vpc, wire::kMaxTextField, "tenant VPC");
    org_ = org;
    project_ = project;
    vpc_ = vpc;
    Encode();
}

void CTarpFWRule::combineRule(const CTarpFWRule& other) {
    const CTarpFWRulePart& mine = parts_.front();
    const CTarpFWRulePart& theirs = other.parts_.front();
    if (theirs.id != mine.id || theirs.action != mine.action ||
        theirs.direction != mine.direction || theirs.layer3 != mine.layer3)
        detail::Refuse("rule " + std::to_string(theirs.id) + " cannot be combined into rule " +
                       std::to_string(mine.id));
    if (parts_.size() + other.parts_.size() > kMaxParts)
        detail::Refuse("rule " + std::to_string(mine.id) + " would have more than " +
                       std::to_string(kMaxParts) + " parts");
    parts_.insert(parts_.end(), other.parts_.begin(), other.parts_.end());
    Encode();
}

bool CTarpFWRule::hasAttributeProfile() const {
    for (const auto& p : parts_) {
        if (!p.attrProfile.empty())
            return true;
    }
    return false;
}

bool CTarpFWRule::hasTimeProfile() const {
    for (const auto& p : parts_) {
        if (!p.timeProfile.empty())
            return true;
    }
    return false;
}

bool CTarpFWRule::hasIDSProfile() const {
    for (const auto& p : parts_) {
        if (!p.idsProfile.empty())
            return true;
    }
    return false;
}

bool CTarpFWRule::hasExtSource() const {
    for (const auto& p : parts_) {
        const auto& s = p.side(RuleSide::kExtSource);
        if (!s.container.empty() || s.hasAddress)
            return true;
    }
    return false;
}

std::vector<std::string> CTarpFWRule::containerNames() const {
    std::set<std::string> seen;
    std::vector<std::string> out;
    auto add = [&](const std::string& n) {
        if (!n.empty() && seen.insert(n).second)
            out.push_back(n);
    };
    for (const auto& p : parts_) {
        for (const auto& s : p.sides)
            add(s.container);
        add(p.attrProfile);
        add(p.timeProfile);
    }
    return out;
}

void CTarpFWRule::Encode() {
    std::vector<uint8_t> out;
    WireWriter w(out);
    w.U16(static_cast<uint16_t>(parts_.size()));
    for (size_t i = 0; i < parts_.size(); ++i) {
        size_t m = w.Begin32();
        EncodePart(w, parts_[i]);
        if (i == 0) {
            if (tcpStrict_)
                w.U8(wire::kTagTcpStrict).U16(1).U8(1);
            if (!org_.empty() || !project_.empty() || !vpc_.empty()) {
                w.U8(wire::kTagTenant);
                size_t t = w.Begin16();
                w.Str(org_).Str(project_).Str(vpc_);
                w.End16(t);
            }
        }
        w.End32(m);
    }
    encoded_ = std::move(out);
    hash_ = wire::Hash64(encoded_.data(), encoded_.size(), wire::kRuleSeed);
}

}  // namespace TarpFirewall
