#include "tools/ozy-dpemu/TarpConfigParser.h"

#include "platform/tarp/TarpWire.h"
#include "tools/ozy-dpemu/TarpReader.h"

namespace ozy::dpemu::tarp {

namespace w = ozy::tarp;

namespace {

constexpr size_t kMaxListEntries = 4u * 1024u * 1024u;

struct Fail {
    std::string* why;
    bool operator()(const std::string& text) const {
        if (why != nullptr)
            *why = text;
        return false;
    }
};

bool ReadName(Reader& r, size_t max, const char* what, std::string* out, const Fail& fail) {
    uint16_t n = r.U16();
    if (!r.Ok())
        return fail(std::string("truncated ") + what + " name");
    if (n == 0)
        return fail(std::string("empty ") + what + " name");
    if (n > max)
        return fail(std::string(what) + " name of " + std::to_string(n) + " bytes, at most " +
                    std::to_string(max));
    const uint8_t* b = r.Bytes(n);
    if (b == nullptr)
        return fail(std::string("truncated ") + what + " name");
    out->assign(reinterpret_cast<const char*>(b), n);
    return true;
}

bool ReadAddress(Reader& r, Address* a, const Fail& fail) {
    a->kind = r.U8();
    a->prefix = r.U8();
    const uint8_t* b = r.Bytes(16);
    if (b == nullptr)
        return fail("truncated address");
    std::copy(b, b + 16, a->bytes.begin());
    switch (a->kind) {
        case w::kAddrIPv4:
            if (a->prefix > 32)
                return fail("IPv4 prefix " + std::to_string(a->prefix) + " over 32");
            for (int i = 4; i < 16; ++i) {
                if (a->bytes[i] != 0)
                    return fail("IPv4 address with bytes past its fourth");
            }
            return true;
        case w::kAddrIPv6:
            if (a->prefix > 128)
                return fail("IPv6 prefix " + std::to_string(a->prefix) + " over 128");
            return true;
        case w::kAddrMac:
            if (a->prefix != 0)
                return fail("MAC with a prefix");
            for (int i = 6; i < 16; ++i) {
                if (a->bytes[i] != 0)
                    return fail("MAC address with bytes past its sixth");
            }
            return true;
        default:
            return fail("bad address family " + std::to_string(a->kind));
    }
}

bool ReadAddresses(Reader& r, std::vector<Address>* out, const Fail& fail) {
    uint32_t n = r.U32();
    if (!r.Ok() || n > r.Left() / w::kAddressSize)
        return fail("address count past the end");
    out->resize(n);
    for (auto& a : *out) {
        if (!ReadAddress(r, &a, fail))
            return false;
    }
    return true;
}

bool ReadPorts(Reader& v, PortList* p, const Fail& fail) {
    uint8_t negate = v.U8();
    uint16_t n = v.U16();
    if (!v.Ok() || negate > 1 || v.Left() != size_t(n) * 4)
        return fail("bad port list");
    if (n == 0)
        return fail("empty port list");
    p->negate = negate == 1;
    for (uint16_t i = 0; i < n; ++i) {
        uint16_t a = v.U16(), b = v.U16();
        if (a > b)
            return fail("port range start " + std::to_string(a) + " above its end " +
                        std::to_string(b));
        p->ranges.emplace_back(a, b);
    }
    return true;
}

bool KnownAction(uint8_t a) {
    switch (a) {
        case w::kActionDrop:
        case w::kActionAllow:
        case w::kActionReject:
        case w::kActionRedirect:
        case w::kActionDoNotRedirect:
        case w::kActionCopy:
        case w::kActionNat:
        case w::kActionDetect:
        case w::kActionDetectPrevent:
        case w::kActionPrevent:
            return true;
        default:
            return false;
    }
}

// One part's elements, all of `r`.
bool ParsePart(Reader& r, bool first, RulePart* p, std::set<std::string>* names, const Fail& fail) {
    std::set<uint8_t> seen;
    std::set<std::pair<uint8_t, uint8_t>> sidesSeen;  // (tag, side)
    while (!r.AtEnd()) {
        uint8_t tag = r.U8();
        uint16_t size = r.U16();
        if (!r.Ok() || size > r.Left())
            return fail("rule element past the end of its part");
        Reader v = r.Sub(size);
        bool repeatable = tag == w::kTagIcmp || tag == w::kTagAddrContainer ||
                          tag == w::kTagAddrDirect || tag == w::kTagAddrNegate;
        if (!repeatable && !seen.insert(tag).second)
            return fail("rule element " + std::to_string(tag) + " repeated");
        auto exact = [&](size_t n) { return size == n; };
        auto side = [&](uint8_t s) -> SideRef* {
            if (s < w::kSideSource || s > w::kSideExtSourceIp)
                return nullptr;
            return &p->sides[s - 1];
        };
        switch (tag) {
            case w::kTagId:
                if (!exact(4))
                    return fail("bad rule id element");
                p->id = v.U32();
                break;
            case w::kTagLayer:
                p->layer = v.U8();
                if (!exact(1) || (p->layer != 2 && p->layer != 3))
                    return fail("bad rule layer");
                break;
            case w::kTagDirection:
                p->hasDirection = true;
                p->direction = v.U8();
                if (!exact(1) || p->direction > 2)
                    return fail("bad rule direction");
                break;
            case w::kTagAction:
                p->action = v.U8();
                p->actionText = v.Str(w::kMaxTextField);
                if (!v.AtEnd() || !KnownAction(p->action))
                    return fail("bad rule action " + std::to_string(p->action));
                break;
            case w::kTagNat:
                p->nat = true;
                for (auto& f : p->natFields)
                    f = v.U16();
                p->natAddress = v.Str(w::kMaxTextField);
                if (!v.AtEnd())
                    return fail("bad NAT element");
                break;
            case w::kTagType:
                if (!exact(1))
                    return fail("bad rule type element");
                p->hasType = true;
                p->type = v.U8();
                break;
            case w::kTagInetFamily:
                p->family = v.U8();
                if (!exact(1) || (p->family != 4 && p->family != 6))
                    return fail("bad rule family");
                break;
            case w::kTagProtocol: {
                if (!exact(3))
                    return fail("bad protocol element");
                p->hasProtocol = true;
                p->protocol = v.U16();
                uint8_t neg = v.U8();
                if (neg > 1)
                    return fail("bad protocol negation");
                p->protocolNegate = neg == 1;
                break;
            }
            case w::kTagIcmp: {
                if (!exact(3))
                    return fail("bad ICMP element");
                IcmpMatch m;
                m.type = v.U8();
                uint8_t has = v.U8();
                m.code = v.U8();
                if (has > 1)
                    return fail("bad ICMP element");
                m.hasCode = has == 1;
                p->icmp.push_back(m);
                break;
            }
            case w::kTagTcpFlags:
                if (!exact(2))
                    return fail("bad TCP flags element");
                p->hasTcpFlags = true;
                p->tcpFlags = v.U8();
                p->tcpMask = v.U8();
                break;
            case w::kTagSourcePorts:
                if (!ReadPorts(v, &p->sourcePorts, fail))
                    return false;
                break;
            case w::kTagDestPorts:
                if (!ReadPorts(v, &p->destPorts, fail))
                    return false;
                break;
            case w::kTagAlg:
            case w::kTagOversub:
            case w::kTagCategory:
            case w::kTagBucket: {
                if (!exact(4))
                    return fail("bad element " + std::to_string(tag));
                uint32_t x = v.U32();
                if (tag == w::kTagAlg) {
                    p->hasAlg = true;
                    p->alg = x;
                } else if (tag == w::kTagOversub) {
                    p->hasOversub = true;
                    p->oversub = x;
                } else if (tag == w::kTagCategory) {
                    p->hasCategory = true;
                    p->category = x;
                } else {
                    p->hasBucket = true;
                    p->bucket = x;
                }
                break;
            }
            case w::kTagIdsProfile:
            case w::kTagTag: {
                std::string s = v.Str(w::kMaxTextField);
                if (!v.AtEnd())
                    return fail("bad text element " + std::to_string(tag));
                (tag == w::kTagTag ? p->tag : p->idsProfile) = s;
                break;
            }
            case w::kTagFlags:
                if (!exact(1))
                    return fail("bad flags element");
                p->flags = v.U8();
                break;
            case w::kTagAddrContainer: {
                uint8_t s = v.U8();
                uint8_t mal = v.U8();
                SideRef* ref = side(s);
                if (ref == nullptr || mal > 1 || !sidesSeen.insert({tag, s}).second)
                    return fail("bad address side " + std::to_string(s));
                if (!ReadName(v, w::kMaxContainerName, "container", &ref->container, fail))
                    return false;
                if (!v.AtEnd())
                    return fail("trailing bytes in a container reference");
                ref->malicious = mal == 1;
                names->insert(ref->container);
                break;
            }
            case w::kTagAddrDirect: {
                uint8_t s = v.U8();
                SideRef* ref = side(s);
                if (ref == nullptr || !sidesSeen.insert({tag, s}).second || !exact(19))
                    return fail("bad address side " + std::to_string(s));
                if (!ReadAddress(v, &ref->address, fail))
                    return false;
                ref->hasAddress = true;
                break;
            }
            case w::kTagAddrNegate: {
                uint8_t s = v.U8();
                SideRef* ref = side(s);
                if (ref == nullptr || !exact(1) || !sidesSeen.insert({tag, s}).second)
                    return fail("bad negated side " + std::to_string(s));
                ref->negate = true;
                break;
            }
            case w::kTagAttrProfile:
            case w::kTagTimeProfile: {
                std::string* out = tag == w::kTagAttrProfile ? &p->attrProfile : &p->timeProfile;
                if (!ReadName(v, w::kMaxContainerName, "profile", out, fail) || !v.AtEnd())
                    return fail("bad profile element");
                names->insert(*out);
                break;
            }
            case w::kTagTcpStrict: {
                uint8_t on = v.U8();
                if (!first || !exact(1) || on > 1)
                    return fail("bad TCP-strict element");
                p->tcpStrict = on == 1;
                break;
            }
            case w::kTagTenant:
                if (!first)
                    return fail("tenant outside the first part");
                p->org = v.Str(w::kMaxTextField);
                p->project = v.Str(w::kMaxTextField);
                p->vpc = v.Str(w::kMaxTextField);
                if (!v.AtEnd())
                    return fail("bad tenant element");
                break;
            default:
                return fail("unknown rule element " + std::to_string(tag));
        }
        if (!v.Ok())
            return fail("truncated rule element " + std::to_string(tag));
    }
    if (!seen.count(w::kTagId) || !seen.count(w::kTagLayer) || !seen.count(w::kTagAction))
        return fail("rule part without id, layer or action");
    if (p->nat != (p->action == w::kActionNat))
        return fail("NAT element and action disagree");
    for (const SideRef& s : p->sides) {
        if (!s.container.empty() && s.hasAddress)
            return fail("rule side with both a container and an address");
        if (s.hasAddress && (s.address.kind == w::kAddrMac) != (p->layer == 2))
            return fail("address family does not suit the rule's layer");
    }
    bool l4 = p->layer == 3 && p->hasProtocol && !p->protocolNegate &&
              (p->protocol == 6 || p->protocol == 17);
    if (!l4 && (!p->sourcePorts.ranges.empty() || !p->destPorts.ranges.empty()))
        return fail("ports on a rule without TCP or UDP");
    return true;
}

bool ParseRule(Reader& r, Rule* rule, std::set<std::string>* names, const Fail& fail) {
    uint16_t parts = r.U16();
    if (!r.Ok() || parts == 0)
        return fail("rule without parts");
    for (uint16_t i = 0; i < parts; ++i) {
        uint32_t size = r.U32();
        if (!r.Ok() || size > r.Left())
            return fail("rule part past the end");
        Reader pr = r.Sub(size);
        RulePart part;
        if (!ParsePart(pr, i == 0, &part, names, fail))
            return false;
        if (i > 0 && (part.id != rule->parts[0].id || part.action != rule->parts[0].action ||
                      part.layer != rule->parts[0].layer))
            return fail("combined part of another rule");
        rule->parts.push_back(std::move(part));
    }
    if (!r.AtEnd())
        return fail("trailing bytes after a rule's parts");
    return true;
}

bool ParseCommand(uint16_t code, Reader& r, ConfigCommand* c, const Fail& fail) {
    c->code = code;
    const uint8_t* start = r.Pos();
    switch (code) {
        case w::kCfgCreateAddrSet: {
            if (!ReadName(r, w::kMaxContainerName, "address set", &c->name, fail))
                return false;
            uint8_t flags = r.U8();
            if ((flags & ~w::kAddrSetIpReputation) != 0)
                return fail("bad address set flags");
            c->addrSet.ipReputation = (flags & w::kAddrSetIpReputation) != 0;
            if (!ReadAddresses(r, &c->addrSet.addresses, fail) ||
                !ReadAddresses(r, &c->addrSet.excluded, fail))
                return false;
            c->addrSet.raw.assign(reinterpret_cast<const char*>(start), r.Pos() - start);
            break;
        }
        case w::kCfgCreateContainer: {
            if (!ReadName(r, w::kMaxContainerName, "container", &c->name, fail))
                return false;
            c->container.type = r.U8();
            if (c->container.type < w::kContainerAddresses ||
                c->container.type > w::kContainerIdentity)
                return fail("bad container type " + std::to_string(c->container.type));
            uint32_t n = r.U32();
            if (!r.Ok() || n > r.Left())
                return fail("element count past the end");
            for (uint32_t i = 0; i < n; ++i) {
                Element e;
                e.kind = r.U8();
                bool fits = false;
                switch (e.kind) {
                    case w::kElemAddrSet:
                        if (!ReadName(r, w::kMaxContainerName, "address set", &e.text, fail))
                            return false;
                        fits = c->container.type == w::kContainerAddresses;
                        break;
                    case w::kElemAddress:
                        if (!ReadAddress(r, &e.address, fail))
                            return false;
                        fits = c->container.type == w::kContainerAddresses;
                        break;
                    case w::kElemAttribute:
                        e.key = r.U16();
                        e.text = r.Str(w::kMaxAttrValue);
                        fits = e.key < w::kAttrKeyCount && !e.text.empty() &&
                               (c->container.type == w::kContainerTime) ==
                                   (e.key >= w::kAttrDayOfWeek) &&
                               (c->container.type == w::kContainerTime ||
                                c->container.type == w::kContainerAttributes);
                        break;
                    case w::kElemIdentity:
                        e.text = r.Str(w::kMaxTextField);
                        fits = c->container.type == w::kContainerIdentity && !e.text.empty();
                        break;
                    default:
                        return fail("bad element kind " + std::to_string(e.kind));
                }
                if (!r.Ok())
                    return fail("truncated container element");
                if (!fits)
                    return fail("element of kind " + std::to_string(e.kind) +
                                " does not belong in container " + c->name);
                c->container.elements.push_back(std::move(e));
            }
            c->container.raw.assign(reinterpret_cast<const char*>(start), r.Pos() - start);
            break;
        }
        case w::kCfgDestroyRuleSet:
            return ReadName(r, w::kMaxRuleSetName, "rule set", &c->name, fail);
        case w::kCfgCreateRuleSet: {
            if (!ReadName(r, w::kMaxRuleSetName, "rule set", &c->name, fail))
                return false;
            uint32_t n = r.U32();
            if (!r.Ok() || n > r.Left() / 8)
                return fail("segment count past the end");
            c->segments.resize(n);
            for (auto& h : c->segments)
                h = r.U64();
            break;
        }
        case w::kCfgSetRootRuleSets: {
            uint8_t n = r.U8();
            if (n > 2)
                return fail("more than two root rule sets");
            c->roots.resize(n);
            for (auto& name : c->roots) {
                if (!ReadName(r, w::kMaxRuleSetName, "rule set", &name, fail))
                    return false;
            }
            break;
        }
        case w::kCfgDestroyAddrSet:
            return ReadName(r, w::kMaxContainerName, "address set", &c->name, fail);
        case w::kCfgCreateIpRepChunk: {
            c->chunkId = r.U32();
            c->chunk.capacity = r.U32();
            c->chunk.bucket = r.U32();
            uint32_t n = r.U32();
            if (!r.Ok() || n > r.Left() / w::kIpRepEntrySize)
                return fail("chunk entries past the end");
            if (c->chunk.capacity == 0)
                return fail("chunk of capacity 0");
            if (n > c->chunk.capacity)
                return fail("chunk with more entries than its capacity");
            c->chunk.hash = w::Hash64(r.Pos(), size_t(n) * w::kIpRepEntrySize, w::kIpRepSeed);
            c->chunk.entries.resize(n);
            for (auto& e : c->chunk.entries) {
                e.address = r.U32();
                e.mask = r.U32();
                e.threat = r.U16();
                e.reputation = r.U16();
                e.bucket = r.U32();
            }
            c->chunk.raw.assign(reinterpret_cast<const char*>(start), r.Pos() - start);
            break;
        }
        case w::kCfgDestroyIpRepChunk:
            c->chunkId = r.U32();
            break;
        default:
            return fail("unknown configuration command " + std::to_string(code));
    }
    return r.Ok() || fail("truncated command " + std::to_string(code));
}

}  // namespace

bool ParseConfig(const uint8_t* data, size_t size, ParsedConfig* out, std::string* why) {
    Fail fail{why};
    Reader r(data, size);
    if (r.U32() != w::kConfigMagic || !r.Ok())
        return fail("not a configuration (bad magic)");
    if (r.U32() != 1)
        return fail("unknown configuration version");
    const uint8_t* field = r.Bytes(w::kFilterNameField);
    if (field == nullptr)
        return fail("truncated configuration header");
    if (!Reader::Terminated(field, w::kFilterNameField))
        return fail("filter name not terminated within its field");
    out->filter = Reader(field, w::kFilterNameField).Fixed(w::kFilterNameField);
    uint32_t count = r.U32();
    if (!r.Ok() || count > r.Left() / w::kCommandHeaderSize || count > kMaxListEntries)
        return fail("command count past the end");
    out->commands.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t code = r.U16();
        uint16_t zero = r.U16();
        uint32_t bodySize = r.U32();
        if (!r.Ok() || zero != 0 || bodySize > r.Left())
            return fail("command " + std::to_string(i) + " past the end");
        Reader body = r.Sub(bodySize);
        ConfigCommand c;
        if (!ParseCommand(code, body, &c, fail))
            return false;
        if (!body.AtEnd())
            return fail("trailing bytes in command " + std::to_string(i));
        out->commands.push_back(std::move(c));
    }
    if (!r.AtEnd())
        return fail("trailing bytes after the commands");
    return true;
}

bool ParseSegment(const uint8_t* data, size_t size, uint64_t hash, Segment* out, std::string* why) {
    Fail fail{why};
    Reader r(data, size);
    if (r.U32() != w::kSegmentMagic || !r.Ok())
        return fail("not a segment (bad magic)");
    uint32_t count = r.U32();
    if (!r.Ok() || count > r.Left() / 4)
        return fail("rule count past the end");
    std::vector<uint8_t> names;
    names.reserve(4 + 8 * size_t(count));
    auto put = [&](uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            names.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(count, 4);
    out->rules.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n = r.U32();
        if (!r.Ok() || n > r.Left())
            return fail("rule " + std::to_string(i) + " past the end");
        const uint8_t* bytes = r.Pos();
        Reader rr = r.Sub(n);
        Rule rule;
        if (!ParseRule(rr, &rule, &out->names, fail))
            return false;
        put(w::Hash64(bytes, n, w::kRuleSeed), 8);
        out->rules.push_back(std::move(rule));
    }
    if (!r.AtEnd())
        return fail("trailing bytes after the rules");
    uint64_t actual = w::Hash64(names.data(), names.size(), w::kSegmentSeed);
    if (actual != hash)
        return fail("segment content does not match its name");
    out->hash = hash;
    out->bytes = size;
    return true;
}

}  // namespace ozy::dpemu::tarp
