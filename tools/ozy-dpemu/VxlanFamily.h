#pragma once
// The host side of the VXLAN family (dataplane/VxlanProtocol.h), as the dataplane's overlay module
// plays it.
//
// - Session Open: answered with Open ACK (same session ID), then the host's state (instance
//   inserts, VNI joins, the local VTEPs and MACs of every joined VNI, the local routing-domain
//   VTEPs; VxlanTables::FullSyncMessages, split at the agent's maximum), then Full Sync End.
//   "dpemu/vxlan-hold-fullsync on" holds the Full Sync End back until "off".
// - Everything else the agent sends goes through VxlanTables::Apply; a State query is answered
//   with a State report.
// - "dpemu/vxlan-query mac|arp|nd VNI ADDR..." sends a Query; the agent's reply is kept as the
//   dump's "last_query_reply".
// - "dpemu/vxlan-tep-alarm NIC STATE fault|ha-active|auto-recovery [REASON_BITS]" sends a TEP
//   alarm (type 17) about kernel NIC NIC of host switch kTepSwitchName, STATE up|down|degraded,
//   on the session's connection (or the last one when no session is open): alarms are events,
//   never restated by a full sync.
// - Injections change the host's state and, while a session is open (acknowledged, whether or not
//   its Full Sync End was sent), report the change at once; otherwise the next full sync carries
//   it.
// Every message from the agent is checked: one over the maximum length the agent announced, of a
// type it never sends, or that does not fit its layout is logged with the reason, counted, kept in
// the dump's "errors" and dropped.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/VxlanTables.h"

namespace ozy::dpemu {

class VxlanFamily : public FamilyHandler {
  public:
    static constexpr size_t kKeptErrors = 32;
    // Most MACs one vxlan-mac-learn-bulk may add.
    static constexpr uint32_t kMaxBulkMacs = 1u << 20;
    // The host switch the TEP alarms name.
    static constexpr const char* kTepSwitchName = "dvs-1";

    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    // "dpemu/out-of-sync vxlan [DT] [BYTE]": a State report (data type 1 and byte 1 by default).
    CommandResult OutOfSync(const std::vector<std::string>& args) override;
    void RegisterCommands(CommandTable& table) override;

    const VxlanTables& Tables() const { return tables_; }

  private:
    enum class SessionState { kIdle, kOpen, kSynced };

    void HandleSessionControl(uint64_t conn, const CfgAgent::vxlan::MsgView& msg);
    // Sends on the session's connection; false when there is no open session or a send failed.
    bool SendInSession(const std::vector<CfgAgent::DpMsg>& msgs);
    bool SendTo(uint64_t conn, const CfgAgent::DpMsg& msg);
    bool InSession() const { return sessionState_ != SessionState::kIdle && sessionConn_ != 0; }
    // "...; sent in session N" or "...; reported at the next full sync".
    CommandResult Reported(const std::string& what, const std::vector<CfgAgent::DpMsg>& msgs);
    VxlanTables::Vni* JoinedVni(const std::string& text, uint32_t* vni, std::string* error);
    void Error(uint64_t conn, const std::string& text);

    CommandResult Instance(const std::vector<std::string>& args);
    CommandResult Join(const std::vector<std::string>& args);
    CommandResult Leave(const std::vector<std::string>& args);
    CommandResult LocalVtep(const std::vector<std::string>& args);
    CommandResult MacLearn(const std::vector<std::string>& args);
    CommandResult MacAge(const std::vector<std::string>& args);
    CommandResult MacLearnBulk(const std::vector<std::string>& args);
    CommandResult RdVtep(const std::vector<std::string>& args);
    CommandResult Raw(const std::vector<std::string>& args);
    CommandResult Query(const std::vector<std::string>& args);
    CommandResult HoldFullSync(const std::vector<std::string>& args);
    CommandResult InjectTepAlarm(const std::vector<std::string>& args);
    // The session's connection, else the last one; 0 when no agent is connected.
    uint64_t AgentConn() const;

    VxlanTables tables_;

    uint64_t sessionConn_ = 0;
    SessionState sessionState_ = SessionState::kIdle;
    uint32_t sessionId_ = 0;
    uint64_t sessionsOpened_ = 0;
    double sessionOpenedMs_ = 0;  // the last Session Open's arrival (SteadyMs), 0 before one
    // When the messages of the last report sent in session began to go out (SteadyMs), 0 before
    // one: a benchmark times the agent from there, not from its request (whose entries the
    // emulator makes first).
    double reportSentMs_ = 0;
    bool holdFullSync_ = false;
    bool fullSyncHeld_ = false;

    uint64_t messages_ = 0;
    uint64_t sent_ = 0;
    uint64_t malformed_ = 0;
    uint64_t tepAlarms_ = 0;
    std::map<std::string, uint64_t> byType_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
