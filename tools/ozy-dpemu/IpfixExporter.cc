#include "tools/ozy-dpemu/IpfixExporter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"

namespace ozy::dpemu {

namespace {

constexpr size_t kHead = 17;
constexpr size_t kEntry = 19;
constexpr uint16_t kTemplateId = 256;

void Put(std::vector<uint8_t>& v, uint64_t x, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

uint64_t Get(const uint8_t* p, int bytes) {
    uint64_t x = 0;
    for (int i = 0; i < bytes; ++i)
        x = x << 8 | p[i];
    return x;
}

bool IsLoopback(const IpfixPortSettings::Collector& c) {
    if (!c.ipv6)
        return c.address[0] == 127;
    static const uint8_t kV6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(c.address, kV6Loopback, 16) == 0;
}

std::string Text(const IpfixPortSettings::Collector& c) {
    char a[INET6_ADDRSTRLEN] = {};
    inet_ntop(c.ipv6 ? AF_INET6 : AF_INET, c.address, a, sizeof a);
    return c.ipv6 ? "[" + std::string(a) + "]:" + std::to_string(c.port)
                  : std::string(a) + ":" + std::to_string(c.port);
}

// Sends `msg` to the collector; "" or what failed.
std::string SendTo(const IpfixPortSettings::Collector& c, const std::vector<uint8_t>& msg) {
    int fd = ::socket(c.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::strerror(errno);
    ssize_t n;
    if (c.ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(c.port);
        std::memcpy(&a.sin6_addr, c.address, 16);
        n = ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(c.port);
        std::memcpy(&a.sin_addr, c.address, 4);
        n = ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(msg.size()))
        return n < 0 ? std::strerror(err) : "short send";
    return std::string();
}

}  // namespace

bool ParseIpfixPortSettings(const std::vector<uint8_t>& v, IpfixPortSettings* out) {
    if (v.size() < kHead || (v.size() - kHead) % kEntry != 0)
        return false;
    IpfixPortSettings s;
    s.observationDomainId = static_cast<uint32_t>(Get(v.data(), 4));
    s.samplingLocation = v[4];
    for (size_t off = kHead; off < v.size(); off += kEntry) {
        IpfixPortSettings::Collector c;
        c.ipv6 = v[off] == 0;
        std::memcpy(c.address, &v[off + 1], 16);
        // An IPv4 address uses the first four bytes; the rest must be zero.
        if (!c.ipv6) {
            for (size_t i = 4; i < 16; ++i) {
                if (c.address[i] != 0)
                    return false;
            }
        }
        c.port = static_cast<uint16_t>(Get(&v[off + 17], 2));
        s.collectors.push_back(c);
    }
    *out = std::move(s);
    return true;
}

std::vector<uint8_t> BuildIpfixMessage(uint32_t domain, uint32_t exportTime, uint32_t sequence,
                                       const IpfixFlow& f) {
    static const uint16_t kFields[][2] = {{8, 4}, {12, 4}, {7, 2},   {11, 2}, {4, 1},
                                          {2, 8}, {1, 8},  {152, 8}, {153, 8}};
    constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
    std::vector<uint8_t> m;
    Put(m, 10, 2);
    Put(m, 0, 2);  // length, set below
    Put(m, exportTime, 4);
    Put(m, sequence, 4);
    Put(m, domain, 4);
    // Template set (id 2): one template record.
    Put(m, 2, 2);
    Put(m, 4 + 4 + 4 * kFieldCount, 2);
    Put(m, kTemplateId, 2);
    Put(m, kFieldCount, 2);
    for (const auto& field : kFields) {
        Put(m, field[0], 2);
        Put(m, field[1], 2);
    }
    // Data set: one record of the template.
    size_t data = m.size();
    Put(m, kTemplateId, 2);
    Put(m, 0, 2);
    Put(m, f.source, 4);
    Put(m, f.destination, 4);
    Put(m, f.sourcePort, 2);
    Put(m, f.destinationPort, 2);
    Put(m, f.protocol, 1);
    Put(m, f.packets, 8);
    Put(m, f.octets, 8);
    Put(m, f.startMs, 8);
    Put(m, f.endMs, 8);
    size_t dataLength = m.size() - data;
    m[data + 2] = static_cast<uint8_t>(dataLength >> 8);
    m[data + 3] = static_cast<uint8_t>(dataLength);
    m[2] = static_cast<uint8_t>(m.size() >> 8);
    m[3] = static_cast<uint8_t>(m.size());
    return m;
}

bool IpfixExporter::Export(const std::string& portId, const std::vector<uint8_t>& value,
                           nlohmann::json* reply, std::string* error) {
    IpfixPortSettings s;
    if (!ParseIpfixPortSettings(value, &s)) {
        *error = "port " + portId + ": ipfix value of " + std::to_string(value.size()) +
                 " bytes does not fit its layout";
        return false;
    }
    if (s.collectors.empty()) {
        *error = "port " + portId + " has no IPFIX collector";
        return false;
    }
    using namespace std::chrono;
    uint64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    IpfixFlow flow;
    flow.source = 0xc000020a;       // 192.0.2.10
    flow.destination = 0xc6336414;  // 198.51.100.20
    flow.sourcePort = 49152;
    flow.destinationPort = 443;
    flow.protocol = 6;
    flow.packets = 10;
    flow.octets = 1500;
    flow.startMs = now - 1000;
    flow.endMs = now;
    uint32_t& seq = sequence_[s.observationDomainId];
    std::vector<uint8_t> msg =
        BuildIpfixMessage(s.observationDomainId, static_cast<uint32_t>(now / 1000), seq, flow);
    nlohmann::json sent = nlohmann::json::array();
    nlohmann::json skipped = nlohmann::json::array();
    for (const auto& c : s.collectors) {
        std::string why = IsLoopback(c) ? SendTo(c, msg) : "not a loopback address";
        if (why.empty()) {
            sent.push_back(Text(c));
        } else {
            skipped.push_back({{"collector", Text(c)}, {"why", why}});
        }
    }
    if (!sent.empty())
        ++seq;
    CFG_INFO("ozy-dpemu: ipfix: port %1 domain %2: %3 message(s) of %4 bytes sent", portId,
             s.observationDomainId, sent.size(), msg.size());
    *reply = {{"port", portId},
              {"observation_domain_id", s.observationDomainId},
              {"bytes", msg.size()},
              {"sent", sent},
              {"skipped", skipped}};
    return true;
}

}  // namespace ozy::dpemu
