#pragma once
// The host side of the configuration family (KCP), as the dataplane plays it.
//
// - Session Open: answered with Open ACK (same session ID), then one VIF Update per batch of the
//   VIFs connected right now (status CONNECT, operation FULL SYNC), then Session Full Sync End.
// - Update: applied to KcpTables; fragments are joined per connection and applied when the last
//   one arrives.
// - Query (DP Status): answered with a DP Status notification. Init: the agent's maximum message
//   length is kept per connection and used for what is sent back on that connection.
// - Injections: dpemu/vif-connect and dpemu/vif-disconnect send a VIF Update (UPDATE, status
//   CONNECT or DISCONNECT) while a session is open; "dpemu/out-of-sync kcp [port VIF | krnnic
//   NAME | hopover VIF TYPE]" sends the matching notification. A VIF is a VNIC unless
//   "--type vnic|krnnic|container" says otherwise; a container VIF needs "--parent VIF_ID" (the
//   VIF record's parent field), which no other type takes.
// - Kernel NICs: this family also serves the virtual-switch device "/dev/vswitch" (VswitchDevice),
//   whose kernel NIC addresses "dpemu/krnnic-add NAME IP MASK SWITCH" sets (connecting the NIC's
//   VIF, type krnnic on port NAME, unless it is connected already) and "dpemu/krnnic-del NAME"
//   removes (disconnecting it).
// - Receipts, for latency measurements: after "dpemu/kcp-receipts start" every port property
//   record received is logged with the CLOCK_MONOTONIC time of the Update that carried it (of its
//   last fragment); "read" hands the log over and empties it, "stop" ends and forgets it.
// Malformed input is logged with the reason, counted, kept in the dump's "errors" and dropped.
//
// Messages the dataplane sends are never fragmented across records: VIF records are batched into
// complete Updates, and only a single record too large for one message is spread over fragments,
// which keeps ConfigApp's join of fragments (first record head, concatenated properties) exact.
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/KcpBuilders.h"
#include "tools/ozy-dpemu/FcVswitchDevices.h"
#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/IpfixExporter.h"
#include "tools/ozy-dpemu/KcpTables.h"

namespace ozy::dpemu {

class KcpFamily : public FamilyHandler {
  public:
    // Largest Update joined from fragments: a full push of a host with a few hundred thousand
    // ports fits (about 200 bytes each); beyond it the Update is refused as runaway input.
    static constexpr size_t kMaxJoinedUpdate = 256u * 1024u * 1024u;
    static constexpr size_t kKeptErrors = 32;
    // Receipts held until read; beyond, further ones are only counted.
    static constexpr size_t kMaxReceipts = 1000000;

    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    CommandResult OutOfSync(const std::vector<std::string>& args) override;
    void RegisterCommands(CommandTable& table) override;
    SharedDevice Device() override;
    void FindPeers(const PeerLookup& lookup) override;
    const VswitchDevice& Vswitch() const { return vswitch_; }

    const KcpTables& Tables() const { return tables_; }
    // The VIF on a DVS port: one connected with dpemu/vif-connect, else one the agent sent; ""
    // when none.
    std::string VifOfPort(const std::string& portId) const;

  private:
    struct ConnectedVif {
        std::string portId;
        std::string switchId;
        std::optional<CfgAgent::kcp::MacAddr> mac;
        uint8_t type = CfgAgent::kcp::kVifVnic;
        std::string parentVifId;
        bool smartNic = false;
    };
    enum class SessionState { kIdle, kSynced, kClosed };

    void HandleSessionControl(uint64_t conn, const CfgAgent::kcp::KcpMsgView& msg);
    void HandleUpdate(uint64_t conn, const CfgAgent::kcp::KcpMsgView& msg);
    void HandleQuery(uint64_t conn, const CfgAgent::kcp::KcpMsgView& msg);
    void HandleInit(uint64_t conn, const CfgAgent::kcp::KcpMsgView& msg);
    // The maximum message length the agent gave on `conn` (its Init), or the default.
    size_t MaxMsgLengthOf(uint64_t conn) const;
    // Sends VIF records (batched, see above); false when a send failed.
    bool SendVifRecords(uint64_t conn, uint8_t op,
                        const std::vector<CfgAgent::kcp::VifRecordSpec>& records);
    bool SendTo(uint64_t conn, const CfgAgent::DpMsg& msg);
    uint64_t SessionConn() const;
    CfgAgent::kcp::VifRecordSpec VifSpec(const std::string& vifId, const ConnectedVif& vif,
                                         uint8_t status) const;
    CommandResult VifConnect(const std::vector<std::string>& args);
    CommandResult VifDisconnect(const std::vector<std::string>& args);
    CommandResult Receipts(const std::vector<std::string>& args);
    // Applies an Update's elements, logging the port records in it when receipts are recorded.
    void Apply(uint64_t conn, const uint8_t* elements, size_t size, int64_t receivedNs);
    // Records the VIF and reports it when a session is open.
    CommandResult Connect(const std::string& vifId, const ConnectedVif& vif);
    CommandResult KrnnicAdd(const std::vector<std::string>& args);
    CommandResult KrnnicDel(const std::vector<std::string>& args);
    void Error(uint64_t conn, const std::string& text);

    KcpTables tables_;
    IpfixExporter ipfix_;
    std::map<std::string, ConnectedVif> connectedVifs_;
    // The firewall family, for vif-connect's "filter" (null without one).
    class TarpFamily* tarp_ = nullptr;
    VswitchDevice vswitch_;

    uint64_t sessionConn_ = 0;
    SessionState sessionState_ = SessionState::kIdle;
    uint32_t sessionId_ = 0;
    uint64_t sessionsOpened_ = 0;
    uint8_t dpStatus_ = CfgAgent::kcp::kDpStatusSync;
    std::map<uint64_t, size_t> maxMsgLength_;  // by connection, from its Init

    std::map<uint64_t, std::vector<uint8_t>> pendingFragments_;
    std::map<uint64_t, size_t> pendingFragmentCount_;

    uint64_t messages_ = 0;
    uint64_t updates_ = 0;
    uint64_t fragments_ = 0;
    uint64_t malformed_ = 0;
    std::map<std::string, uint64_t> byType_;
    std::deque<std::string> errors_;

    struct Receipt {
        int64_t monotonicNs;
        std::string portId;
    };
    bool recordReceipts_ = false;
    std::vector<Receipt> receipts_;
    uint64_t receiptsDropped_ = 0;
};

// "aa:bb:cc:dd:ee:ff" (hex digits, either case); false for anything else.
bool ParseMac(const std::string& text, CfgAgent::kcp::MacAddr* out);
// A dotted IPv4 address ("169.254.1.1", four decimal octets), host byte order; false otherwise.
bool ParseIpv4(const std::string& text, uint32_t* out);

}  // namespace ozy::dpemu
