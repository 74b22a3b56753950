// Stands in for the DVS property conversion engine in a tree that does not have it yet: it accepts
// every call and programs nothing, so that the configuration application runs its session, VIF
// state and IP discovery. Built only while DVSPropConvertor.cc is absent (see CMakeLists.txt).
#include <boost/property_tree/ptree.hpp>

#include "apps/switching/DVSPropConvertorFactory.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

class PlaceholderConvertor : public IDVSPropConvertor {
  public:
    void Init(const boost::property_tree::ptree&) override {
        CFG_WARN("ConfigApp: no DVS property conversion in this build; ports are not programmed");
    }
    void Stop() override {}
    void ProcessConfigPropertyUpdate(ObjectType, const std::string&, Operation, PropertyType,
                                     const std::string&) override {}
    void ProcessConfigEntityUpdate(ObjectType, const std::string&, Operation) override {}
    void HandleTransportNodes(const CairnDBUpdateList&, bool) override {}
    void HandleConfigSpans(const CairnDBUpdateList&, bool) override {}
    void HandleOffloadedHostSwitches(const CairnDBUpdateList&, bool) override {}
    void HandleCcpSessions(const CairnDBUpdateList&, bool) override {}
    void HandleGlobalConfigs(const CairnDBUpdateList&, bool) override {}
    void SendPortUnblockUpdate(const std::set<std::string>&,
                               const std::set<std::string>&) override {}
    void ProcessVifInfoUpdate(const DvsVifInfo&) override {}
    void AddUplink(const DvsUplink&) override {}
    void DeleteUplink(const DvsUplink&) override {}
    void ApplyFullSyncUplinks(const std::vector<DvsUplink>&) override {}
    void MarkPortOutOfSync(const std::string&) override {}
    void MarkKrnnicOutOfSync(const std::string&) override {}
    void QueueHopoverSync(const std::string&, uint16_t) override {}
    void RemoveFromHopoverSyncQueue(const std::string&) override {}
    void ResetSyncState() override {}
    void OnDataplaneFullSyncDone() override {}
    void OnDataplaneDisconnected() override {}
    void PushFullState() override {}
    void OnDaemonHealthStateUpdate(bool) override {}
};

}  // namespace

std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp*, StateCache*) {
    return std::make_unique<PlaceholderConvertor>();
}

}  // namespace CfgAgent
