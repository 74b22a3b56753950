// Fuzz target: the emulated firewall device (configuration, segment and table decoders, applies,
// queries, settings, raw ioctls) and packet evaluation over whatever it accepted. The input is a
// sequence of frames: u8 selector, u16 length, payload. Invariants: a refused apply changes no
// filter; every filter renders and evaluates.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tarp/TarpWire.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpRender.h"
#include "tools/ozy-dpemu/TarpState.h"

using namespace ozy::dpemu::tarp;
namespace w = ozy::tarp;

namespace {

constexpr uint32_t kCommands[] = {
    w::kCmdApply,          w::kCmdSegmentPut,   w::kCmdFilterSetting,    w::kCmdListRuleSets,
    w::kCmdListAddrSets,   w::kCmdAddrSetStats, w::kCmdActivateAddrSets, w::kCmdCleanupAddrSets,
    w::kCmdFwIoctl,        w::kCmdDvfIoctl,     w::kCmdSiIoctl,          w::kCmdHello,
    w::kCmdListIpRepChunks};

std::string Everything(const TarpState& s) {
    std::string out;
    for (const auto& [name, f] : s.Filters())
        out += RenderFilter(s, name, f).dump();
    return out;
}

// A whole segment whose name is computed from its own rules, so that valid rules get stored.
std::vector<uint8_t> NamedSegment(const uint8_t* p, size_t n) {
    std::vector<uint8_t> names;
    auto put = [&](uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            names.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    uint32_t count = 0;
    std::vector<uint64_t> hashes;
    if (n >= 8) {
        count = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
        size_t off = 8;
        for (uint32_t i = 0; i < count && off + 4 <= n; ++i) {
            uint32_t len = (uint32_t(p[off]) << 24) | (uint32_t(p[off + 1]) << 16) |
                           (uint32_t(p[off + 2]) << 8) | p[off + 3];
            off += 4;
            if (len > n - off)
                break;
            hashes.push_back(w::Hash64(p + off, len, w::kRuleSeed));
            off += len;
        }
    }
    put(count, 4);
    for (uint64_t h : hashes)
        put(h, 8);
    uint64_t name = w::Hash64(names.data(), names.size(), w::kSegmentSeed);
    std::vector<uint8_t> frame;
    for (int i = 7; i >= 0; --i)
        frame.push_back(uint8_t(name >> (8 * i)));
    for (uint32_t v : {uint32_t(n), 0u})
        for (int i = 3; i >= 0; --i)
            frame.push_back(uint8_t(v >> (8 * i)));
    frame.insert(frame.end(), p, p + n);
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
    TarpState s;
    std::string why;
    s.CreateFilter({"f1", "vif-1", "lsp-1", w::kAgentFirewall, false, true}, &why);
    s.CreateFilter({"f2", "vif-2", "lsp-2", w::kAgentServiceInsertion, true, false}, &why);
    size_t off = 0;
    while (off + 3 <= size) {
        uint8_t sel = data[off];
        size_t len = (size_t(data[off + 1]) << 8) | data[off + 2];
        off += 3;
        len = std::min(len, size - off);
        const uint8_t* p = data + off;
        off += len;
        if (sel == 0xFF) {  // a whole segment, named from its rules
            std::vector<uint8_t> frame = NamedSegment(p, len);
            if (frame.size() - 16 > 0 && frame.size() - 16 <= w::kMaxSegmentPiece)
                s.Ioctl(w::kCmdSegmentPut, frame.data(), frame.size());
            continue;
        }
        uint32_t command = kCommands[sel % (sizeof kCommands / sizeof kCommands[0])];
        std::string before = command == w::kCmdApply ? Everything(s) : std::string();
        auto r = s.Ioctl(command, p, len);
        if (command == w::kCmdApply && r.status != 0 && r.status != w::kStatusNoChange &&
            Everything(s) != before)
            std::abort();
    }
    for (const char* packet : {"in tcp 10.0.0.1:1000 10.0.0.2:443",
                               "out udp [2001:db8::1]:53 [2001:db8::2]:53 attr APP_ID=DNS",
                               "in icmp 10.0.0.1 10.0.0.2 icmp 8 0 smac=02:00:00:00:00:01",
                               "in tcp 10.0.0.1:1 10.0.0.2:2 time=2026-12-07T10:00:00Z"}) {
        std::vector<std::string> words;
        std::string t = packet;
        for (size_t i = 0, j; i < t.size(); i = j + 1) {
            j = t.find(' ', i);
            if (j == std::string::npos)
                j = t.size();
            words.push_back(t.substr(i, j - i));
        }
        Packet pkt;
        if (!ParsePacket(words, &pkt, &why))
            std::abort();
        for (const auto& [name, f] : s.Filters())
            Evaluate(s, f, pkt);
    }
    s.Dump();
    return 0;
}
