#include "tools/ozy-dpemu/TarpEval.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/tarp/TarpWire.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace ozy::dpemu::tarp {

namespace w = ozy::tarp;

namespace {

constexpr int kMaxNesting = 4;

bool ParseU(const std::string& s, unsigned long max, unsigned long* out) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoul(s);
    return *out <= max;
}

bool ParseIp(const std::string& s, Address* a) {
    a->bytes.fill(0);
    if (::inet_pton(AF_INET, s.c_str(), a->bytes.data()) == 1) {
        a->kind = w::kAddrIPv4;
        a->prefix = 32;
        return true;
    }
    if (::inet_pton(AF_INET6, s.c_str(), a->bytes.data()) == 1) {
        a->kind = w::kAddrIPv6;
        a->prefix = 128;
        return true;
    }
    return false;
}

// "ADDR", "ADDR:PORT" (IPv4) or "[ADDR]:PORT" (IPv6).
bool ParseEndpoint(const std::string& s, Address* a, bool* hasPort, uint16_t* port) {
    std::string host = s, p;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos || close + 2 > s.size() || s[close + 1] != ':')
            return false;
        host = s.substr(1, close - 1);
        p = s.substr(close + 2);
    } else if (std::count(s.begin(), s.end(), ':') == 1) {
        host = s.substr(0, s.find(':'));
        p = s.substr(s.find(':') + 1);
    }
    if (!ParseIp(host, a))
        return false;
    *hasPort = !p.empty();
    unsigned long v = 0;
    if (*hasPort && !ParseU(p, 65535, &v))
        return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

bool ParseMac(const std::string& s, std::array<uint8_t, 6>* mac) {
    unsigned m[6];
    char tail;
    if (s.size() != 17 || std::sscanf(s.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &m[0], &m[1], &m[2],
                                      &m[3], &m[4], &m[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        (*mac)[i] = static_cast<uint8_t>(m[i]);
    return true;
}

bool ParseTime(const std::string& s, time_t* out) {
    struct tm tm {};
    int y, mo, d, h, mi, sec = 0;
    char z = 0;
    int n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &z);
    if (n < 6) {
        sec = 0;
        z = 0;
        n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d%c", &y, &mo, &d, &h, &mi, &z);
        if (n < 5)
            return false;
    }
    if ((z != 0 && z != 'Z') || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 60)
        return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    *out = ::timegm(&tm);
    return true;
}

bool InPrefix(const Address& a, const Address& net) {
    if (a.kind != net.kind)
        return false;
    if (net.kind == w::kAddrMac)
        return std::memcmp(a.bytes.data(), net.bytes.data(), 6) == 0;
    int bits = net.prefix;
    for (int i = 0; bits > 0; ++i, bits -= 8) {
        uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
        if ((a.bytes[i] & mask) != (net.bytes[i] & mask))
            return false;
    }
    return true;
}

uint32_t V4(const Address& a) {
    return (uint32_t(a.bytes[0]) << 24) | (uint32_t(a.bytes[1]) << 16) |
           (uint32_t(a.bytes[2]) << 8) | a.bytes[3];
}

class Matcher {
  public:
    Matcher(const TarpState& s, const Filter& f, const Packet& p) : s_(s), f_(f), p_(p) {}

    bool Part(const RulePart& r) const {
        part_ = &r;
        bool l2 = r.layer == 2;
        if (r.hasDirection && r.direction != 0 && (r.direction == 1) != p_.inbound)
            return false;
        if (!l2 && r.family != 0 && r.family != p_.src.kind)
            return false;
        if (r.hasProtocol) {
            bool have = l2 ? p_.hasEthertype : p_.hasProtocol;
            uint16_t proto = l2 ? p_.ethertype : p_.protocol;
            if (!have || ((proto == r.protocol) == r.protocolNegate))
                return false;
        }
        if (!r.icmp.empty()) {
            if (!p_.hasIcmp)
                return false;
            bool any = false;
            for (const IcmpMatch& m : r.icmp)
                any = any || (m.type == p_.icmpType && (!m.hasCode || m.code == p_.icmpCode));
            if (!any)
                return false;
        }
        if (r.hasTcpFlags &&
            (!p_.hasTcpFlags || (p_.tcpFlags & r.tcpMask) != (r.tcpFlags & r.tcpMask)))
            return false;
        if (!Ports(r.sourcePorts, p_.hasSrcPort, p_.srcPort) ||
            !Ports(r.destPorts, p_.hasDstPort, p_.dstPort))
            return false;
        Address src = p_.src, dst = p_.dst;
        if (l2) {
            if ((r.sides[0].Present() && !p_.hasSmac) || (r.sides[1].Present() && !p_.hasDmac))
                return false;
            src = Mac(p_.smac);
            dst = Mac(p_.dmac);
        }
        const SideRef* side = r.sides;
        if (side[0].Present() && Member(src, side[0]) == side[0].negate)
            return false;
        if (side[1].Present() && Member(dst, side[1]) == side[1].negate)
            return false;
        if (side[2].Present() && Member(src, side[2]) != side[2].negate)
            return false;
        if (side[3].Present() && Member(dst, side[3]) != side[3].negate)
            return false;
        if (side[4].Present() && Identity(side[4]) == side[4].negate)
            return false;
        if (side[5].Present() && Member(src, side[5]) == side[5].negate)
            return false;
        if (!r.attrProfile.empty() && !Attributes(r.attrProfile))
            return false;
        if (!r.timeProfile.empty() && !Time(r.timeProfile))
            return false;
        return true;
    }

  private:
    static Address Mac(const std::array<uint8_t, 6>& m) {
        Address a;
        a.kind = w::kAddrMac;
        std::copy(m.begin(), m.end(), a.bytes.begin());
        return a;
    }

    static bool Ports(const PortList& l, bool has, uint16_t port) {
        if (l.ranges.empty())
            return true;
        if (!has)
            return false;
        bool in = false;
        for (const auto& r : l.ranges)
            in = in || (port >= r.first && port <= r.second);
        return in != l.negate;
    }

    // An IPv4 address listed by an entry of any IP-reputation chunk (address within the entry's
    // mask), of the rule's bucket when the rule carries one.
    bool Reputed(const Address& a) const {
        if (a.kind != w::kAddrIPv4)
            return false;
        const uint32_t v = V4(a);
        for (const auto& [id, chunk] : s_.Chunks()) {
            for (const IpRepEntry& e : chunk.entries) {
                if ((v & e.mask) == (e.address & e.mask) &&
                    (part_ == nullptr || !part_->hasBucket || part_->bucket == e.bucket))
                    return true;
            }
        }
        return false;
    }

    bool InSet(const Address& a, const AddrSet& set, bool malicious) const {
        bool in = false;
        for (const Address& n : set.addresses)
            in = in || InPrefix(a, n);
        if (!in && (set.ipReputation || malicious))
            in = Reputed(a);
        for (const Address& n : set.excluded) {
            if (InPrefix(a, n))
                return false;
        }
        return in;
    }

    bool Named(const Address& a, const std::string& name, int depth, bool malicious) const {
        if (depth > kMaxNesting)
            return false;
        Resolved r = s_.Lookup(f_, name);
        if (r.addrSet != nullptr && InSet(a, *r.addrSet, malicious))
            return true;
        if (r.container == nullptr || r.container->type != w::kContainerAddresses)
            return false;
        for (const Element& e : r.container->elements) {
            if (e.kind == w::kElemAddress && InPrefix(a, e.address))
                return true;
            if (e.kind == w::kElemAddrSet && Named(a, e.text, depth + 1, false))
                return true;
        }
        return false;
    }

    bool Member(const Address& a, const SideRef& side) const {
        if (side.hasAddress)
            return InPrefix(a, side.address);
        return Named(a, side.container, 0, side.malicious);
    }

    bool Identity(const SideRef& side) const {
        Resolved r = s_.Lookup(f_, side.container);
        if (r.container == nullptr || r.container->type != w::kContainerIdentity)
            return false;
        for (const auto& [k, v] : p_.attrs) {
            if (strcasecmp(k.c_str(), "IDENTITY") != 0)
                continue;
            for (const Element& e : r.container->elements) {
                if (e.text == v)
                    return true;
            }
        }
        return false;
    }

    bool Attributes(const std::string& name) const {
        Resolved r = s_.Lookup(f_, name);
        if (r.container == nullptr || r.container->type != w::kContainerAttributes)
            return false;
        std::map<uint16_t, bool> keys;
        for (const Element& e : r.container->elements) {
            bool& ok = keys[e.key];
            for (const auto& [k, v] : p_.attrs) {
                if (strcasecmp(k.c_str(), w::kAttrKeyNames[e.key]) == 0 &&
                    strcasecmp(v.c_str(), e.text.c_str()) == 0)
                    ok = true;
            }
        }
        for (const auto& [k, ok] : keys) {
            if (!ok)
                return false;
        }
        return !keys.empty();
    }

    bool Time(const std::string& name) const {
        Resolved r = s_.Lookup(f_, name);
        if (!p_.hasTime || r.container == nullptr || r.container->type != w::kContainerTime)
            return false;
        bool local = false;
        for (const Element& e : r.container->elements) {
            if (e.key == w::kAttrTimeZone)
                local = e.text == "LOCAL";
        }
        struct tm now {};
        if (local)
            ::localtime_r(&p_.time, &now);
        else
            ::gmtime_r(&p_.time, &now);
        static const char* kDays[7] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                       "THURSDAY", "FRIDAY", "SATURDAY"};
        bool hasDay = false, dayOk = false, hasTod = false, todOk = false;
        int minute = now.tm_hour * 60 + now.tm_min;
        for (const Element& e : r.container->elements) {
            switch (e.key) {
                case w::kAttrDayOfWeek:
                    hasDay = true;
                    dayOk = dayOk || e.text == kDays[now.tm_wday];
                    break;
                case w::kAttrStartTime:
                case w::kAttrEndTime: {
                    struct tm t {};
                    if (std::sscanf(e.text.c_str(), "%2d/%2d/%4d,%2d:%2d", &t.tm_mon, &t.tm_mday,
                                    &t.tm_year, &t.tm_hour, &t.tm_min) != 5)
                        return false;
                    t.tm_mon -= 1;
                    t.tm_year -= 1900;
                    t.tm_isdst = -1;
                    time_t edge = local ? ::mktime(&t) : ::timegm(&t);
                    if (e.key == w::kAttrStartTime ? p_.time < edge : p_.time > edge + 59)
                        return false;
                    break;
                }
                case w::kAttrTimeOfDay: {
                    int h1, m1, h2, m2;
                    if (std::sscanf(e.text.c_str(), "%2d:%2d,%2d:%2d", &h1, &m1, &h2, &m2) != 4)
                        return false;
                    int a = h1 * 60 + m1, b = h2 * 60 + m2;
                    hasTod = true;
                    todOk =
                        todOk || (a <= b ? minute >= a && minute <= b : minute >= a || minute <= b);
                    break;
                }
                default:
                    break;
            }
        }
        return (!hasDay || dayOk) && (!hasTod || todOk);
    }

    // The part being matched (its bucket selects the chunk entries).
    mutable const RulePart* part_ = nullptr;
    const TarpState& s_;
    const Filter& f_;
    const Packet& p_;
};

}  // namespace

const char* ActionName(uint8_t action) {
    switch (action) {
        case w::kActionDrop:
            return "drop";
        case w::kActionAllow:
            return "allow";
        case w::kActionReject:
            return "reject";
        case w::kActionRedirect:
            return "redirect";
        case w::kActionDoNotRedirect:
            return "do_not_redirect";
        case w::kActionCopy:
            return "copy";
        case w::kActionNat:
            return "nat";
        case w::kActionDetect:
            return "detect";
        case w::kActionDetectPrevent:
            return "detect_prevent";
        case w::kActionPrevent:
            return "prevent";
        default:
            return "unknown";
    }
}

const char* VerdictOf(uint8_t action) {
    switch (action) {
        case w::kActionDrop:
            return "DROP";
        case w::kActionReject:
            return "REJECT";
        case w::kActionRedirect:
        case w::kActionCopy:
            return "REDIRECT";
        default:
            return "ALLOW";
    }
}

bool ParsePacket(const std::vector<std::string>& args, Packet* p, std::string* why) {
    auto fail = [&](const std::string& t) {
        *why = t;
        return false;
    };
    if (args.size() < 4)
        return fail("usage: in|out PROTO SRC[:PORT] DST[:PORT] [options]");
    if (args[0] != "in" && args[0] != "out")
        return fail("direction must be in or out");
    p->inbound = args[0] == "in";
    const std::string& proto = args[1];
    unsigned long v = 0;
    if (proto == "tcp" || proto == "udp" || proto == "icmp" || proto == "icmpv6") {
        p->hasProtocol = true;
        p->protocol = proto == "tcp" ? 6 : proto == "udp" ? 17 : proto == "icmp" ? 1 : 58;
    } else if (proto != "any") {
        if (!ParseU(proto, 255, &v))
            return fail("bad protocol " + proto);
        p->hasProtocol = true;
        p->protocol = static_cast<uint16_t>(v);
    }
    if (!ParseEndpoint(args[2], &p->src, &p->hasSrcPort, &p->srcPort))
        return fail("bad source " + args[2]);
    if (!ParseEndpoint(args[3], &p->dst, &p->hasDstPort, &p->dstPort))
        return fail("bad destination " + args[3]);
    if (p->src.kind != p->dst.kind)
        return fail("source and destination of different families");
    for (size_t i = 4; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* key) -> const char* {
            size_t n = std::strlen(key);
            return a.compare(0, n, key) == 0 ? a.c_str() + n : nullptr;
        };
        if (a == "icmp") {
            unsigned long t, c;
            if (i + 2 >= args.size() || !ParseU(args[i + 1], 255, &t) ||
                !ParseU(args[i + 2], 255, &c))
                return fail("icmp needs a type and a code (0-255)");
            p->hasIcmp = true;
            p->icmpType = static_cast<uint8_t>(t);
            p->icmpCode = static_cast<uint8_t>(c);
            i += 2;
        } else if (a == "attr") {
            if (i + 1 >= args.size())
                return fail("attr needs K=V");
            auto option = [](const std::string& x) {
                for (const char* k : {"smac=", "dmac=", "ethertype=", "tcpflags=", "time="}) {
                    if (x.compare(0, std::strlen(k), k) == 0)
                        return true;
                }
                return false;
            };
            while (i + 1 < args.size() && args[i + 1].find('=') != std::string::npos &&
                   args[i + 1].find('=') > 0 && !option(args[i + 1])) {
                const std::string& kv = args[++i];
                p->attrs.emplace_back(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
            }
        } else if (const char* m = value("smac=")) {
            if (!ParseMac(m, &p->smac))
                return fail("bad smac");
            p->hasSmac = true;
        } else if (const char* m = value("dmac=")) {
            if (!ParseMac(m, &p->dmac))
                return fail("bad dmac");
            p->hasDmac = true;
        } else if (const char* e = value("ethertype=")) {
            unsigned long t;
            std::string s = e;
            if (s.compare(0, 2, "0x") == 0) {
                char* end = nullptr;
                t = std::strtoul(s.c_str() + 2, &end, 16);
                if (s.size() < 3 || s.size() > 6 || *end != '\0')
                    return fail("bad ethertype");
            } else if (!ParseU(s, 65535, &t)) {
                return fail("bad ethertype");
            }
            p->hasEthertype = true;
            p->ethertype = static_cast<uint16_t>(t);
        } else if (const char* f = value("tcpflags=")) {
            unsigned long t;
            if (!ParseU(f, 255, &t))
                return fail("bad tcpflags");
            p->hasTcpFlags = true;
            p->tcpFlags = static_cast<uint8_t>(t);
        } else if (const char* t = value("time=")) {
            if (!ParseTime(t, &p->time))
                return fail("bad time (YYYY-MM-DDTHH:MM[:SS][Z])");
            p->hasTime = true;
        } else {
            return fail("unknown option " + a);
        }
    }
    return true;
}

Verdict Evaluate(const TarpState& state, const Filter& filter, const Packet& packet) {
    if (state.Excluded(filter))
        return Verdict{"EXCLUDED", false, 0, "", 0};
    Matcher m(state, filter, packet);
    auto rules = state.RootRules(filter);
    auto first = [&](int layer) -> Verdict {
        for (const auto& [rs, rule] : rules) {
            if (rule->parts[0].layer != layer)
                continue;
            for (const RulePart& part : rule->parts) {
                if (m.Part(part)) {
                    Verdict v;
                    v.matched = true;
                    v.rule = part.id;
                    v.ruleSet = rs;
                    v.action = part.action;
                    v.verdict = VerdictOf(part.action);
                    return v;
                }
            }
        }
        return Verdict{"DEFAULT", false, 0, "", 0};
    };
    if (packet.hasSmac || packet.hasDmac || packet.hasEthertype) {
        Verdict l2 = first(2);
        if (l2.matched && (l2.verdict == "DROP" || l2.verdict == "REJECT"))
            return l2;
    }
    return first(3);
}

}  // namespace ozy::dpemu::tarp
