#pragma once
// TraceflowApp (component TF, application "traceflow"): packet tracing on this host.
//
// - Requests come from the operations agent over its link (TraceflowRequestMsg; no database
//   object carries them): the source port is resolved through the state cache to its DVS port,
//   and one INJECT goes to the dataplane. A request the dataplane cannot take now (kernel link
//   down) is refused at once (LCP01006) rather than queued; a malformed one is refused (LCP01005)
//   with nothing sent; each gets a TraceflowStatusMsg back.
// - Observations (types 2-10) from the dataplane are decoded strictly, their codes named, VNI and
//   VLAN resolved to logical switches and VIFs to logical switch ports, and sent to the
//   operations agent (LCP01007 when that fails).
// - The INT configuration of GLOBAL_CONFIG (component TF of the dispatcher) is pushed to the
//   dataplane, and again whenever the link comes back up.
//
// Threads: dispatcher batches on the dispatcher thread, link handlers on the link's thread,
// dataplane messages on the kernel link's receiver; shared state is under the global agent lock.
// The VIF-to-port and VLAN-to-switch indexes follow the configuration table as its observer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "dataplane/DataplaneLink.h"
#include "dataplane/KrnlinkFactory.h"
#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"

namespace orvane::ozy::lcp {
class LcpDpMsg;
class TraceflowObservationMsg;
}  // namespace orvane::ozy::lcp

namespace CfgAgent {

class ICfgUdsLink;
class IStateCacheConfigTable;
class MsgDispatcher;

namespace traceflow {
struct Observation;
}

struct TraceflowAppOptions {
    IStateCacheConfigTable* configTable = nullptr;
    MsgDispatcher* dispatcher = nullptr;
    ICfgUdsLink* opsLink = nullptr;
    KrnlinkFactory makeLink;  // default: the system's kernel links
};

class TraceflowApp : public ozy::RefCounted<TraceflowApp, Component>, public SCConfigTableObserver {
  public:
    static constexpr const char* kLinkPathKey = "krnlink.path";
    static constexpr int kLinkBufferSize = 4096;

    explicit TraceflowApp(TraceflowAppOptions options);
    ~TraceflowApp() override;

    void Start(const boost::property_tree::ptree& config);
    void Stop();

    // Dispatcher: GLOBAL_CONFIG records.
    void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) override;
    // Configuration table: logical switches and their ports, for the indexes.
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;

    // Handlers (public for tests).
    void HandleRequest(const orvane::ozy::lcp::LcpDpMsg& msg);
    void HandleDpMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);

    bool LinkDown() const { return linkDown_.load(); }

  private:
    bool SendToDataplane(DpMsg msg, uint16_t type);
    void SendIntConfig();
    void HandleObservation(const uint8_t* msg, size_t length, uint16_t type);
    bool ConvertObservation(const traceflow::Observation& o,
                            orvane::ozy::lcp::TraceflowObservationMsg* out);
    void SendStatus(uint64_t round, bool ok, const char* code, const std::string& text);

    TraceflowAppOptions options_;
    ozy::RefPtr<DataplaneLink> link_;
    std::atomic<bool> linkDown_{true};
    bool stopped_ = false;

    // Under the global agent lock.
    std::optional<uint32_t> intMode_;
    uint32_t intDscp_ = 0;
    std::map<std::string, std::string> lspByVif_;  // VIF id -> serialized LSP UuidMsg
    std::map<std::string, std::string> vifByLsp_;
    std::map<uint32_t, std::string> lsByVlan_;  // VLAN -> serialized LS UuidMsg
    std::map<std::string, uint32_t> vlanByLs_;
};

}  // namespace CfgAgent
