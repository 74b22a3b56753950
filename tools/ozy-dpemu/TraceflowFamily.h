#pragma once
// The host side of the traceflow family (dataplane/TraceflowProtocol.h), as the dataplane plays
// it.
//
// - INJECT: decoded strictly (round ID, DVS port, packet of 1-1500 bytes, each exactly once) and
//   kept; in auto mode (on by default) answered with forward, receive and deliver observations
//   built from the KCP tables: the port's VNI and the VIF on the port.
// - INT_CONFIG: exactly 10 bytes, mode (host byte order) 0-2; kept with its bytes.
// - INTERNAL: the agent's reply to dpemu/traceflow-internal is counted.
// Commands: dpemu/traceflow-observe JSON (any observation: {"type": 3, "drop_reason": 5, ...}),
// dpemu/traceflow-raw HEX, dpemu/traceflow-auto on|off, dpemu/traceflow-internal.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class KcpFamily;

class TraceflowFamily : public FamilyHandler {
  public:
    static constexpr size_t kKept = 64;

    void OnConnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;
    void FindPeers(const PeerLookup& lookup) override;

    // Builds an observation message from its JSON description; false with the reason.
    static bool BuildObservation(const nlohmann::json& obs, std::vector<uint8_t>* out,
                                 std::string* error);

  private:
    void HandleInject(uint64_t conn, const uint8_t* msg, size_t size);
    void HandleIntConfig(const uint8_t* msg, size_t size);
    void AutoAnswer(uint64_t conn, uint64_t round, const std::string& dvport);
    bool SendAll(const std::vector<uint8_t>& msg);
    CommandResult Observe(const std::vector<std::string>& args);
    CommandResult Raw(const std::vector<std::string>& args);
    CommandResult Auto(const std::vector<std::string>& args);
    CommandResult Internal(const std::vector<std::string>& args);
    void Error(const std::string& text);

    KcpFamily* kcp_ = nullptr;
    bool auto_ = true;
    uint64_t connects_ = 0;
    uint64_t observationsSent_ = 0;
    uint64_t internalReplies_ = 0;
    std::deque<nlohmann::json> injections_;
    nlohmann::json intConfig_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
