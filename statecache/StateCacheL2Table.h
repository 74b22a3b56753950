#pragma once
// The L2 table of the state cache (component L2CACHE): the VTEPs, VTEP group labels and groups,
// VM MAC and VM IP entries of logical switches and routing domains, as the LOG_SWITCH_FIB,
// ROUTING_DOMAIN_FIB and VTEP_GROUP decoders deliver them (desired, "remote"), and the entries the
// agent learns or owns locally (runtime, "local": LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP).
//
// Update rules, per store: unchanged MAC, IP and VTEP entries of a delta are filtered out before
// observers see them; an entry for an object whose whole-object record has not arrived is ignored;
// every write stamps the store's full-sync version, and a full sync (which increments it first)
// removes, once applied, every entry and object it did not deliver. A full sync is not filtered:
// its observers rebuild from it (the runtime observer flushes the database tables and writes the
// objects again), so every entry it delivers reaches them, changed or not. Observers then run with
// the store holding exactly the full sync's content. An entry written under an existing key with a
// new body reaches the observers as the removal of the old body followed by the new one, so that a
// list kept elsewhere (the runtime entries in cairndb) never holds both.
//
// Threads: the dispatcher thread writes the desired store, the L2 application's work items the
// runtime store; every operation takes the global agent lock and then the table's mutex; observers
// run with the agent lock held and the mutex released. Bad records are logged and skipped.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/IStateCacheL2Table.h"

namespace CfgAgent {

class StateCacheL2Table : public ozy::RefCounted<StateCacheL2Table, Component>,
                          public IStateCacheL2Table {
  public:
    StateCacheL2Table();
    ~StateCacheL2Table() override;

    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override;
    void UpdateRuntimeState(CairnDBUpdateList updates, bool fullSync) override;
    void BeginRuntimeBatch() override;
    void EndRuntimeBatch() override;

    // Changes a runtime batch collects at most before it hands them on (about 200 bytes each while
    // they wait: some 27 MB at the bound), in the lists of the updates that made them. A burst of
    // learned entries below it reaches the database as one write; each write of a growing row sends
    // the whole row again.
    static constexpr size_t kMaxBatchedChanges = 131072;
    // Changes waiting at least when a batch hands them on early because the next update is about
    // another object (a burst of one switch's learned entries is over): fewer, and a batch whose
    // updates alternate between objects keeps collecting them.
    static constexpr size_t kHandOffChanges = 512;

    bool RegisterDesiredStateObserver(SCL2TableObserver* observer) override;
    bool RegisterRuntimeStateObserver(SCL2TableObserver* observer) override;
    bool UnregisterDesiredStateObserver(SCL2TableObserver* observer) override;
    bool UnregisterRuntimeStateObserver(SCL2TableObserver* observer) override;

    bool GetObjectsOfType(L2Store store, ObjectType type, CairnDBUpdateList* out) const override;
    bool GetObject(L2Store store, const std::string& id, CairnDBUpdateList* out) const override;
    bool GetProperty(L2Store store, ObjectType type, const std::string& id, PropertyType property,
                     CairnDBUpdateList* out) const override;
    bool GetEntry(L2Store store, ObjectType type, const std::string& id, PropertyType property,
                  uint64_t valueKey, std::string* body) const override;
    bool GetEntry(L2Store store, ObjectType type, const std::string& id, PropertyType property,
                  const L2ValueKey& valueKey, std::string* body) const override;

    void RemoveLocalForwardingTable(const std::string& id) override;

    size_t CacheBytes(L2Store store) const override;
    size_t EntryCount(L2Store store) const override;
    uint32_t FullSyncVersion(L2Store store) const override;

    std::string DumpJson(L2Store store) const override;
    std::string DumpObjectsJson(L2Store store, ObjectType type) const override;
    std::string DumpPropertyJson(L2Store store, ObjectType type, const std::string& id,
                                 PropertyType property) const override;

  private:
    struct Side;

    // A record that passed the filter, with its entry's key when the filter computed it (an entry's
    // body is parsed once).
    struct Kept {
        size_t index = 0;
        bool keyed = false;
        L2ValueKey key;
    };

    // `owned`, when given, is `updates` itself, whose records may be moved into the changes.
    void Update(Side& side, const CairnDBUpdateList& updates, bool fullSync,
                CairnDBUpdateList* owned);
    // Calls the side's observers with `changes` (the agent lock held, the mutex not).
    void Notify(const Side& side, const std::vector<SCL2TableObserver*>& observers,
                const CairnDBUpdateList& changes, bool fullSync,
                const std::vector<std::string>& contexts);
    // Calls the side's observers with a batch's lists of changes, when there are any (the agent
    // lock held, the mutex not).
    void NotifyBatch(const Side& side, const std::vector<SCL2TableObserver*>& observers,
                     const std::vector<CairnDBUpdateList>& lists);
    // The records that pass the unchanged-entry filter (all of them on a full sync).
    std::vector<Kept> Filter(Side& side, const CairnDBUpdateList& updates, bool fullSync);
    // Applies the kept records; appends the changes for the observers to `out`: the records that
    // changed the store, each replaced entry's removal (with its old body) ahead of its new value.
    // With `owned` (`updates` itself), the kept records are moved out of it (each is kept once);
    // when the changes are its first records as they stand, the list itself becomes `*out`
    // (empty then), its records not moved.
    void Apply(Side& side, const CairnDBUpdateList& updates, const std::vector<Kept>& kept,
               bool fullSync, CairnDBUpdateList* owned, CairnDBUpdateList* out);
    bool RegisterObserver(Side& side, SCL2TableObserver* observer);
    bool UnregisterObserver(Side& side, SCL2TableObserver* observer);
    const Side& SideOf(L2Store store) const;
    bool FindEntry(L2Store store, ObjectType type, const std::string& id, PropertyType property,
                   const L2ValueKey& key, std::string* body) const;

    std::unique_ptr<Side> desired_;
    std::unique_ptr<Side> runtime_;
    mutable std::mutex mutex_;
};

}  // namespace CfgAgent
