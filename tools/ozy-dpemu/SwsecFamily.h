#pragma once
// The host side of the switch-security family (dataplane/SwsecProtocol.h), as the dataplane's
// switch-security module plays it on the IP-discovery link.
//
// - "dpemu/swsec-solicit VIF_ID" sends a VM-tools binding solicitation for the VIF to the agent
//   (its most recent connection).
// - Every VM-tools bindings message the agent sends is kept by VIF (the latest one wins) and shown
//   in the dump with its addresses and MACs.
// Malformed input is logged with the reason, counted, kept in the dump's "errors" and dropped.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "dataplane/SwsecProtocol.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class SwsecFamily : public FamilyHandler {
  public:
    static constexpr size_t kKeptErrors = 32;

    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;

  private:
    CommandResult Solicit(const std::vector<std::string>& args);
    void Error(uint64_t conn, const std::string& text);

    uint64_t connects_ = 0;
    uint64_t messages_ = 0;
    uint64_t solicitations_ = 0;
    uint64_t replies_ = 0;
    uint64_t malformed_ = 0;
    std::map<std::string, std::vector<CfgAgent::swsec::BindingEntry>> bindings_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
