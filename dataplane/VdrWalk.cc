#include "dataplane/VdrWalk.h"

#include <cstdio>
#include <cstring>

#include "dataplane/DpFraming.h"

namespace CfgAgent::vdr {

namespace {

// Reads fields from [data, data + size); the first fault records its reason and fails every
// later read.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size, std::string* why)
        : data_(data), size_(size), why_(why) {}

    bool Fail(const std::string& reason) {
        if (ok_ && why_ != nullptr)
            *why_ = reason;
        ok_ = false;
        return false;
    }
    bool Ok() const { return ok_; }
    size_t Pos() const { return pos_; }
    size_t Left() const { return size_ - pos_; }
    const uint8_t* Here() const { return data_ + pos_; }

    bool Need(size_t n, const char* what) {
        if (!ok_)
            return false;
        if (n > Left())
            return Fail(std::string("truncated ") + what);
        return true;
    }
    bool U8(uint8_t* v, const char* what) {
        if (!Need(1, what))
            return false;
        *v = data_[pos_++];
        return true;
    }
    bool Be16(uint16_t* v, const char* what) {
        if (!Need(2, what))
            return false;
        *v = LoadBe16(data_ + pos_);
        pos_ += 2;
        return true;
    }
    bool Be32(uint32_t* v, const char* what) {
        if (!Need(4, what))
            return false;
        *v = LoadBe32(data_ + pos_);
        pos_ += 4;
        return true;
    }
    bool Flag(bool* v, const char* what) {
        uint8_t b = 0;
        if (!U8(&b, what))
            return false;
        if (b > 1)
            return Fail(std::string(what) + " is " + std::to_string(b) + ", not 0 or 1");
        *v = b == 1;
        return true;
    }
    bool Zeros(size_t n, const char* what) {
        if (!Need(n, what))
            return false;
        for (size_t i = 0; i < n; ++i) {
            if (data_[pos_ + i] != 0)
                return Fail(std::string(what) + " is not zero");
        }
        pos_ += n;
        return true;
    }
    bool Skip(size_t n, const char* what) {
        if (!Need(n, what))
            return false;
        pos_ += n;
        return true;
    }
    bool Bytes(uint8_t* out, size_t n, const char* what) {
        if (!Need(n, what))
            return false;
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    // A NUL-padded text of `width` bytes; `terminated`: the last byte must be NUL.
    bool Text(size_t width, bool terminated, bool required, std::string* out, const char* what) {
        if (!Need(width, what))
            return false;
        const uint8_t* p = data_ + pos_;
        size_t n = 0;
        while (n < width && p[n] != 0)
            ++n;
        for (size_t i = n; i < width; ++i) {
            if (p[i] != 0)
                return Fail(std::string(what) + " has bytes after its end");
        }
        for (size_t i = 0; i < n; ++i) {
            if (p[i] < 0x20 || p[i] > 0x7e)
                return Fail(std::string(what) + " has a byte that is not printable");
        }
        if (terminated && n == width)
            return Fail(std::string(what) + " fills its field without a NUL");
        if (required && n == 0)
            return Fail(std::string(what) + " is empty");
        out->assign(reinterpret_cast<const char*>(p), n);
        pos_ += width;
        return true;
    }
    // An address entry; `family` (4 or 16) when the size is fixed by context, 0 for any.
    bool Addr(IpAddr* ip, bool allowNone, uint8_t family, const char* what) {
        if (!Need(kAddrEntrySize, what))
            return false;
        const uint8_t* p = data_ + pos_;
        const uint8_t size = p[0];
        if (size == 0 && !allowNone)
            return Fail(std::string(what) + " has no address");
        if (size != 0 && size != 4 && size != 16)
            return Fail(std::string(what) + " has address size " + std::to_string(size));
        if (size != 0 && family != 0 && size != family)
            return Fail(std::string(what) + " is not of the expected family");
        for (size_t i = 1 + size; i < kAddrEntrySize; ++i) {
            if (p[i] != 0)
                return Fail(std::string(what) + " has bytes after its address");
        }
        ip->size = size;
        ip->bytes.fill(0);
        std::memcpy(ip->bytes.data(), p + 1, size);
        pos_ += kAddrEntrySize;
        return true;
    }
    bool Prefix(IpPrefix* out, uint8_t length, const char* what) {
        if (!Addr(&out->addr, false, 0, what))
            return false;
        out->length = length;
        if (length > (out->addr.size == 4 ? 32 : 128))
            return Fail(std::string(what) + " has prefix length " + std::to_string(length));
        return true;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::string* why_;
    bool ok_ = true;
};

// The header of a received message: its length field must equal the bytes given.
bool CheckHeader(const uint8_t* msg, size_t size, uint16_t type, size_t minSize, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why != nullptr)
            *why = reason;
        return false;
    };
    if (msg == nullptr || size < kDpMsgHeaderSize)
        return fail("shorter than a message header");
    if (DpMsgLength(msg) != size)
        return fail("length field " + std::to_string(DpMsgLength(msg)) + " but " +
                    std::to_string(size) + " bytes");
    if (DpMsgType(msg) != type)
        return fail("message type " + std::to_string(DpMsgType(msg)) + ", expected " +
                    std::to_string(type));
    if (size < minSize)
        return fail(std::to_string(size) + " bytes, at least " + std::to_string(minSize) +
                    " needed");
    return true;
}

// --- routes ---

bool NextHopEntry(Reader& r, uint8_t family, NextHopSpec* h) {
    if (!r.U8(&h->type, "next-hop type"))
        return false;
    if (h->type != kNextHopAddress && h->type != kNextHopInterface && h->type != kNextHopBlackhole)
        return r.Fail("next-hop type " + std::to_string(h->type));
    if (!r.Text(kNameSize, true, false, &h->egress, "egress interface"))
        return false;
    uint8_t size = 0;
    if (!r.U8(&size, "next-hop address size"))
        return false;
    if (size != family)
        return r.Fail("next-hop address size " + std::to_string(size) + " in a route of family " +
                      std::to_string(family));
    if (h->type == kNextHopAddress) {
        h->ip.size = family;
        return r.Bytes(h->ip.bytes.data(), family, "next-hop address");
    }
    h->ip = IpAddr();
    return r.Zeros(family, "address of a next hop without one");
}

bool RouteElement(Reader& r, uint8_t family, UpdateElement* e) {
    const size_t start = r.Pos();
    uint8_t len8 = 0, version = 0, type = 0, plen = 0, marker = 0, list8 = 0;
    uint16_t n = 0;
    r.U8(&len8, "route length");
    r.U8(&version, "route version");
    r.U8(&type, "route type");
    r.U8(&e->op, "route operation");
    r.Zeros(2, "route flags");
    r.U8(&plen, "prefix length");
    e->prefix.addr.size = family;
    r.Bytes(e->prefix.addr.bytes.data(), family, "destination");
    r.U8(&marker, "next-hop list marker");
    r.U8(&list8, "next-hop list length");
    r.Be16(&n, "next-hop count");
    if (!r.Ok())
        return false;
    e->type = type;
    e->prefix.length = plen;
    if (version != kElemVersion)
        return r.Fail("route version " + std::to_string(version));
    if (plen > (family == 4 ? 32 : 128))
        return r.Fail("route prefix length " + std::to_string(plen));
    if (marker != kNextHopListMarker)
        return r.Fail("next-hop list marker " + std::to_string(marker));
    if (e->op != kOpAdd && e->op != kOpDelete)
        return r.Fail(std::string("route operation ") + std::to_string(e->op));
    if (e->op == kOpDelete && n != 0)
        return r.Fail("route delete with next hops");
    const size_t entry = family == 4 ? kNextHopSizeV4 : kNextHopSizeV6;
    const size_t elemLen = (family == 4 ? kRouteFixedV4 : kRouteFixedV6) + entry * n;
    if (len8 != static_cast<uint8_t>(elemLen))
        return r.Fail("route length byte " + std::to_string(len8) + " does not match " +
                      std::to_string(n) + " next hops");
    if (list8 != static_cast<uint8_t>(4 + entry * n))
        return r.Fail("next-hop list length byte " + std::to_string(list8) + " does not match " +
                      std::to_string(n) + " next hops");
    if (r.Left() < entry * n)
        return r.Fail("route with " + std::to_string(n) + " next hops runs past the message");
    e->hops.resize(n);
    for (NextHopSpec& h : e->hops) {
        if (!NextHopEntry(r, family, &h))
            return false;
    }
    return r.Pos() - start == elemLen;
}

// --- bodies of the other elements ---

bool LifIpEntry(Reader& r, LifIp* ip, const char* what) {
    uint8_t plen = 0;
    if (!r.Addr(&ip->ip, false, 0, what) || !r.U8(&plen, what))
        return false;
    if (plen > (ip->ip.size == 4 ? 32 : 128))
        return r.Fail(std::string(what) + " prefix length " + std::to_string(plen));
    ip->prefixLength = plen;
    return true;
}

bool LifBody(Reader& r, uint8_t op, LifSpec* s) {
    if (!r.Text(kNameSize, true, true, &s->name, "LIF name"))
        return false;
    if (op == kOpDelete)
        return true;
    uint8_t ipCount = 0;
    r.U8(&s->lifType, "LIF type");
    r.U8(&s->flags, "LIF flags");
    r.U8(&ipCount, "LIF IP count");
    r.U8(&s->urpfMode, "uRPF mode");
    r.Be32(&s->lifId, "LIF ID");
    r.Be32(&s->mtu, "MTU");
    r.Be32(&s->vni, "VNI");
    r.Be16(&s->vlan, "VLAN");
    r.U8(&s->replicationMode, "replication mode");
    r.U8(&s->linkType, "link type");
    r.Flag(&s->linkedRouter, "linked-router flag");
    r.Be32(&s->linkedVdrId, "linked router");
    r.Bytes(s->mac.data(), kMacSize, "MAC");
    r.Text(kUuidTextSize, false, false, &s->dvsUuid, "DVS UUID");
    r.Text(kUuidTextSize, false, false, &s->lsUuid, "logical switch UUID");
    r.Addr(&s->mcastIp, true, 4, "VXLAN multicast address");
    if (!r.Ok())
        return false;
    if (s->lifType < kLifDownlink || s->lifType > kLifLoopback)
        return r.Fail("LIF type " + std::to_string(s->lifType));
    while (r.Ok() && r.Left() > 0) {
        uint16_t type = 0, len = 0;
        if (!r.Be16(&type, "LIF element type") || !r.Be16(&len, "LIF element length"))
            return false;
        if (len < kDpTlvHeaderSize || len - kDpTlvHeaderSize > r.Left())
            return r.Fail("LIF element of length " + std::to_string(len) + " does not fit");
        const size_t valueSize = len - kDpTlvHeaderSize;
        const size_t end = r.Pos() + valueSize;
        auto sized = [&](size_t expected) {
            return valueSize == expected || r.Fail("LIF element " + std::to_string(type) + " of " +
                                                   std::to_string(valueSize) + " bytes");
        };
        switch (type) {
            case kLifIp:
                if (sized(kLifIpSize))
                    LifIpEntry(r, &s->ips.emplace_back(), "LIF address");
                break;
            case kLifRaRoute:
                if (sized(kLifIpSize))
                    LifIpEntry(r, &s->raRoutes.emplace_back(), "RA route");
                break;
            case kLifDhcpRelay:
                if (sized(kAddrEntrySize))
                    r.Addr(&s->dhcpRelays.emplace_back(), false, 0, "DHCP relay server");
                break;
            case kLifRaDnsServer:
                if (sized(kAddrEntrySize))
                    r.Addr(&s->raDnsServers.emplace_back(), false, 0, "RA DNS server");
                break;
            case kLifRaSettings:
                if (s->ra.present)
                    return r.Fail("two RA settings elements");
                if (sized(kRaSettingsSize)) {
                    s->ra.present = true;
                    r.U8(&s->ra.managed, "RA managed flag");
                    r.U8(&s->ra.otherConfig, "RA other-config flag");
                    r.Be32(&s->ra.validLifetime, "RA valid lifetime");
                    r.Be32(&s->ra.preferredLifetime, "RA preferred lifetime");
                }
                break;
            case kLifRaDomain:
                if (valueSize == 0 || valueSize > kMaxDomainSize)
                    return r.Fail("RA domain name of " + std::to_string(valueSize) + " bytes");
                r.Text(valueSize, false, true, &s->raDomains.emplace_back(), "RA domain name");
                break;
            case kLifPrefixListNh:
                if (sized(kPrefixListNhSize)) {
                    PrefixListNextHop& p = s->prefixLists.emplace_back();
                    r.Be32(&p.index, "prefix-list index");
                    r.Addr(&p.nextHop, true, 0, "prefix-list next hop");
                }
                break;
            default:
                return r.Fail("LIF element type " + std::to_string(type));
        }
        if (r.Ok() && r.Pos() != end)
            return r.Fail("LIF element " + std::to_string(type) + " not read whole");
    }
    if (r.Ok() && ipCount != s->ips.size())
        return r.Fail("LIF announces " + std::to_string(ipCount) + " addresses but carries " +
                      std::to_string(s->ips.size()));
    return r.Ok();
}

bool NextHopUpdateBody(Reader& r, UpdateElement* e) {
    uint8_t plen = 0;
    uint16_t added = 0, deleted = 0;
    if (!r.U8(&plen, "prefix length") || !r.Prefix(&e->prefix, plen, "next-hop update prefix") ||
        !r.Be16(&added, "added count") || !r.Be16(&deleted, "deleted count"))
        return false;
    const uint8_t family = e->prefix.addr.size;
    const size_t entry = family == 4 ? kNextHopSizeV4 : kNextHopSizeV6;
    if (r.Left() != entry * (size_t{added} + deleted))
        return r.Fail("next-hop update counts do not match its length");
    e->hops.resize(added);
    e->deletedHops.resize(deleted);
    for (NextHopSpec& h : e->hops) {
        if (!NextHopEntry(r, family, &h))
            return false;
    }
    for (NextHopSpec& h : e->deletedHops) {
        if (!NextHopEntry(r, family, &h))
            return false;
    }
    return true;
}

bool McastRouteBody(Reader& r, UpdateElement* e) {
    uint8_t plen = 0;
    if (!r.U8(&plen, "group length") || !r.Prefix(&e->prefix, plen, "multicast group"))
        return false;
    if (e->op == kOpDelete)
        return true;
    uint16_t n = 0;
    if (!r.Be16(&n, "multicast next-hop count"))
        return false;
    if (r.Left() != kMcastNextHopSize * n)
        return r.Fail("multicast next-hop count does not match its length");
    e->mcastHops.resize(n);
    for (McastNextHop& h : e->mcastHops) {
        r.Text(kNameSize, true, false, &h.egress, "multicast egress interface");
        r.Addr(&h.ip, true, 0, "multicast next hop");
    }
    return r.Ok();
}

bool PrefixListBody(Reader& r, UpdateElement* e) {
    if (!r.Be32(&e->prefixListIndex, "prefix-list index"))
        return false;
    if (e->op == kOpDelete)
        return true;
    uint16_t n = 0;
    if (!r.Text(kNameSize, true, false, &e->prefixListName, "prefix-list name") ||
        !r.Be16(&n, "prefix-list entry count"))
        return false;
    if (r.Left() != kPrefixEntrySize * n)
        return r.Fail("prefix-list entry count does not match its length");
    e->prefixEntries.resize(n);
    for (PrefixEntrySpec& p : e->prefixEntries) {
        uint8_t plen = 0;
        if (!r.Addr(&p.prefix.addr, false, 0, "prefix-list entry") ||
            !r.U8(&plen, "prefix-list entry length") || !r.U8(&p.ge, "ge") || !r.U8(&p.le, "le") ||
            !r.U8(&p.action, "action"))
            return false;
        p.prefix.length = plen;
        if (plen > (p.prefix.addr.size == 4 ? 32 : 128))
            return r.Fail("prefix-list entry length " + std::to_string(plen));
        if (p.action != kActionPermit && p.action != kActionDeny)
            return r.Fail("prefix-list action " + std::to_string(p.action));
    }
    return true;
}

bool DadEntries(Reader& r, size_t n, std::vector<DadEntry>* out) {
    out->resize(n);
    for (DadEntry& d : *out) {
        if (!r.Addr(&d.ip, false, 0, "DAD address") || !r.U8(&d.status, "DAD status"))
            return false;
        if (d.status < kDadTentative || d.status > kDadDuplicated)
            return r.Fail("DAD status " + std::to_string(d.status));
    }
    return true;
}

// Which operations an element type takes, and whether its delete has a body of its own.
bool OpAllowed(uint8_t type, uint8_t op) {
    switch (type) {
        case kElemNextHopUpdate:
        case kElemGlobal:
        case kElemDadStatus:
            return op == kOpUpdate;
        case kElemArpLimit:
            return op == kOpAdd;
        default:
            return op == kOpAdd || op == kOpDelete;
    }
}

bool OtherElement(Reader& outer, UpdateElement* e) {
    uint8_t len8 = 0, version = 0;
    uint16_t len = 0;
    outer.U8(&len8, "element length");
    outer.U8(&version, "element version");
    outer.U8(&e->type, "element type");
    outer.U8(&e->op, "element operation");
    outer.Be16(&len, "element length");
    if (!outer.Ok())
        return false;
    const std::string name = ElemTypeName(e->type);
    if (version != kElemVersion)
        return outer.Fail(name + " element version " + std::to_string(version));
    if (len < kElemBodyOffset || len - kElemBodyOffset > outer.Left())
        return outer.Fail(name + " element of length " + std::to_string(len) + " does not fit");
    if (len8 != static_cast<uint8_t>(len))
        return outer.Fail(name + " element length byte does not match its length");
    if (!OpAllowed(e->type, e->op))
        return outer.Fail(name + " element with operation " + std::to_string(e->op));
    const size_t body = len - kElemBodyOffset;
    std::string why;
    Reader r(outer.Here(), body, &why);
    const bool del = e->op == kOpDelete;
    switch (e->type) {
        case kElemInstance:
            if (del)
                break;
            r.Text(kNameSize, true, false, &e->instance.name, "router name");
            r.U8(&e->instance.routerType, "router type");
            r.U8(&e->instance.dadMode, "DAD mode");
            r.Be32(&e->instance.dadWaitTime, "DAD wait time");
            r.Be32(&e->instance.dadMaxRetries, "DAD retries");
            r.U8(&e->instance.raMode, "RA mode");
            r.U8(&e->instance.raHopLimit, "RA hop limit");
            r.Be32(&e->instance.raInterval, "RA interval");
            r.Be32(&e->instance.routerLifetime, "router lifetime");
            break;
        case kElemLif:
            LifBody(r, e->op, &e->lif);
            break;
        case kElemNextHopUpdate:
            NextHopUpdateBody(r, e);
            break;
        case kElemMcastConfig:
            if (del)
                break;
            r.Flag(&e->mcastConfig.enabled, "multicast enabled flag");
            r.U8(&e->mcastConfig.igmpVersion, "IGMP version");
            {
                uint8_t plen = 0;
                if (r.U8(&plen, "replication range length")) {
                    r.Addr(&e->mcastConfig.replicationRange.addr, true, 0, "replication range");
                    e->mcastConfig.replicationRange.length = plen;
                }
            }
            break;
        case kElemMcastRoute:
            McastRouteBody(r, e);
            break;
        case kElemArpLimit:
            r.Be32(&e->arpLimit, "ARP limit");
            r.Flag(&e->arpOverridden, "ARP limit overridden flag");
            break;
        case kElemPrefixList:
            PrefixListBody(r, e);
            break;
        case kElemGlobal:
            r.U8(&e->global.forwardingMode, "L3 forwarding mode");
            r.U8(&e->global.ecmpMode, "ECMP mode");
            r.Be32(&e->global.lrpMtu, "LRP MTU");
            r.Bytes(e->global.vdrMac.data(), kMacSize, "VDR MAC");
            if (r.Ok() && e->global.forwardingMode != kForwardIpv4 &&
                e->global.forwardingMode != kForwardIpv4Ipv6)
                r.Fail("L3 forwarding mode " + std::to_string(e->global.forwardingMode));
            break;
        case kElemBridgeEndpoint: {
            BridgeEndpointSpec& b = e->bridge;
            r.Text(kNameSize, true, true, &b.name, "bridge endpoint name");
            if (del)
                break;
            r.Text(kUuidTextSize, false, false, &b.lsUuid, "logical switch UUID");
            r.Text(kUuidTextSize, false, false, &b.clusterUuid, "bridge cluster UUID");
            r.Text(kUuidTextSize, false, false, &b.dvsUuid, "DVS UUID");
            r.Be32(&b.endpointId, "endpoint ID");
            r.Be16(&b.vlan, "endpoint VLAN");
            r.U8(&b.vniType, "VNI type");
            r.Be32(&b.vni, "VNI");
            r.Flag(&b.guestVlan, "guest-VLAN flag");
            r.Flag(&b.ha, "HA flag");
            break;
        }
        case kElemDadStatus: {
            uint16_t n = 0;
            r.Text(kNameSize, true, true, &e->dadLif, "DAD LIF name");
            r.Text(kUuidTextSize, false, false, &e->dadVersion, "DAD version");
            if (r.Be16(&n, "DAD entry count")) {
                if (r.Left() != kDadEntrySize * n)
                    r.Fail("DAD entry count does not match its length");
                else
                    DadEntries(r, n, &e->dadEntries);
            }
            break;
        }
        default:
            return outer.Fail("element type " + std::to_string(e->type));
    }
    if (r.Ok() && r.Left() != 0)
        r.Fail(name + " element has " + std::to_string(r.Left()) + " bytes after its body");
    if (!r.Ok())
        return outer.Fail(name + ": " + why);
    return outer.Skip(body, "element");
}

}  // namespace

ParseResult ParseDataplaneMsg(const uint8_t* msg, size_t size, DataplaneMsg* out,
                              std::string* why) {
    if (!CheckHeader(msg, size, kMsgDataplane, 0, why))
        return ParseResult::kNotDataplane;
    if (size < kDataplaneHeaderSize) {
        if (why != nullptr)
            *why = std::to_string(size) + " bytes, shorter than the sub type header";
        return ParseResult::kShort;
    }
    *out = DataplaneMsg();
    out->subType = LoadBe32(msg + kSubTypeOffset);
    Reader r(msg + kSubTypeOffset + 4, kDataplaneHeaderSize - kSubTypeOffset - 4, why);
    if (!r.Zeros(r.Left(), "reserved header bytes"))
        return ParseResult::kMalformed;
    switch (out->subType) {
        case kSubFullSyncRequest: {
            if (size < kFsrMinSize) {
                if (why != nullptr)
                    *why = "full sync request of " + std::to_string(size) + " bytes, at least " +
                           std::to_string(kFsrMinSize) + " needed";
                return ParseResult::kShort;
            }
            out->fullSync.vdrId = LoadBe32(msg + kFsrVdrIdOffset);
            out->fullSync.scope = msg[kFsrScopeOffset];
            if (out->fullSync.scope != kScopeAll && out->fullSync.scope != kScopeVdr) {
                r.Fail("full sync request scope " + std::to_string(out->fullSync.scope));
                return ParseResult::kMalformed;
            }
            return ParseResult::kOk;
        }
        case kSubDadReport: {
            if (size < kDadReportFixedSize) {
                if (why != nullptr)
                    *why = "DAD report of " + std::to_string(size) + " bytes, at least " +
                           std::to_string(kDadReportFixedSize) + " needed";
                return ParseResult::kShort;
            }
            DadReport& d = out->dad;
            uint16_t n = 0;
            Reader body(msg + kDadVdrIdOffset, size - kDadVdrIdOffset, why);
            body.Be32(&d.vdrId, "VDR ID");
            body.Text(kNameSize, true, true, &d.lifName, "LIF name");
            body.Text(kUuidTextSize, false, false, &d.versionText, "version");
            body.Text(kUuidTextSize, false, false, &d.lsText, "logical switch UUID");
            body.Be16(&n, "entry count");
            if (body.Ok() && body.Left() != kDadEntrySize * n)
                body.Fail("DAD report of " + std::to_string(size) + " bytes with " +
                          std::to_string(n) + " entries");
            if (body.Ok())
                DadEntries(body, n, &d.entries);
            return body.Ok() ? ParseResult::kOk : ParseResult::kMalformed;
        }
        default:
            if (why != nullptr)
                *why = "sub type " + std::to_string(out->subType);
            return ParseResult::kUnknownSubType;
    }
}

bool ParseUpdate(const uint8_t* msg, size_t size, UpdateMsg* out, std::string* why) {
    if (!CheckHeader(msg, size, kMsgUpdate, kUpdateHeaderSize, why))
        return false;
    *out = UpdateMsg();
    out->vdrId = LoadBe32(msg + kUpdateVdrIdOffset);
    const uint32_t count = LoadBe32(msg + kUpdateCountOffset);
    Reader r(msg + kUpdateHeaderSize, size - kUpdateHeaderSize, why);
    if (count == 0)
        return r.Fail("Update without elements");
    // Each element takes at least 6 bytes: a count beyond that is not believed.
    if (count > r.Left() / kElemBodyOffset)
        return r.Fail("Update announces " + std::to_string(count) + " elements in " +
                      std::to_string(size) + " bytes");
    out->elements.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!r.Need(kElemHeadSize, "element head"))
            return false;
        UpdateElement& e = out->elements.emplace_back();
        const uint8_t type = r.Here()[2];
        bool ok = type == kElemRouteV4   ? RouteElement(r, 4, &e)
                  : type == kElemRouteV6 ? RouteElement(r, 16, &e)
                                         : OtherElement(r, &e);
        if (!ok)
            return r.Fail("element " + std::to_string(i + 1) + " is malformed");
    }
    if (r.Left() != 0)
        return r.Fail(std::to_string(r.Left()) + " bytes after the last element");
    return true;
}

bool ParseArpTableUpdate(const uint8_t* msg, size_t size, ArpTableMsg* out, std::string* why) {
    if (!CheckHeader(msg, size, kMsgArpTableUpdate, kArpHeaderSize, why))
        return false;
    *out = ArpTableMsg();
    Reader r(msg + kArpVdrIdOffset, size - kArpVdrIdOffset, why);
    uint16_t removed = 0, added = 0;
    r.Be32(&out->vdrId, "VDR ID");
    r.Text(kArpUuidFieldSize, true, true, &out->tableUuid, "ARP table UUID");
    r.Be16(&removed, "removed count");
    r.Be16(&added, "added count");
    if (!r.Ok())
        return false;
    if ((removed == 0) == (added == 0))
        return r.Fail("ARP table update with " + std::to_string(removed) + " removed and " +
                      std::to_string(added) + " added entries");
    const size_t n = removed + added;
    if (r.Left() != kArpEntrySize * n)
        return r.Fail("ARP table update of " + std::to_string(size) + " bytes with " +
                      std::to_string(n) + " entries");
    out->add = added != 0;
    out->entries.resize(n);
    for (ArpEntrySpec& a : out->entries) {
        if (!r.Addr(&a.ip, false, 0, "ARP address") || !r.Bytes(a.mac.data(), kMacSize, "MAC"))
            return false;
    }
    return true;
}

bool IsFullSyncEnd(const uint8_t* msg, size_t size) {
    return size == kDpMsgHeaderSize && DpMsgType(msg) == kMsgFullSyncEnd &&
           DpMsgLength(msg) == kDpMsgHeaderSize;
}

std::string MacText(const uint8_t* mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
}

// --- names ---

const char* ElemTypeName(uint8_t type) {
    switch (type) {
        case kElemInstance:
            return "instance";
        case kElemRouteV4:
            return "route_v4";
        case kElemRouteV6:
            return "route_v6";
        case kElemLif:
            return "lif";
        case kElemNextHopUpdate:
            return "next_hop_update";
        case kElemMcastConfig:
            return "mcast_config";
        case kElemMcastRoute:
            return "mcast_route";
        case kElemArpLimit:
            return "arp_limit";
        case kElemPrefixList:
            return "prefix_list";
        case kElemGlobal:
            return "global";
        case kElemBridgeEndpoint:
            return "bridge_endpoint";
        case kElemDadStatus:
            return "dad_status";
        default:
            return "unknown";
    }
}

const char* ElemOpName(uint8_t op) {
    switch (op) {
        case kOpAdd:
            return "add";
        case kOpDelete:
            return "delete";
        case kOpUpdate:
            return "update";
        default:
            return "unknown";
    }
}

const char* DadStatusName(uint8_t status) {
    switch (status) {
        case kDadTentative:
            return "TENTATIVE";
        case kDadAssigned:
            return "ASSIGNED";
        case kDadDuplicated:
            return "DUPLICATED";
        default:
            return "unknown";
    }
}

}  // namespace CfgAgent::vdr
