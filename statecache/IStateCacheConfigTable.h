#pragma once
// What applications and the CLI see of the configuration table (component CONFIGCACHE): runtime
// writes, observer registration and queries over the desired and the runtime store.
//
// Identifiers are the serialized ids of the records (IdText/IdFromText convert from and to the
// 8-4-4-4-12 text). Every query returns copies and takes the global agent lock; an absent object
// or property is a normal result (false, with a debug line). Results that list several values come
// as CairnDBUpdateMsg records (op OPERATION_UPDATE, `data` = the stored value, property 0 for the
// whole body), in property order per object.
#include <cstddef>
#include <cstdint>
#include <string>

#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCConfigTableObserver;

enum class ConfigStore { kDesired, kRuntime };

class IStateCacheConfigTable {
  public:
    virtual ~IStateCacheConfigTable() = default;

    // Applies records to the runtime store (same rules as the desired store) and notifies the
    // runtime observers.
    virtual void UpdateRuntimeState(const CairnDBUpdateList& updates, bool fullSync) = 0;

    // False (and an error line) for a null observer or one already registered for the type.
    virtual bool RegisterDesiredStateObserver(ObjectType type, SCConfigTableObserver* observer) = 0;
    virtual bool RegisterRuntimeStateObserver(ObjectType type, SCConfigTableObserver* observer) = 0;
    // False for a null observer or one not registered for the type.
    virtual bool UnregisterDesiredStateObserver(ObjectType type,
                                                SCConfigTableObserver* observer) = 0;
    virtual bool UnregisterRuntimeStateObserver(ObjectType type,
                                                SCConfigTableObserver* observer) = 0;

    // Objects of `type` that hold `property`, one record each with that property's value.
    virtual bool GetObjectsWithProperty(ConfigStore store, ObjectType type, PropertyType property,
                                        CairnDBUpdateList* out) const = 0;
    // Every object of a type with all its values (the runtime state that a SmartNIC re-publishes).
    virtual bool GetObjectsOfType(ConfigStore store, ObjectType type,
                                  CairnDBUpdateList* out) const = 0;
    // Every value of the object(s) with this id: the whole body first, then the properties.
    virtual bool GetObjectProperties(ConfigStore store, const std::string& id,
                                     CairnDBUpdateList* out) const = 0;
    virtual bool GetObjectProperties(ConfigStore store, ObjectType type, const std::string& id,
                                     CairnDBUpdateList* out) const = 0;
    // One value (property 0: the whole body).
    virtual bool GetProperty(ConfigStore store, ObjectType type, const std::string& id,
                             PropertyType property, std::string* value) const = 0;
    // One value of a runtime object (property 0: the whole body).
    virtual bool GetRuntimeState(ObjectType type, const std::string& id, PropertyType property,
                                 std::string* value) const = 0;

    // The DVPort id and the VIF id of a logical switch port's attachment.
    virtual bool GetDVPortIdByLsp(const std::string& lspId, std::string* dvportId) const = 0;
    virtual bool GetVifIdByLsp(const std::string& lspId, std::string* vifId) const = 0;
    // The transport zone (serialized UuidMsg) of a logical switch.
    virtual bool GetTransportZoneOfLogicalSwitch(const std::string& lsId,
                                                 std::string* tzId) const = 0;
    // The host switch (DVS) of a transport zone, through the transport nodes' transport switches:
    // its serialized UuidMsg and its name.
    virtual bool GetHostSwitchOfTransportZone(const std::string& tzId, std::string* hostSwitchId,
                                              std::string* hostSwitchName) const = 0;
    // The logical switch whose LS_VNI is `vni`.
    virtual bool FindLogicalSwitchByVni(uint32_t vni, std::string* lsId) const = 0;

    // Store sizes in bytes actually held (keys, values, container nodes and buckets); logged.
    virtual size_t DesiredCacheBytes() const = 0;
    virtual size_t RuntimeCacheBytes() const = 0;
    virtual size_t ObjectCount(ConfigStore store) const = 0;
    virtual uint32_t FullSyncVersion(ConfigStore store) const = 0;
    // Number of UpdateDesiredState calls so far (non-zero once desired state has been received).
    virtual uint64_t DesiredStateUpdateCount() const = 0;

    // JSON dumps: the whole store ("cfgagent/config/remote", "cfgagent/config/local") and the
    // objects of one type ("cfgagent/config/lswitch" and the like, "cfgagent/statecache/...").
    virtual std::string DumpJson(ConfigStore store) const = 0;
    virtual std::string DumpObjectsJson(ConfigStore store, ObjectType type) const = 0;
};

}  // namespace CfgAgent
