#pragma once
// The configuration table of the state cache (component CONFIGCACHE): the desired configuration
// that the dispatcher delivers (logical switches and ports, transport nodes, bridge clusters,
// mirror sessions, IPFIX, profiles, entity group relations, NSG membership) and the runtime state
// that applications write (VIF_STATE, HOPOVER_STATUS), each with its observers.
//
// Both stores keep, per (object type, object id), the whole serialized body and the serialized
// value of each property, as the decoder's records deliver them. Every value is stamped with the
// store's full-sync version; a full sync (desired: the first batch after a (re)connection;
// runtime: a full-sync runtime write) increments the version first and, once the list is applied,
// removes every value it did not deliver, so that the store holds exactly what the full sync
// delivered (objects deleted while the agent was disconnected do not survive a reconnection).
//
// Threads: the dispatcher thread writes the desired store, application work items write the
// runtime store; every operation takes the global agent lock and then the table's mutex. Observers
// run after the update, with the agent lock held and the table's mutex released. Bad records (no
// type, no id, a body that is not a protobuf message, an unknown operation) are logged and skipped
// without touching other entries.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/IStateCacheConfigTable.h"

namespace CfgAgent {

class StateCacheConfigTable : public ozy::RefCounted<StateCacheConfigTable, Component>,
                              public IStateCacheConfigTable {
  public:
    StateCacheConfigTable();
    ~StateCacheConfigTable() override;

    // Component: applies a dispatcher batch to the desired store and notifies its observers.
    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override;
    // A full sync's part: applied at the full sync's version (a first part increments it), no
    // sweep until the full sync's last call; observers that take parts get it now, the others
    // in that last call (SCConfigTableObserver.h).
    bool TakesFullSyncParts() const override { return true; }
    void UpdateDesiredStatePart(const CairnDBUpdateList& part, bool first) override;

    void UpdateRuntimeState(const CairnDBUpdateList& updates, bool fullSync) override;

    bool RegisterDesiredStateObserver(ObjectType type, SCConfigTableObserver* observer) override;
    bool RegisterRuntimeStateObserver(ObjectType type, SCConfigTableObserver* observer) override;
    bool UnregisterDesiredStateObserver(ObjectType type, SCConfigTableObserver* observer) override;
    bool UnregisterRuntimeStateObserver(ObjectType type, SCConfigTableObserver* observer) override;

    bool GetObjectsWithProperty(ConfigStore store, ObjectType type, PropertyType property,
                                CairnDBUpdateList* out) const override;
    bool GetObjectsOfType(ConfigStore store, ObjectType type,
                          CairnDBUpdateList* out) const override;
    bool GetObjectProperties(ConfigStore store, const std::string& id,
                             CairnDBUpdateList* out) const override;
    bool GetObjectProperties(ConfigStore store, ObjectType type, const std::string& id,
                             CairnDBUpdateList* out) const override;
    bool GetProperty(ConfigStore store, ObjectType type, const std::string& id,
                     PropertyType property, std::string* value) const override;
    bool GetRuntimeState(ObjectType type, const std::string& id, PropertyType property,
                         std::string* value) const override;

    bool GetDVPortIdByLsp(const std::string& lspId, std::string* dvportId) const override;
    bool GetVifIdByLsp(const std::string& lspId, std::string* vifId) const override;
    bool GetTransportZoneOfLogicalSwitch(const std::string& lsId, std::string* tzId) const override;
    bool GetHostSwitchOfTransportZone(const std::string& tzId, std::string* hostSwitchId,
                                      std::string* hostSwitchName) const override;
    bool FindLogicalSwitchByVni(uint32_t vni, std::string* lsId) const override;

    size_t DesiredCacheBytes() const override;
    size_t RuntimeCacheBytes() const override;
    size_t ObjectCount(ConfigStore store) const override;
    uint32_t FullSyncVersion(ConfigStore store) const override;
    uint64_t DesiredStateUpdateCount() const override;

    std::string DumpJson(ConfigStore store) const override;
    std::string DumpObjectsJson(ConfigStore store, ObjectType type) const override;

  private:
    struct Side;
    // What one call applies: a batch (a delta or a whole full sync, or the last call of a full
    // sync in parts), or a part of a full sync.
    enum class Stage { kBatch, kFirstPart, kPart };

    void Update(Side& side, const CairnDBUpdateList& updates, bool fullSync, Stage stage);
    void Notify(Side& side, const CairnDBUpdateList& updates, const std::vector<size_t>& applied,
                bool fullSync, Stage stage, bool endsParts,
                const std::vector<std::string>& contexts);
    bool RegisterObserver(Side& side, ObjectType type, SCConfigTableObserver* observer);
    bool UnregisterObserver(Side& side, ObjectType type, SCConfigTableObserver* observer);
    bool GetAttachmentField(const std::string& lspId, bool dvport, std::string* out) const;
    const Side& SideOf(ConfigStore store) const;

    std::unique_ptr<Side> desired_;
    std::unique_ptr<Side> runtime_;
    mutable std::mutex mutex_;
    std::atomic<uint64_t> desiredUpdates_{0};
};

}  // namespace CfgAgent
