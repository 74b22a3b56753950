#pragma once
// The host side of the live-trace family (dataplane/LivetraceProtocol.h), as the dataplane plays
// it.
//
// - CREATE: decoded strictly (every element it needs exactly once, one to four actions of
//   distinct kinds, a free slot) and its filter checked with libpcap's bpf_validate before the
//   session takes the slot. DELETE frees the slot and ends each direction with INVALIDATE
//   (deleted).
// - Frames offered to a session (dpemu/livetrace-packet, or every packet of a pcap file with
//   dpemu/livetrace-pcap) get packet ids 1, 2, ... per session; a frame of a direction the
//   session traces that its program accepts (bpf_filter) is sampled per action and answered
//   with TRACE, PKTCAP (snap length applied) and counted for COUNTER. Messages longer than
//   kFragmentThreshold go as FRAGMENT pieces; dpemu/livetrace-frag-drop N withholds the last
//   piece of the next N such messages.
// - dpemu/livetrace-end SLOT barrier|invalidate [REASON] sends the counters and statistics and
//   ends each direction, then frees the slot.
// Commands also: dpemu/livetrace-meta JSON (offload flags, VLAN and VNI of the frames that
// follow), dpemu/livetrace-raw HEX.
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ozy-dpemu/Handlers.h"

struct bpf_insn;

namespace ozy::dpemu {

class LivetraceFamily : public FamilyHandler {
  public:
    static constexpr size_t kKept = 64;

    struct Action {
        uint8_t kind = 0;
        uint8_t direction = 0;
        uint8_t sampling = 0;
        uint32_t firstN = 0;
        uint32_t snapLength = 0;
        uint64_t taken = 0;  // packets this action took so far
    };
    struct Stats {
        uint64_t seen = 0, matched = 0, sampledOut = 0, captured = 0;
    };
    struct Session {
        uint64_t id = 0;
        std::array<uint64_t, 2> dvport{};
        std::array<uint64_t, 2> dvs{};
        uint32_t timeout = 0;
        uint8_t direction = 0;
        std::vector<Action> actions;
        std::vector<uint8_t> filter;  // the FILTER element's bytes, as received
        uint32_t nextPacketId = 1;
        Stats stats[2];           // forward, backward
        uint64_t counts[2] = {};  // packets counted at the source port's checkpoint
    };
    // What the frames that follow carry besides their bytes.
    struct Meta {
        uint16_t flags = 0;  // PktFlag bits other than reverse
        uint16_t vlan = 0;
        uint32_t vni = 0;
    };

    void OnConnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;

    // Offers one frame to the session in `slot`: true when the session's program accepted it.
    bool OfferFrame(uint32_t slot, const uint8_t* frame, size_t caplen, size_t wirelen,
                    bool reverse, uint64_t timestampNs);

  private:
    void HandleCreate(const uint8_t* msg, size_t size);
    void HandleDelete(const uint8_t* msg, size_t size);
    void EndDirections(Session& s, bool barrier, uint8_t reason);
    void SendCounters(Session& s, int dirIndex);
    bool Send(uint16_t type, const std::vector<uint8_t>& body);
    bool SendAll(const std::vector<uint8_t>& msg);
    CommandResult Packet(const std::vector<std::string>& args);
    CommandResult Pcap(const std::vector<std::string>& args);
    CommandResult End(const std::vector<std::string>& args);
    CommandResult SetMeta(const std::vector<std::string>& args);
    CommandResult FragDrop(const std::vector<std::string>& args);
    CommandResult Raw(const std::vector<std::string>& args);
    bool ParseSlot(const std::string& text, uint32_t* slot, std::string* error) const;
    void Error(const std::string& text);

    std::map<uint32_t, Session> slots_;
    Meta meta_;
    uint32_t nextChain_ = 1;
    uint64_t fragDrops_ = 0;
    uint64_t connects_ = 0;
    std::map<std::string, uint64_t> sentByType_;
    std::deque<nlohmann::json> ended_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu
