#pragma once
// L2AlarmReporter: raises the TEP alarms the dataplane reports (VXLAN message type 17) through the
// event source "cfgAgent_l2" (component "l2AlarmReporter").
//
// Alarms: a kernel NIC fault of a TEP (raised; cleared when the TEP is reported up again), a TEP
// that became active on its HA pair, a TEP recovered automatically. Each carries the transport
// node, the TEP's kernel NIC, its state, the host switch and the DPU serving it (empty off a
// DPU), as string fields in a fixed order; a fault also its reasons, built from the reason bits.
// The entity is "<host switch>/<kernel NIC>".
//
// The transport node comes from the configuration (TRANSPORT_NODE_CONFIG). Alarms that arrive
// before it is known are kept, one per (kernel NIC, alarm kind) with the latest winning, so that
// their number is bounded by the host's TEPs (and by kMaxPending whatever the dataplane sends), and
// raised once it is known; a new L2 mapping session forgets them (the dataplane restates what still
// holds). Malformed messages, kernel NIC names of another form and unknown kinds or states are
// logged with LCP00407 and dropped.
//
// Not thread-safe: L2App calls it under the global agent lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace ozy::monitoring {
class AlarmTable;
class EventSourceAPI;
}  // namespace ozy::monitoring

namespace CfgAgent {

class L2AlarmReporter {
  public:
    static constexpr const char* kSource = "cfgAgent_l2";
    static constexpr const char* kComponent = "l2AlarmReporter";
    // Event types of the three alarms.
    static constexpr uint32_t kEventTepKrnnicFault = 1701;
    static constexpr uint32_t kEventTepHaActive = 1702;
    static constexpr uint32_t kEventTepAutoRecovery = 1703;
    // Most pending alarms kept (kernel NICs x kinds of a host stay far below).
    static constexpr size_t kMaxPending = 256;

    // `table` defaults to the process's alarm table.
    explicit L2AlarmReporter(ozy::monitoring::AlarmTable* table = nullptr);
    ~L2AlarmReporter();
    L2AlarmReporter(const L2AlarmReporter&) = delete;
    L2AlarmReporter& operator=(const L2AlarmReporter&) = delete;

    // Creates and starts the event source; false (with its lines) when it cannot.
    bool Start();
    void Stop();

    // A TEP alarm message from the dataplane (the whole message, header included).
    void HandleVxlanTEPAlarm(const uint8_t* msg, size_t length);
    // The transport node's id (text); empty while unknown. Raises the pending alarms once known.
    void SetTransportNode(const std::string& id);
    // The SmartNIC serving this DPU's host switch (its id), from the backing object; only on a
    // DPU (persona 2), skipped elsewhere.
    void SetBacking(const std::string& activeSn);
    // A new L2 mapping session: the pending alarms are forgotten.
    void ClearPending();

    size_t pendingCount() const { return pending_.size(); }
    const std::string& transportNode() const { return transportNode_; }

    // "BFD tunnels from TEP are down" and "TEP does not have an v4|v6|all IP address", joined
    // with "; ", for the reason bits of a fault.
    static std::string FaultReason(uint8_t reasons);
    // A kernel NIC name of the form the dataplane gives its TEPs: "vmk" and 1-4 digits.
    static bool ValidKrnName(const std::string& name);

  private:
    struct Alarm {
        std::string nic;
        std::string hostSwitch;
        uint8_t kind = 0;
        uint8_t state = 0;
        uint8_t reasons = 0;
    };
    void Report(const Alarm& alarm);
    void reportPendingAlarms();

    ozy::monitoring::AlarmTable* table_;
    std::unique_ptr<ozy::monitoring::EventSourceAPI> source_;
    std::string transportNode_;
    std::string dpuId_;
    std::map<std::pair<std::string, uint8_t>, Alarm> pending_;  // by (kernel NIC, kind)
    bool pendingOverflowLogged_ = false;
};

}  // namespace CfgAgent
