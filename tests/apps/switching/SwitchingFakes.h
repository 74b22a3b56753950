#pragma once
// Fakes behind the interfaces the switching applications use: kernel links that record what is
// sent and let the test deliver messages and link status, a DVS property convertor that records
// every call; the database client is tests/support/FakeCairndbClient.h.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/IDVSPropConvertor.h"
#include "dataplane/KrnlinkFactory.h"
#include "tests/support/FakeCairndbClient.h"

namespace CfgAgent::test {

class FakeLink : public DataplaneLink {
  public:
    FakeLink(std::string name, LinkReceiveHandler receive, LinkStatusHandler status)
        : name(std::move(name)), receive_(std::move(receive)), status_(std::move(status)) {}

    bool Start() override {
        started = true;
        return true;
    }
    void Stop() override {
        stopped = true;
        if (up)
            Down();
    }
    void ScheduleReopen() override {}
    bool Send(DpMsg msg) override {
        std::lock_guard<std::mutex> l(m);
        if (failSends)
            return false;
        sent.push_back(std::move(msg));
        return true;
    }

    void Up() {
        up = true;
        status_(this, kLinkUp);
    }
    void Down() {
        up = false;
        status_(this, kLinkDown);
    }
    void Deliver(const DpMsg& msg) { receive_(msg.data(), msg.size()); }
    bool ReceivePending(int waitMs) override {
        waits.push_back(waitMs);
        return pending || (arrivesSoon && waitMs > 0);
    }

    std::vector<DpMsg> Sent() {
        std::lock_guard<std::mutex> l(m);
        return sent;
    }
    void ClearSent() {
        std::lock_guard<std::mutex> l(m);
        sent.clear();
    }

    std::string name;
    bool started = false;
    bool stopped = false;
    bool up = false;
    bool failSends = false;  // Send refuses every message
    bool pending = false;    // more input waits (ReceivePending answers true)
    bool arrivesSoon = false;  // more input arrives within any wait (not at once)
    std::vector<int> waits;    // the wait of each ReceivePending

  private:
    std::mutex m;
    std::vector<DpMsg> sent;
    LinkReceiveHandler receive_;
    LinkStatusHandler status_;
};

// Creates FakeLinks and keeps them by endpoint name.
class FakeLinks {
  public:
    KrnlinkFactory Factory() {
        return [this](const std::string& name, LinkReceiveHandler receive, LinkStatusHandler status,
                      int bufferSize) {
            ozy::RefPtr<FakeLink> link(new FakeLink(name, std::move(receive), std::move(status)));
            links[name] = link;
            bufferSizes[name] = bufferSize;
            return ozy::RefPtr<DataplaneLink>(link.get());
        };
    }
    FakeLink* Get(const std::string& name) {
        auto it = links.find(name);
        return it == links.end() ? nullptr : it->second.get();
    }

    std::map<std::string, ozy::RefPtr<FakeLink>> links;
    std::map<std::string, int> bufferSizes;
};

// Records every call, in order, as a short text, and keeps the arguments that tests inspect.
class RecordingConvertor : public IDVSPropConvertor {
  public:
    void Init(const boost::property_tree::ptree&) override { Note("Init"); }
    void Stop() override { Note("Stop"); }
    void ProcessConfigPropertyUpdate(ObjectType type, const std::string& id, Operation op,
                                     PropertyType property, const std::string& value) override {
        Note("Property " + std::to_string(static_cast<int>(type)) + " " +
             std::to_string(static_cast<int>(property)) + " " +
             std::to_string(static_cast<int>(op)));
        propertyUpdates.push_back({type, id, op, property, value});
    }
    void ProcessConfigEntityUpdate(ObjectType type, const std::string&, Operation op) override {
        Note("Entity " + std::to_string(static_cast<int>(type)) + " " +
             std::to_string(static_cast<int>(op)));
    }
    void HandleTransportNodes(const CairnDBUpdateList& u, bool fullSync) override {
        Note("TransportNodes " + std::to_string(u.size()) + (fullSync ? " full" : " delta"));
    }
    void HandleConfigSpans(const CairnDBUpdateList& u, bool fullSync) override {
        Note("ConfigSpans " + std::to_string(u.size()) + (fullSync ? " full" : " delta"));
    }
    void HandleOffloadedHostSwitches(const CairnDBUpdateList& u, bool fullSync) override {
        Note("OffloadedHostSwitches " + std::to_string(u.size()) + (fullSync ? " full" : " delta"));
    }
    void HandleCcpSessions(const CairnDBUpdateList& u, bool fullSync) override {
        Note("CcpSessions " + std::to_string(u.size()) + (fullSync ? " full" : " delta"));
    }
    void HandleGlobalConfigs(const CairnDBUpdateList& u, bool fullSync) override {
        Note("GlobalConfigs " + std::to_string(u.size()) + (fullSync ? " full" : " delta"));
    }
    void SendPortUnblockUpdate(const std::set<std::string>& ports,
                               const std::set<std::string>& switches) override {
        Note("Unblock " + std::to_string(ports.size()) + " " + std::to_string(switches.size()));
        unblockPorts.push_back(ports);
        unblockSwitches.push_back(switches);
    }
    void ProcessVifInfoUpdate(const DvsVifInfo& vif) override {
        Note("VifInfo " + vif.vifId + (vif.deleted ? " deleted" : "") +
             (vif.connected ? " connected" : ""));
        vifInfos.push_back(vif);
    }
    std::string DumpUplinks() const override { return uplinksJson; }
    std::string DumpConduitKrnnics() const override { return conduitJson; }
    void AddUplink(const DvsUplink& u) override { Note("AddUplink " + u.vifId + " " + u.alias); }
    void DeleteUplink(const DvsUplink& u) override { Note("DeleteUplink " + u.vifId); }
    void ApplyFullSyncUplinks(const std::vector<DvsUplink>& u) override {
        std::string s = "FullSyncUplinks";
        for (const auto& x : u)
            s += " " + x.vifId;
        Note(s);
    }
    void MarkPortOutOfSync(const std::string& vif) override { Note("PortOutOfSync " + vif); }
    void MarkKrnnicOutOfSync(const std::string& name) override { Note("KrnnicOutOfSync " + name); }
    void QueueHopoverSync(const std::string& vif, uint16_t type) override {
        Note("HopoverSync " + vif + " " + std::to_string(type));
    }
    void RemoveFromHopoverSyncQueue(const std::string& port) override {
        Note("RemoveHopover " + port);
    }
    bool AnnounceChildPort(const DvsChildPort& c) override {
        Note("AnnounceChildPort " + c.portId);
        return true;
    }
    void WithdrawChildPort(const std::string& port) override { Note("WithdrawChildPort " + port); }
    void ResetSyncState() override { Note("ResetSyncState"); }
    void OnDataplaneFullSyncDone() override { Note("FullSyncDone"); }
    void OnDataplaneDisconnected() override { Note("Disconnected"); }
    void PushFullState() override { Note("PushFullState"); }
    void OnDaemonHealthStateUpdate(bool connected) override {
        Note(std::string("Health ") + (connected ? "up" : "down"));
    }

    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& c : calls)
            n += c.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    void Clear() {
        calls.clear();
        vifInfos.clear();
        propertyUpdates.clear();
        unblockPorts.clear();
        unblockSwitches.clear();
    }

    struct PropertyUpdate {
        ObjectType type;
        std::string id;
        Operation op;
        PropertyType property;
        std::string value;
    };
    std::vector<std::string> calls;
    std::vector<DvsVifInfo> vifInfos;
    std::vector<PropertyUpdate> propertyUpdates;
    std::vector<std::set<std::string>> unblockPorts;
    std::vector<std::set<std::string>> unblockSwitches;
    // What the diagnostics answer.
    std::string uplinksJson = "[]";
    std::string conduitJson = "[]";

  private:
    void Note(std::string s) { calls.push_back(std::move(s)); }
};

}  // namespace CfgAgent::test
