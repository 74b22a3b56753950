#include "tools/ozy-dpemu/TarpState.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/device/DeviceFrame.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/TarpConfigParser.h"
#include "tools/ozy-dpemu/TarpReader.h"

namespace ozy::dpemu::tarp {

namespace w = ozy::tarp;

namespace {

void Put(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Store(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

void StoreText(uint8_t* p, const std::string& s, size_t width) {
    std::memcpy(p, s.data(), std::min(s.size(), width));
}

bool EqualConfig(const FilterConfig& a, const FilterConfig& b) {
    auto sameSets = [](const auto& x, const auto& y) {
        if (x.size() != y.size())
            return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if (i->first != j->first || i->second.raw != j->second.raw)
                return false;
        }
        return true;
    };
    return sameSets(a.addrSets, b.addrSets) && sameSets(a.containers, b.containers) &&
           a.ruleSets == b.ruleSets && a.roots == b.roots;
}

bool EqualChunks(const std::map<uint32_t, IpRepChunk>& a, const std::map<uint32_t, IpRepChunk>& b) {
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || i->second.raw != j->second.raw)
            return false;
    }
    return true;
}

std::string Hex64(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// 8-4-4-4-12 lower-case text of 16 bytes.
std::string UuidOfBytes(const uint8_t* b) {
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

// The 16 bytes of 8-4-4-4-12 hex text (either case); false for anything else.
bool BytesOfUuid(const std::string& text, uint8_t* out) {
    if (text.size() != 36)
        return false;
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return false;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
        int v = std::isdigit(static_cast<unsigned char>(text[i]))
                    ? text[i] - '0'
                    : std::tolower(static_cast<unsigned char>(text[i])) - 'a' + 10;
        if (n % 2 == 0)
            out[n / 2] = static_cast<uint8_t>(v << 4);
        else
            out[n / 2] |= static_cast<uint8_t>(v);
        ++n;
    }
    return n == 32;
}

std::string MacString(const std::array<uint8_t, 6>& m) {
    char text[20];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

}  // namespace

TarpState::TarpState() {
    std::random_device rd;
    instanceId_ =
        (uint64_t(rd()) << 32) ^ rd() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    Filter shared;
    shared.agent = w::kAgentFirewall;
    shared.product = w::kProductTag;
    filters_.emplace(kShared, std::move(shared));
}

IoctlResult TarpState::Refuse(uint32_t status, const std::string& why) {
    CFG_WARN("ozy-dpemu: tarp: %1 (status %2)", why, status);
    errors_.push_back(why);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
    ++stats_["refused"];
    return IoctlResult{status, {}};
}

uint32_t TarpState::InjectedFailure(const std::string& name, Filter& f) {
    auto it = filterFaults_.find(name);
    if (it == filterFaults_.end())
        return 0;
    uint32_t status = it->second.Take();
    if (status == 0)
        return 0;
    ++stats_["injected_failures"];
    f.lastStatus = status;
    return status;
}

IoctlResult TarpState::Ioctl(uint32_t command, const uint8_t* payload, size_t size) {
    ++stats_["ioctls"];
    switch (command) {
        case w::kCmdHello:
            return Hello(size);
        case w::kCmdSegmentPut:
            return SegmentPut(payload, size);
        case w::kCmdApply:
            return Apply(payload, size);
        case w::kCmdFilterSetting:
            return Setting(payload, size);
        case w::kCmdListRuleSets:
        case w::kCmdListAddrSets:
        case w::kCmdAddrSetStats:
            return List(command, payload, size);
        case w::kCmdListIpRepChunks:
            return ListChunks(payload, size);
        case w::kCmdActivateAddrSets:
            return Activate(size);
        case w::kCmdCleanupAddrSets:
            return Cleanup(size);
        case w::kCmdFwIoctl:
            return FwIoctl(payload, size);
        case w::kCmdDvfIoctl:
            return DvfIoctl(payload, size);
        case w::kCmdSiIoctl:
            return SiIoctl(payload, size);
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%08x", command);
            return Refuse(w::kStatusUnknownCommand, std::string("unknown device command ") + buf);
        }
    }
}

IoctlResult TarpState::Hello(size_t size) {
    if (size != 0)
        return Refuse(w::kStatusInvalidConfig, "hello with a payload");
    IoctlResult r;
    Put(r.payload, w::kProtocolVersion, 4);
    Put(r.payload, instanceId_, 8);
    return r;
}

IoctlResult TarpState::SegmentPut(const uint8_t* p, size_t size) {
    Reader r(p, size);
    uint64_t hash = r.U64();
    uint32_t total = r.U32();
    uint32_t offset = r.U32();
    if (!r.Ok())
        return Refuse(w::kStatusInvalidConfig, "truncated segment piece header");
    size_t piece = r.Left();
    if (total == 0 || total > w::kMaxSegmentSize || piece == 0 || piece > w::kMaxSegmentPiece ||
        size_t(offset) + piece > total)
        return Refuse(w::kStatusInvalidConfig, "segment piece out of bounds");
    ++stats_["segment_pieces"];
    if (segments_.count(hash)) {
        pending_.erase(hash);
        return IoctlResult{};  // already held
    }
    PendingSegment& pend = pending_[hash];
    if (pend.total != total && offset == 0) {
        pend.total = total;
        pend.bytes.clear();
    }
    // Uploads of one segment may interleave (two callers needing the same new segment, or a
    // caller sending again after a lost connection). A name stands for one content, checked when
    // the segment completes, so what is assembled already is taken as sent and a piece that
    // reaches past it adds its tail; only a gap is out of order.
    if (pend.total != total || offset > pend.bytes.size()) {
        pending_.erase(hash);
        return Refuse(w::kStatusInvalidConfig, "segment " + Hex64(hash) + " piece out of order");
    }
    size_t held = pend.bytes.size() - offset;
    if (held < piece)
        pend.bytes.append(reinterpret_cast<const char*>(r.Pos()) + held, piece - held);
    if (pend.bytes.size() < total)
        return IoctlResult{};
    std::string bytes = std::move(pend.bytes);
    pending_.erase(hash);
    Segment seg;
    std::string why;
    if (!ParseSegment(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), hash, &seg,
                      &why))
        return Refuse(w::kStatusInvalidConfig, "segment " + Hex64(hash) + ": " + why);
    seg.lastUse = ++useClock_;
    segmentBytes_ += seg.bytes;
    segments_.emplace(hash, std::move(seg));
    ++stats_["segments_uploaded"];
    TrimSegments();
    return IoctlResult{};
}

void TarpState::TrimSegments() {
    while (segmentBytes_ > kSegmentCacheBytes) {
        auto victim = segments_.end();
        for (auto it = segments_.begin(); it != segments_.end(); ++it) {
            if (it->second.refs == 0 &&
                (victim == segments_.end() || it->second.lastUse < victim->second.lastUse))
                victim = it;
        }
        if (victim == segments_.end())
            return;
        segmentBytes_ -= victim->second.bytes;
        segments_.erase(victim);
    }
}

size_t TarpState::DropUnusedSegments() {
    size_t n = 0;
    for (auto it = segments_.begin(); it != segments_.end();) {
        if (it->second.refs == 0) {
            segmentBytes_ -= it->second.bytes;
            it = segments_.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    return n;
}

Resolved TarpState::Lookup(const Filter& f, const std::string& name) const {
    return Lookup(f.config, f.sharedAddrSets, name);
}

Resolved TarpState::Lookup(const FilterConfig& objects, bool sharedAddrSets,
                           const std::string& name) const {
    Resolved r;
    auto a = objects.addrSets.find(name);
    auto c = objects.containers.find(name);
    if (a != objects.addrSets.end())
        r.addrSet = &a->second;
    if (c != objects.containers.end())
        r.container = &c->second;
    if (r.Found() || !sharedAddrSets)
        return r;
    const Filter& shared = SharedFilter();
    a = shared.config.addrSets.find(name);
    c = shared.config.containers.find(name);
    if (a != shared.config.addrSets.end())
        r.addrSet = &a->second;
    if (c != shared.config.containers.end())
        r.container = &c->second;
    r.shared = r.Found();
    return r;
}

bool TarpState::Resolvable(bool sharedAddrSets, const FilterConfig& c, const FilterConfig& objects,
                           std::string* why, const std::vector<uint64_t>* known) const {
    for (const auto& [name, hashes] : c.ruleSets) {
        for (uint64_t h : hashes) {
            if (known != nullptr && std::binary_search(known->begin(), known->end(), h))
                continue;
            const Segment& seg = segments_.at(h);
            for (const std::string& n : seg.names) {
                if (!Lookup(objects, sharedAddrSets, n).Found()) {
                    *why = "rule set " + name + " names " + n + ", defined nowhere";
                    return false;
                }
            }
        }
    }
    for (const auto& [name, cont] : objects.containers) {
        if (known != nullptr)
            break;
        for (const Element& e : cont.elements) {
            if (e.kind == w::kElemAddrSet && !Lookup(objects, sharedAddrSets, e.text).Found()) {
                *why = "container " + name + " names " + e.text + ", defined nowhere";
                return false;
            }
        }
    }
    for (const std::string& root : c.roots) {
        if (!c.ruleSets.count(root)) {
            *why = "root rule set " + root + " does not exist";
            return false;
        }
    }
    return true;
}

void TarpState::RecordResolved(Filter& f) {
    // Made again in place: a filter's apply allocates nothing here once its list has grown.
    f.resolved.clear();
    for (const auto& [name, hashes] : f.config.ruleSets)
        f.resolved.insert(f.resolved.end(), hashes.begin(), hashes.end());
    std::sort(f.resolved.begin(), f.resolved.end());
    f.resolved.erase(std::unique(f.resolved.begin(), f.resolved.end()), f.resolved.end());
    f.resolvedObjects = f.objectsVersion;
    f.resolvedShared = SharedFilter().objectsVersion;
    f.resolvedSharedMode = f.sharedAddrSets;
}

void TarpState::Reference(const FilterConfig& c, int delta) {
    for (const auto& [name, hashes] : c.ruleSets) {
        for (uint64_t h : hashes) {
            auto it = segments_.find(h);
            if (it == segments_.end())
                continue;
            it->second.refs += delta;
            it->second.lastUse = ++useClock_;
        }
    }
}

IoctlResult TarpState::Apply(const uint8_t* p, size_t size) {
    ++stats_["applies"];
    ParsedConfig cfg;
    std::string why;
    if (!ParseConfig(p, size, &cfg, &why))
        return Refuse(w::kStatusInvalidConfig, "apply refused: " + why);
    auto fit = filters_.find(cfg.filter);
    if (fit == filters_.end())
        return Refuse(w::kStatusNoFilter, "apply to unknown filter \"" + cfg.filter + "\"");
    Filter& f = fit->second;
    if (uint32_t st = InjectedFailure(cfg.filter, f))
        return Refuse(st, "apply to " + cfg.filter + " failed (injected)");

    // Every segment the rule sets list must be held; else nothing is applied.
    std::vector<uint64_t> missing;
    std::set<uint64_t> seen;
    for (const ConfigCommand& c : cfg.commands) {
        for (uint64_t h : c.segments) {
            if (!segments_.count(h) && seen.insert(h).second)
                missing.push_back(h);
        }
    }
    if (!missing.empty()) {
        ++stats_["unknown_segment"];
        f.lastStatus = w::kStatusUnknownSegment;
        IoctlResult r{w::kStatusUnknownSegment, {}};
        Put(r.payload, missing.size(), 4);
        for (uint64_t h : missing)
            Put(r.payload, h, 8);
        return r;
    }

    // Chunks are device-wide and live on the shared filter; the table is copied only for a list
    // that changes it (a list is applied whole or not at all).
    bool chunkCommands = false;
    for (const ConfigCommand& c : cfg.commands)
        chunkCommands |= c.code == w::kCfgCreateIpRepChunk || c.code == w::kCfgDestroyIpRepChunk;
    if (chunkCommands && cfg.filter != kShared) {
        f.lastStatus = w::kStatusInvalidConfig;
        return Refuse(
            w::kStatusInvalidConfig,
            "apply to " + cfg.filter + " refused: IP-reputation chunks live on " + kShared);
    }
    // The filter's sets and containers are copied only for a list that changes them: a list of
    // rule sets alone (a rule change) is checked against the filter's own.
    bool objectCommands = false;
    for (const ConfigCommand& c : cfg.commands) {
        objectCommands |= c.code == w::kCfgCreateAddrSet || c.code == w::kCfgCreateContainer ||
                          c.code == w::kCfgDestroyAddrSet;
    }
    FilterConfig next;
    next.ruleSets = f.config.ruleSets;
    next.roots = f.config.roots;
    if (objectCommands) {
        next.addrSets = f.config.addrSets;
        next.containers = f.config.containers;
    }
    const FilterConfig& objects = objectCommands ? next : f.config;
    std::map<uint32_t, IpRepChunk> chunks;
    if (chunkCommands)
        chunks = chunks_;
    for (ConfigCommand& c : cfg.commands) {
        switch (c.code) {
            case w::kCfgCreateAddrSet:
                next.addrSets[c.name] = std::move(c.addrSet);
                break;
            case w::kCfgCreateContainer:
                next.containers[c.name] = std::move(c.container);
                break;
            case w::kCfgDestroyRuleSet:
                next.ruleSets.erase(c.name);
                break;
            case w::kCfgCreateRuleSet:
                next.ruleSets[c.name] = std::move(c.segments);
                break;
            case w::kCfgSetRootRuleSets:
                next.roots = std::move(c.roots);
                break;
            case w::kCfgDestroyAddrSet:
                next.addrSets.erase(c.name);
                next.containers.erase(c.name);
                break;
            case w::kCfgCreateIpRepChunk:
                // An id already held is replaced (its capacity and entries with it).
                chunks[c.chunkId] = std::move(c.chunk);
                break;
            case w::kCfgDestroyIpRepChunk:
                if (chunks.erase(c.chunkId) == 0) {
                    f.lastStatus = w::kStatusInvalidConfig;
                    return Refuse(w::kStatusInvalidConfig,
                                  "apply to " + cfg.filter + " refused: no IP-reputation chunk " +
                                      std::to_string(c.chunkId) + " to destroy");
                }
                break;
        }
    }
    // Segments the filter holds resolve still when no set changed here or on the shared filter
    // since they were checked: only the others are looked at.
    const bool resolvedStill = !objectCommands && f.resolvedObjects == f.objectsVersion &&
                               f.resolvedShared == SharedFilter().objectsVersion &&
                               f.resolvedSharedMode == f.sharedAddrSets;
    if (!Resolvable(f.sharedAddrSets, next, objects, &why, resolvedStill ? &f.resolved : nullptr)) {
        f.lastStatus = w::kStatusInvalidConfig;
        return Refuse(w::kStatusInvalidConfig, "apply to " + cfg.filter + " refused: " + why);
    }
    if (cfg.filter == kShared) {
        // A shared set goes only when no filter's rules use it any more (anchor count 0).
        for (const auto& [set, anchors] : AnchorCounts()) {
            if (anchors != 0 && !objects.addrSets.count(set) && !objects.containers.count(set)) {
                f.lastStatus = w::kStatusInvalidConfig;
                return Refuse(w::kStatusInvalidConfig, "apply to " + cfg.filter +
                                                           " refused: " + set + " is used by " +
                                                           std::to_string(anchors) + " filter(s)");
            }
        }
    }
    const bool sameConfig =
        objectCommands ? EqualConfig(next, f.config)
                       : next.ruleSets == f.config.ruleSets && next.roots == f.config.roots;
    bool unchanged = sameConfig && (!chunkCommands || EqualChunks(chunks, chunks_));
    Reference(next, +1);
    Reference(f.config, -1);
    if (!objectCommands) {
        next.addrSets = std::move(f.config.addrSets);
        next.containers = std::move(f.config.containers);
    }
    f.config = std::move(next);
    if (objectCommands)
        f.objectsVersion = ++objectsClock_;
    RecordResolved(f);
    if (chunkCommands)
        chunks_ = std::move(chunks);
    ++f.applyCount;
    f.appliedMs = std::chrono::duration<double, std::milli>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    f.lastStatus = unchanged ? w::kStatusNoChange : w::kStatusOk;
    ++stats_[unchanged ? "applies_unchanged" : "applies_changed"];
    return IoctlResult{f.lastStatus, {}};
}

IoctlResult TarpState::Setting(const uint8_t* p, size_t size) {
    Reader r(p, size);
    const uint8_t* field = r.Bytes(w::kFilterNameField);
    uint32_t id = r.U32();
    uint32_t len = r.U32();
    if (!r.Ok() || len != r.Left())
        return Refuse(w::kStatusInvalidConfig, "malformed filter setting");
    if (!Reader::Terminated(field, w::kFilterNameField))
        return Refuse(w::kStatusInvalidConfig, "setting: filter name not terminated");
    std::string name = Reader(field, w::kFilterNameField).Fixed(w::kFilterNameField);
    auto it = filters_.find(name);
    if (it == filters_.end())
        return Refuse(w::kStatusNoFilter, "setting for unknown filter \"" + name + "\"");
    Filter& f = it->second;
    if (uint32_t st = InjectedFailure(name, f))
        return Refuse(st, "setting for " + name + " failed (injected)");
    auto needs = [&](size_t n) { return len == n; };
    // An accepted setting is stamped with the time it took effect.
    auto accepted = [&f] {
        f.settingsMs = std::chrono::duration<double, std::milli>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
        return IoctlResult{};
    };
    switch (id) {
        case w::kSetFlood: {
            if (!needs(w::kFloodCfgSize))
                break;
            FloodSettings s;
            s.tcpHalfOpen = r.U32();
            s.udp = r.U32();
            s.icmp = r.U32();
            s.other = r.U32();
            uint8_t flags[4] = {r.U8(), r.U8(), r.U8(), r.U8()};
            if (flags[0] > 1 || flags[1] > 1 || flags[2] > 1 || flags[3] != 0)
                return Refuse(w::kStatusInvalidConfig, "flood setting with bad flags");
            s.synCache = flags[0];
            s.rstSpoofing = flags[1];
            s.natLimits = flags[2];
            f.flood = s;
            return accepted();
        }
        case w::kSetTimeout: {
            if (!needs(w::kTimeoutCfgSize))
                break;
            std::vector<uint32_t> t(w::kTimeoutCount);
            for (auto& v : t)
                v = r.U32();
            f.timeouts = std::move(t);
            return accepted();
        }
        case w::kSetDns: {
            if (!needs(w::kDnsCfgSize))
                break;
            f.dnsBytes.assign(reinterpret_cast<const char*>(r.Pos()), len);
            uint8_t flag = r.U8();
            uint8_t z[3] = {r.U8(), r.U8(), r.U8()};
            uint32_t ttl = r.U32();
            if (flag > 1 || z[0] || z[1] || z[2])
                return Refuse(w::kStatusInvalidConfig, "DNS setting with bad flags");
            f.dns = std::make_pair(flag == 1, ttl);
            return accepted();
        }
        case w::kSetDeleteSpoofGuard:
            if (!needs(6))
                break;
            std::memcpy(f.lastSpoofGuardMac.data(), r.Bytes(6), 6);
            ++f.spoofGuardDeletions;
            return accepted();
        case w::kSetExportVersion:
        case w::kSetFastPath:
        case w::kSetSharedAddrSet:
        case w::kSetIdsMode:
        case w::kSetOversubscription: {
            if (!needs(4))
                break;
            uint32_t v = r.U32();
            if (id == w::kSetExportVersion)
                f.exportVersion = v;
            else if (id == w::kSetFastPath)
                f.fastPath = v;
            else if (id == w::kSetIdsMode)
                f.idsMode = v;
            else if (id == w::kSetOversubscription)
                f.oversubscription = v;
            else if (v > 1)
                return Refuse(w::kStatusInvalidConfig,
                              "shared address-set mode " + std::to_string(v) + " is not 0 or 1");
            else
                f.sharedAddrSets = v == 1;
            return accepted();
        }
        default:
            return Refuse(w::kStatusInvalidConfig, "unknown setting " + std::to_string(id));
    }
    return Refuse(w::kStatusInvalidConfig, "setting " + std::to_string(id) + " with a value of " +
                                               std::to_string(len) + " bytes");
}

std::map<std::string, uint32_t> TarpState::AnchorCounts() const {
    std::map<std::string, uint32_t> anchors;
    const Filter& shared = SharedFilter();
    for (const auto& [name, set] : shared.config.addrSets)
        anchors[name] = 0;
    for (const auto& [name, c] : shared.config.containers)
        anchors[name] = 0;
    for (const auto& [fname, f] : filters_) {
        if (fname == kShared || !f.sharedAddrSets)
            continue;
        std::set<std::string> used;
        for (const auto& [rs, hashes] : f.config.ruleSets) {
            for (uint64_t h : hashes) {
                auto it = segments_.find(h);
                if (it != segments_.end())
                    used.insert(it->second.names.begin(), it->second.names.end());
            }
        }
        for (const auto& [cn, c] : f.config.containers) {
            for (const Element& e : c.elements) {
                if (e.kind == w::kElemAddrSet)
                    used.insert(e.text);
            }
        }
        for (const std::string& n : used) {
            if (!f.config.addrSets.count(n) && !f.config.containers.count(n) && anchors.count(n))
                ++anchors[n];
        }
    }
    return anchors;
}

IoctlResult TarpState::List(uint32_t command, const uint8_t* p, size_t size) {
    Reader r(p, size);
    const uint8_t* field = r.Bytes(w::kFilterNameField);
    uint32_t capacity = r.U32();
    if (!r.AtEnd())
        return Refuse(w::kStatusInvalidConfig, "malformed list request");
    if (!Reader::Terminated(field, w::kFilterNameField))
        return Refuse(w::kStatusInvalidConfig, "list: filter name not terminated");
    std::string name = Reader(field, w::kFilterNameField).Fixed(w::kFilterNameField);
    const Filter* f = FindFilter(name);
    if (f == nullptr)
        return Refuse(w::kStatusNoFilter, "list of unknown filter \"" + name + "\"");
    std::vector<std::string> names;
    size_t width = w::kAddrSetNameField;
    if (command == w::kCmdListRuleSets) {
        width = w::kRuleSetNameField;
        for (const auto& [n, rs] : f->config.ruleSets)
            names.push_back(n);
    } else {
        std::set<std::string> all;
        for (const auto& [n, s] : f->config.addrSets)
            all.insert(n);
        for (const auto& [n, c] : f->config.containers)
            all.insert(n);
        names.assign(all.begin(), all.end());
    }
    size_t recordSize = command == w::kCmdAddrSetStats ? w::kAddrSetStatSize : width;
    size_t fit = std::min<size_t>(capacity, (ozy::device::kMaxPayload - 8) / recordSize);
    size_t returned = std::min(fit, names.size());
    IoctlResult res;
    Put(res.payload, names.size(), 4);
    Put(res.payload, returned, 4);
    std::map<std::string, uint32_t> anchors;
    if (command == w::kCmdAddrSetStats)
        anchors = AnchorCounts();
    for (size_t i = 0; i < returned; ++i) {
        size_t at = res.payload.size();
        res.payload.resize(at + recordSize, 0);
        uint8_t* rec = res.payload.data() + at;
        StoreText(rec, names[i], width);
        if (command != w::kCmdAddrSetStats)
            continue;
        auto s = f->config.addrSets.find(names[i]);
        uint32_t flags = 0;
        if (s != f->config.addrSets.end()) {
            Store(rec + w::kStatAddressCountOffset, s->second.addresses.size(), 4);
            Store(rec + w::kStatExcludedOffset, s->second.excluded.size(), 4);
            if (s->second.ipReputation)
                flags |= w::kStatIpReputation;
        }
        if (name == kShared) {
            Store(rec + w::kStatAnchorOffset, anchors[names[i]], 4);
            if (activeSets_.count(names[i]))
                flags |= w::kStatActive;
        } else {
            flags |= w::kStatActive;
        }
        Store(rec + w::kStatFlagsOffset, flags, 4);
        Store(rec + w::kStatGenerationOffset, f->applyCount, 8);
        Store(rec + w::kStatVersionOffset, 1, 2);
    }
    return res;
}

nlohmann::json TarpState::ChunksJson() const {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [id, c] : chunks_) {
        out.push_back({{"id", id},
                       {"capacity", c.capacity},
                       {"count", c.entries.size()},
                       {"bucket", c.bucket},
                       {"hash", Hex64(c.hash)}});
    }
    return out;
}

IoctlResult TarpState::ListChunks(const uint8_t* p, size_t size) {
    Reader r(p, size);
    const uint8_t* field = r.Bytes(w::kFilterNameField);
    uint32_t capacity = r.U32();
    if (!r.AtEnd())
        return Refuse(w::kStatusInvalidConfig, "malformed chunk list request");
    if (!Reader::Terminated(field, w::kFilterNameField))
        return Refuse(w::kStatusInvalidConfig, "chunk list: filter name not terminated");
    std::string name = Reader(field, w::kFilterNameField).Fixed(w::kFilterNameField);
    if (FindFilter(name) == nullptr)
        return Refuse(w::kStatusNoFilter, "chunk list of unknown filter \"" + name + "\"");
    if (name != kShared)
        return Refuse(w::kStatusInvalidConfig,
                      "chunk list of " + name + ": chunks live on " + std::string(kShared));
    size_t fit =
        std::min<size_t>(capacity, (ozy::device::kMaxPayload - 8) / w::kIpRepChunkStatSize);
    size_t returned = std::min(fit, chunks_.size());
    IoctlResult res;
    Put(res.payload, chunks_.size(), 4);
    Put(res.payload, returned, 4);
    for (auto it = chunks_.begin(); returned > 0; ++it, --returned) {
        Put(res.payload, it->first, 4);
        Put(res.payload, it->second.capacity, 4);
        Put(res.payload, it->second.entries.size(), 4);
        Put(res.payload, it->second.bucket, 4);
        Put(res.payload, it->second.hash, 8);
    }
    return res;
}

IoctlResult TarpState::Activate(size_t size) {
    if (size != 0)
        return Refuse(w::kStatusInvalidConfig, "activate with a payload");
    const Filter& shared = SharedFilter();
    std::map<std::string, uint32_t> anchors = AnchorCounts();
    uint32_t created = 0, replaced = 0, obsoleted = 0;
    std::map<std::string, std::string> now;
    for (const auto& [name, set] : shared.config.addrSets) {
        auto it = activeSets_.find(name);
        if (it == activeSets_.end())
            ++created;
        else if (it->second != set.raw)
            ++replaced;
        if (anchors[name] == 0)
            ++obsoleted;
        now[name] = set.raw;
    }
    activeSets_ = std::move(now);
    IoctlResult r;
    Put(r.payload, activeSets_.size(), 4);
    Put(r.payload, created, 4);
    Put(r.payload, replaced, 4);
    Put(r.payload, obsoleted, 4);
    return r;
}

IoctlResult TarpState::Cleanup(size_t size) {
    if (size != 0)
        return Refuse(w::kStatusInvalidConfig, "cleanup with a payload");
    Filter& shared = filters_.at(kShared);
    std::map<std::string, uint32_t> anchors = AnchorCounts();
    uint32_t deleted = 0;
    for (const auto& [name, count] : anchors) {
        if (count != 0)
            continue;
        // Sets still named inside the shared filter stay.
        FilterConfig next = shared.config;
        next.addrSets.erase(name);
        next.containers.erase(name);
        std::string why;
        if (!Resolvable(shared.sharedAddrSets, next, next, &why))
            continue;
        shared.config = std::move(next);
        shared.objectsVersion = ++objectsClock_;
        RecordResolved(shared);
        activeSets_.erase(name);
        ++deleted;
    }
    IoctlResult r;
    Put(r.payload, deleted, 4);
    return r;
}

void TarpState::EncodeRecord(const std::string& name, const Filter& f, uint8_t* rec) const {
    StoreText(rec + w::kRecNameOffset, name, w::kRecNameField);
    StoreText(rec + w::kRecVifOffset, f.vif, w::kRecVifField);
    StoreText(rec + w::kRecLspOffset, f.lsp, w::kRecLspField);
    Store(rec + w::kRecFlagsOffset, f.flags, 4);
    Store(rec + w::kRecImportTimeOffset, f.importTime, 8);
    std::memcpy(rec + w::kRecMacOffset, f.mac.data(), 6);
    Store(rec + w::kRecPortOffset, f.port, 4);
    size_t rules = 0;
    for (const auto& [rs, hashes] : f.config.ruleSets) {
        for (uint64_t h : hashes) {
            if (const Segment* s = FindSegment(h))
                rules += s->rules.size();
        }
    }
    Store(rec + w::kRecRuleCountOffset, rules, 4);
    Store(rec + w::kRecApplyCountOffset, f.applyCount, 4);
    Store(rec + w::kRecLastStatusOffset, f.lastStatus, 4);
    StoreText(rec + w::kRecAgentOffset, f.agent, w::kRecAgentField);
    StoreText(rec + w::kRecVmOffset, f.vm, w::kRecVmField);
    StoreText(rec + w::kRecProductOffset, f.product, w::kRecProductField);
}

IoctlResult TarpState::ReadFilters(std::vector<uint8_t> buf) {
    if (buf.size() < w::kReadHeaderSize)
        return Refuse(w::kStatusInvalidConfig, "read filters: buffer below its header");
    Reader r(buf.data(), w::kReadHeaderSize);
    uint32_t version = r.U32();
    uint32_t capacity = r.U32();
    if (version != 1)
        return Refuse(w::kStatusInvalidConfig, "read filters: unknown header version");
    if (size_t(capacity) > (buf.size() - w::kReadHeaderSize) / w::kFilterRecordSize)
        return Refuse(w::kStatusInvalidConfig, "read filters: capacity beyond the buffer");
    const uint8_t* agentField = buf.data() + w::kReadAgentOffset;
    if (!Reader::Terminated(agentField, w::kRecAgentField))
        return Refuse(w::kStatusInvalidConfig, "read filters: agent name not terminated");
    std::string agent = Reader(agentField, w::kRecAgentField).Fixed(w::kRecAgentField);
    uint32_t total = 0, returned = 0;
    for (const auto& [name, f] : filters_) {
        if (name == kShared || (!agent.empty() && f.agent != agent))
            continue;
        ++total;
        if (returned < capacity) {
            uint8_t* rec =
                buf.data() + w::kReadHeaderSize + size_t(returned) * w::kFilterRecordSize;
            std::memset(rec, 0, w::kFilterRecordSize);
            EncodeRecord(name, f, rec);
            ++returned;
        }
    }
    Store(buf.data() + w::kReadReturnedOffset, returned, 4);
    Store(buf.data() + w::kReadTotalOffset, total, 4);
    return IoctlResult{0, std::move(buf)};
}

IoctlResult TarpState::FwIoctl(const uint8_t* p, size_t size) {
    Reader r(p, size);
    uint32_t cmd = r.U32();
    if (!r.Ok())
        return Refuse(w::kStatusInvalidConfig, "FW ioctl without a command");
    std::vector<uint8_t> buf(r.Pos(), r.Pos() + r.Left());
    ++stats_["fw_ioctl_" + std::to_string(cmd)];
    switch (cmd) {
        case w::kFwIoctlFilterCount: {
            if (buf.size() != 4)
                return Refuse(w::kStatusInvalidConfig, "filter count: buffer is not 4 bytes");
            Store(buf.data(), filters_.size() - 1, 4);
            return IoctlResult{0, std::move(buf)};
        }
        case w::kFwIoctlReadFilters:
            return ReadFilters(std::move(buf));
        case w::kFwIoctlUpdateConfig: {
            Reader u(buf.data(), buf.size());
            uint32_t n = u.U32();
            if (!u.Ok() || u.Left() != size_t(n) * w::kUpdateConfigEntrySize)
                return Refuse(w::kStatusInvalidConfig, "update config: bad entry count");
            std::vector<std::pair<Filter*, const uint8_t*>> updates;
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t* e = u.Bytes(w::kUpdateConfigEntrySize);
                if (!Reader::Terminated(e, w::kFilterNameField))
                    return Refuse(w::kStatusInvalidConfig, "update config: name not terminated");
                std::string name = Reader(e, w::kFilterNameField).Fixed(w::kFilterNameField);
                auto it = filters_.find(name);
                if (it == filters_.end())
                    return Refuse(w::kStatusNoFilter, "update config of unknown filter " + name);
                updates.emplace_back(&it->second, e + w::kFilterNameField);
            }
            for (auto& [f, mac] : updates)
                std::memcpy(f->mac.data(), mac, 6);
            return IoctlResult{0, std::move(buf)};
        }
        case w::kFwIoctlLbConfig:
            return lb_.Ioctl(buf.data(), buf.size());
        default:
            return Refuse(w::kStatusInvalidConfig, "unknown FW ioctl " + std::to_string(cmd));
    }
}

IoctlResult TarpState::DvfIoctl(const uint8_t* p, size_t size) {
    Reader r(p, size);
    uint32_t cmd = r.U32();
    if (r.Ok() && cmd == w::kDvfRevalidateVm)
        return Revalidate(r.Pos(), r.Left());
    std::vector<uint8_t> buf(r.Pos(), r.Pos() + r.Left());
    if (!r.Ok() || buf.size() < w::kDvfHeaderSize)
        return Refuse(w::kStatusInvalidConfig, "DVF ioctl below its header");
    if (!Reader::Terminated(buf.data(), w::kDvfAgentField))
        return Refuse(w::kStatusInvalidConfig, "DVF ioctl: agent name not terminated");
    std::string agent = Reader(buf.data(), w::kDvfAgentField).Fixed(w::kDvfAgentField);
    if (agent != w::kAgentFirewall && agent != w::kAgentServiceInsertion)
        return Refuse(w::kStatusInvalidConfig, "DVF ioctl for unknown agent \"" + agent + "\"");
    Reader h(buf.data() + w::kDvfTableOffset, w::kDvfHeaderSize - w::kDvfTableOffset);
    uint8_t table = h.U8();
    h.Bytes(3);
    uint32_t count = h.U32();
    if (table != w::kDvfInclude && table != w::kDvfExclude)
        return Refuse(w::kStatusInvalidConfig, "DVF ioctl for unknown table");
    DvfTables& t = tables_[agent];
    std::vector<std::string>& entries = table == w::kDvfInclude ? t.include : t.exclude;
    ++stats_["dvf_ioctl_" + std::to_string(cmd)];
    switch (cmd) {
        case w::kDvfWriteTable: {
            if (buf.size() != w::kDvfHeaderSize + size_t(count) * w::kDvfEntrySize)
                return Refuse(w::kStatusInvalidConfig, "DVF write: size and count disagree");
            std::vector<std::string> next;
            for (uint32_t i = 0; i < count; ++i) {
                const uint8_t* e = buf.data() + w::kDvfHeaderSize + size_t(i) * w::kDvfEntrySize;
                if ((e[0] != w::kDvfEntryVnic && e[0] != w::kDvfEntryDefault) ||
                    e[1] != w::kDvfEntrySize)
                    return Refuse(w::kStatusInvalidConfig, "DVF write: bad entry type or length");
                next.emplace_back(reinterpret_cast<const char*>(e), w::kDvfEntrySize);
            }
            entries = std::move(next);
            return IoctlResult{0, std::move(buf)};
        }
        case w::kDvfExcludeSize:
            Store(buf.data() + w::kDvfTotalOffset, t.exclude.size(), 4);
            return IoctlResult{0, std::move(buf)};
        case w::kDvfReadExclude: {
            if (buf.size() != w::kDvfHeaderSize + size_t(count) * w::kDvfEntrySize)
                return Refuse(w::kStatusInvalidConfig, "DVF read: size and capacity disagree");
            size_t n = std::min<size_t>(count, t.exclude.size());
            for (size_t i = 0; i < n; ++i)
                std::memcpy(buf.data() + w::kDvfHeaderSize + i * w::kDvfEntrySize,
                            t.exclude[i].data(), w::kDvfEntrySize);
            Store(buf.data() + w::kDvfCountOffset, n, 4);
            Store(buf.data() + w::kDvfTotalOffset, t.exclude.size(), 4);
            return IoctlResult{0, std::move(buf)};
        }
        case w::kDvfResetTable:
            entries.clear();
            return IoctlResult{0, std::move(buf)};
        default:
            return Refuse(w::kStatusInvalidConfig, "unknown DVF ioctl " + std::to_string(cmd));
    }
}

IoctlResult TarpState::Revalidate(const uint8_t* p, size_t size) {
    if (size != w::kDvfRevalidateSize)
        return Refuse(w::kStatusInvalidConfig, "DVF revalidate: not 52 bytes");
    if (!Reader::Terminated(p, w::kDvfAgentField))
        return Refuse(w::kStatusInvalidConfig, "DVF revalidate: agent name not terminated");
    std::string agent = Reader(p, w::kDvfAgentField).Fixed(w::kDvfAgentField);
    if (agent != w::kAgentFirewall && agent != w::kAgentServiceInsertion)
        return Refuse(w::kStatusInvalidConfig,
                      "DVF revalidate for unknown agent \"" + agent + "\"");
    Reader v(p + w::kDvfRevalidateVmOffset, size - w::kDvfRevalidateVmOffset);
    const uint8_t* vm = v.Bytes(16);
    uint32_t world = v.U32();
    if (world == 0)
        return Refuse(w::kStatusInvalidConfig, "DVF revalidate: world id 0");
    ++stats_["dvf_ioctl_" + std::to_string(w::kDvfRevalidateVm)];
    revalidations_.push_back({agent, UuidOfBytes(vm), world});
    if (revalidations_.size() > kKeptRevalidations)
        revalidations_.pop_front();
    ++revalidated_;
    return IoctlResult{};
}

bool TarpState::Excluded(const Filter& f) const {
    uint8_t vnic[16];
    auto t = tables_.find(f.agent);
    if (t == tables_.end() || !BytesOfUuid(f.vif, vnic))
        return false;
    for (const std::string& e : t->second.exclude) {
        if (static_cast<uint8_t>(e[0]) == w::kDvfEntryVnic &&
            std::memcmp(e.data() + 2, vnic, 16) == 0)
            return true;
    }
    return false;
}

IoctlResult TarpState::SiIoctl(const uint8_t* p, size_t size) {
    return si_.Ioctl(p, size);
}

bool TarpState::CreateFilter(const NewFilter& nf, std::string* why) {
    if (nf.name.empty() || nf.name.size() > w::kMaxFilterName) {
        *why = "filter name must have 1 to 63 characters";
        return false;
    }
    if (nf.vif.size() >= w::kRecVifField || nf.lsp.size() >= w::kRecLspField || nf.agent.empty() ||
        nf.agent.size() >= w::kDvfAgentField) {
        *why = "vif, lsp or agent too long (or no agent)";
        return false;
    }
    if (filters_.count(nf.name)) {
        *why = "filter " + nf.name + " exists";
        return false;
    }
    Filter f;
    f.objectsVersion = ++objectsClock_;
    f.vif = nf.vif;
    f.lsp = nf.lsp;
    f.agent = nf.agent;
    f.product = nf.tagged ? w::kProductTag : "";
    if (nf.imported) {
        f.flags |= w::kFilterImported;
        f.importTime = static_cast<uint64_t>(std::time(nullptr));
    }
    f.port = static_cast<uint32_t>(filters_.size());
    filters_.emplace(nf.name, std::move(f));
    return true;
}

bool TarpState::DeleteFilter(const std::string& name, std::string* why) {
    auto it = filters_.find(name);
    if (it == filters_.end() || name == kShared) {
        *why = "no filter " + name;
        return false;
    }
    Reference(it->second.config, -1);
    filters_.erase(it);
    filterFaults_.erase(name);
    return true;
}

bool TarpState::FailFilter(const std::string& name, uint32_t status, uint64_t count,
                           std::string* why) {
    if (filters_.count(name) == 0) {
        *why = "no filter " + name;
        return false;
    }
    if (count == 0)
        filterFaults_.erase(name);
    else
        filterFaults_[name].Arm(count, status);
    return true;
}

const Filter* TarpState::FindFilter(const std::string& name) const {
    auto it = filters_.find(name);
    return it == filters_.end() ? nullptr : &it->second;
}

const Segment* TarpState::FindSegment(uint64_t hash) const {
    auto it = segments_.find(hash);
    return it == segments_.end() ? nullptr : &it->second;
}

std::vector<std::pair<std::string, const Rule*>> TarpState::RootRules(const Filter& f) const {
    std::vector<std::pair<std::string, const Rule*>> out;
    for (const std::string& root : f.config.roots) {
        auto rs = f.config.ruleSets.find(root);
        if (rs == f.config.ruleSets.end())
            continue;
        for (uint64_t h : rs->second) {
            if (const Segment* s = FindSegment(h)) {
                for (const Rule& r : s->rules)
                    out.emplace_back(root, &r);
            }
        }
    }
    return out;
}

}  // namespace ozy::dpemu::tarp

namespace ozy::dpemu::tarp {

nlohmann::json TarpState::Dump() const {
    nlohmann::json filters = nlohmann::json::array();
    for (const auto& [name, f] : filters_) {
        size_t rules = 0;
        for (const auto& [rs, hashes] : f.config.ruleSets) {
            for (uint64_t h : hashes) {
                if (const Segment* s = FindSegment(h))
                    rules += s->rules.size();
            }
        }
        filters.push_back({{"name", name},
                           {"vif", f.vif},
                           {"lsp", f.lsp},
                           {"agent", f.agent},
                           {"imported", (f.flags & w::kFilterImported) != 0},
                           {"rule_sets", f.config.ruleSets.size()},
                           {"roots", f.config.roots},
                           {"rules", rules},
                           {"addr_sets", f.config.addrSets.size()},
                           {"containers", f.config.containers.size()},
                           {"shared_addr_sets", f.sharedAddrSets},
                           {"mac", MacString(f.mac)},
                           {"apply_count", f.applyCount},
                           {"applied_ms", f.appliedMs},
                           {"last_status", f.lastStatus}});
        auto fault = filterFaults_.find(name);
        if (fault != filterFaults_.end())
            filters.back()["faults"] = fault->second.State();
    }
    nlohmann::json chunks = ChunksJson();
    nlohmann::json tables = nlohmann::json::object();
    for (const auto& [agent, t] : tables_) {
        auto list = [](const std::vector<std::string>& entries) {
            nlohmann::json out = nlohmann::json::array();
            for (const std::string& e : entries) {
                const uint8_t* b = reinterpret_cast<const uint8_t*>(e.data()) + 2;
                out.push_back(static_cast<uint8_t>(e[0]) == w::kDvfEntryDefault ? "default"
                                                                                : UuidOfBytes(b));
            }
            return out;
        };
        tables[agent] = {{"include", list(t.include)}, {"exclude", list(t.exclude)}};
    }
    nlohmann::json revalidations = nlohmann::json::array();
    for (const Revalidation& r : revalidations_)
        revalidations.push_back({{"agent", r.agent}, {"vm", r.vm}, {"world_id", r.world}});
    const Filter& shared = SharedFilter();
    nlohmann::json anchors = nlohmann::json::object();
    for (const auto& [name, n] : AnchorCounts())
        anchors[name] = n;
    return {{"epoch", Hex64(instanceId_)},
            {"filters", filters},
            {"shared", {{"anchors", anchors}, {"active", activeSets_.size()}}},
            {"ids_mode", shared.idsMode},
            {"oversubscription", shared.oversubscription},
            {"ip_reputation_chunks", chunks},
            {"tables", tables},
            {"revalidations", {{"total", revalidated_}, {"last", revalidations}}},
            {"lb", lb_.Dump()},
            {"si", si_.Dump()},
            {"segments", {{"count", segments_.size()}, {"bytes", segmentBytes_}}},
            {"stats", stats_},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu::tarp
