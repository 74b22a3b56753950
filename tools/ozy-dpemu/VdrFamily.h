#pragma once
// The host side of the distributed-router family (VDR), as the dataplane plays it.
//
// - Connect: the tables are reset (the dataplane starts empty for every agent connection); the
//   agent then sends its full sync and a Full Sync End.
// - Update, ARP table update: read strictly (VdrWalk.h) and applied to VdrTables; DAD status
//   updates are also kept in the order received ("dad_updates"). Full Sync End is counted.
// - Injections: "dpemu/vdr-fullsync-request all|VDR_ID" clears what it asks for (everything, or
//   that router) and sends the request; "dpemu/vdr-dad-report VDR LIF VERSION_UUID LS_UUID
//   [IP=STATUS...]" sends a DAD status report (no entries: every address removed; VERSION_UUID
//   "-" for none); "dpemu/vdr-raw HEX" sends any bytes. The dataplane never answers a DAD status
//   update with a report.
// Malformed input and elements that do not fit the tables are logged with the reason, counted,
// kept in the dump's "errors" and dropped.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/VdrTables.h"

namespace ozy::dpemu {

class VdrFamily : public FamilyHandler {
  public:
    static constexpr size_t kKeptErrors = 32;
    static constexpr size_t kKeptDadUpdates = 64;

    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;

    const VdrTables& Tables() const { return tables_; }
    uint64_t FullSyncEnds() const { return fullSyncEnds_; }
    uint64_t ErrorCount() const { return errorCount_; }

  private:
    struct DadUpdate {
        uint32_t vdrId = 0;
        std::string lif;
        std::string version;
        std::vector<CfgAgent::vdr::DadEntry> entries;
    };

    void Error(uint64_t conn, const std::string& text);
    CommandResult FullSyncRequest(const std::vector<std::string>& args);
    CommandResult DadReport(const std::vector<std::string>& args);
    CommandResult Raw(const std::vector<std::string>& args);
    CommandResult Summary() const;
    CommandResult RouteOf(const std::vector<std::string>& args) const;
    CommandResult SendToAgent(const CfgAgent::DpMsg& msg, const std::string& what);

    VdrTables tables_;
    uint64_t conn_ = 0;
    uint64_t connects_ = 0;
    uint64_t fullSyncEnds_ = 0;
    uint64_t messages_ = 0;
    uint64_t updates_ = 0;
    uint64_t elements_ = 0;
    uint64_t arpUpdates_ = 0;
    uint64_t dadUpdateCount_ = 0;
    uint64_t errorCount_ = 0;
    std::deque<DadUpdate> dadUpdates_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
