#pragma once
// The service-insertion family on "ozy_tarp_si_krnlink" (dataplane/SiProtocol.h). The dataplane
// only speaks on this link; what the agent programs arrives through SI_Ioctl on the firewall
// device and is kept by the firewall family's SiTables, which this family finds as its peer
// ("filter") and shows in its dump.
//
// Commands:
//   dpemu/si-endpoint VIF_ID   an INSTANCE_ENDPOINT message with the VIF id to the agent
//   dpemu/si-raw HEX           the bytes as they are (bad-input tests)
//   dpemu/si-status down|up    what the device answers to the agent's status query
//   dpemu/si-summary           counts only: chains, their used slots, NSH entries, failed SPIs
// Anything the agent sends on the link is counted and, as the dataplane knows no such message,
// kept among the errors.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class SiTables;

class SiFamily : public FamilyHandler {
  public:
    static constexpr size_t kKeptErrors = 16;

    void OnConnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;
    void FindPeers(const PeerLookup& lookup) override;

    CommandResult Endpoint(const std::vector<std::string>& args);
    CommandResult Raw(const std::vector<std::string>& args);
    CommandResult Status(const std::vector<std::string>& args);

  private:
    CommandResult SendToAgent(const CfgAgent::DpMsg& msg, const std::string& what);

    SiTables* tables_ = nullptr;
    uint64_t connects_ = 0;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
