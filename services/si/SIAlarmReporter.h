#pragma once
// SIAlarmReporter: the service-insertion infrastructure alarm, on the event source "cfgAgent_si".
//
// Each Poll asks the dataplane (its own ISIDataplane: device handles apart from SIApp's) for the
// service-insertion status (SI_Ioctl kSiGetStatus) and the service-platform status (spf, 8195),
// and raises one alarm (entity "si") whose context holds "transport_node_id" and
// "failure_reason" while either reports a fault, clearing it once both are healthy again. A query
// that fails tells nothing: the alarm stays as it is. The reason follows the faults that hold;
// a change of reason or transport node raises the alarm again with the new context.
//
// Threads: Poll is called from SIApp's loop only; Start and Stop from the application's.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ozy::monitoring {
class AlarmTable;
class EventSourceAPI;
}  // namespace ozy::monitoring

namespace CfgAgent::si {

class ISIDataplane;

class SIAlarmReporter {
  public:
    static constexpr const char* kSource = "cfgAgent_si";
    static constexpr const char* kComponent = "siAlarmReporter";
    static constexpr const char* kEntity = "si";
    static constexpr uint32_t kEventInfraDown = 1720;
    static constexpr const char* kReasonSiDown =
        "Traffic failed to redirect to service due to service insertion infra down";
    static constexpr const char* kReasonSpf =
        "Incorrect host switch config or missing key component";

    // `transportNode` gives the transport node's id text (empty while unknown); `table`
    // defaults to the process's alarm table.
    SIAlarmReporter(ISIDataplane& dataplane, std::function<std::string()> transportNode,
                    ozy::monitoring::AlarmTable* table = nullptr);
    ~SIAlarmReporter();
    SIAlarmReporter(const SIAlarmReporter&) = delete;
    SIAlarmReporter& operator=(const SIAlarmReporter&) = delete;

    bool Start();
    void Stop();
    void Poll();
    bool Raised() const { return !raisedReason_.empty(); }

  private:
    ISIDataplane& dataplane_;
    std::function<std::string()> transportNode_;
    ozy::monitoring::AlarmTable* table_;
    std::unique_ptr<ozy::monitoring::EventSourceAPI> source_;
    std::string raisedReason_;  // empty: not raised
    std::string raisedNode_;
};

}  // namespace CfgAgent::si
