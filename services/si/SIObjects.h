#pragma once
// The service-insertion objects as SIApp keeps them, and their validation from the database's
// messages (proto/cairndb_si.proto). A message that fails a check is dropped with its log line
// and error code; nothing of it is kept.
//
// Checks: a policy needs its policy id, a known transport type (1 or 2), a failure policy and a
// service chain id; a chain its uuid, a service chain id of at most 10 bits and a path selection
// policy; a path its service path id (at most 24 bits), a service chain id (10 bits), and in each
// direction at least one hop with a MAC, every hop's SPI within 24 bits and its service index
// within 8.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/SiIoctls.h"

namespace orvane::ozy::cairndb {
class SiRedirectionPolicyMsg;
class SiServiceChainMsg;
class SiServicePathMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent::si {

constexpr uint32_t kTransportOverlay = 1;
constexpr uint32_t kTransportVlan = 2;
constexpr uint32_t kFailureAllow = 1;
constexpr uint32_t kFailureBlock = 2;
constexpr uint8_t kSelectAny = 0;
constexpr uint8_t kSelectLocal = 1;
constexpr uint8_t kSelectRemote = 2;

struct Hop {
    ozy::device::Mac mac{};  // all zero: the instance's MAC is not known yet
    uint32_t spi = 0;
    uint8_t si = 0;
    std::string dvs;  // empty: not in the overlay MAC table
    uint32_t ovl2 = 0;
    bool HasMac() const;
};

struct Direction {
    std::vector<Hop> hops;
    uint32_t local = 0;
    uint32_t cross = 0;
    uint32_t preference = 0;
};

struct Policy {
    std::string uuid;  // text
    uint32_t policyId = 0;
    uint32_t transport = 0;
    uint32_t failure = 0;
    uint32_t chainId = 0;
    std::string plane;
};

struct Chain {
    std::string uuid;
    uint16_t chainId = 0;
    uint8_t selection = kSelectAny;
};

struct Path {
    std::string uuid;
    uint32_t pathId = 0;
    uint16_t chainId = 0;
    Direction forward;
    Direction reverse;
    // Every hop of both directions has its MAC: the path can carry traffic.
    bool Usable() const;
};

// The uuid text of a message's id; empty when it has none.
std::string UuidOf(const orvane::ozy::cairndb::SiRedirectionPolicyMsg& m);
std::string UuidOf(const orvane::ozy::cairndb::SiServiceChainMsg& m);
std::string UuidOf(const orvane::ozy::cairndb::SiServicePathMsg& m);

std::optional<Policy> ValidatePolicy(const orvane::ozy::cairndb::SiRedirectionPolicyMsg& m);
std::optional<Chain> ValidateChain(const orvane::ozy::cairndb::SiServiceChainMsg& m);
std::optional<Path> ValidatePath(const orvane::ozy::cairndb::SiServicePathMsg& m);

const char* SelectionName(uint8_t selection);

}  // namespace CfgAgent::si
