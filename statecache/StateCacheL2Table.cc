// Filtering, applying and notifying; the queries and dumps are in StateCacheL2Queries.cc.
#include "statecache/StateCacheL2Table.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <tuple>

#include "platform/WorkflowUtil.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/SCL2TableObserver.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL2Side.h"

namespace CfgAgent {

namespace {

bool SameObject(const CairnDBUpdateMsg& a, const CairnDBUpdateMsg& b) {
    return a.objType == b.objType && a.id == b.id;
}

bool Filterable(PropertyType p) {
    return p == PropertyType::L2_VM_MAC || p == PropertyType::L2_VM_IP ||
           p == PropertyType::L2_VTEP;
}

std::string EntryText(PropertyType p, std::string_view body) {
    return sc::DumpText(sc::L2EntryJson(p, body));
}

// The object of the records being walked, looked up once for a run of records of the same object
// (a received message brings its entries one after another). Forget() after the store's objects
// change.
class ObjectMemo {
  public:
    explicit ObjectMemo(sc::L2ObjectStore& store) : store_(store) {}
    sc::L2Object* Find(ObjectType type, const std::string& id) {
        if (!known_ || type != type_ || id != id_) {
            object_ = store_.Find(type, id);
            type_ = type;
            id_ = id;
            known_ = true;
        }
        return object_;
    }
    void Forget() { known_ = false; }

  private:
    sc::L2ObjectStore& store_;
    bool known_ = false;
    ObjectType type_ = ObjectType::OBJECT_TYPE_INVALID;
    std::string id_;
    sc::L2Object* object_ = nullptr;
};

class SweepLog : public sc::L2ObjectStore::SweepObserver {
  public:
    void EntryRemoved(ObjectType, std::string_view id, PropertyType p,
                      const sc::L2Entry& e) override {
        CFG_DEBUG("L2Cache: remove property: %1",
                  IdText(id) + " " + PropertyTypeToString(p) + " " + EntryText(p, e.body.view()));
    }
    void ObjectRemoved(ObjectType type, std::string_view id) override {
        CFG_DEBUG("L2Cache: remove object: %1, objectType: %2", IdText(id), ObjTypeToString(type));
    }
};

}  // namespace

StateCacheL2Table::StateCacheL2Table()
    : desired_(std::make_unique<Side>(false)), runtime_(std::make_unique<Side>(true)) {}

StateCacheL2Table::~StateCacheL2Table() = default;

const StateCacheL2Table::Side& StateCacheL2Table::SideOf(L2Store store) const {
    return store == L2Store::kDesired ? *desired_ : *runtime_;
}

void StateCacheL2Table::UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) {
    Update(*desired_, updates, fullSync, nullptr);
}

void StateCacheL2Table::UpdateRuntimeState(CairnDBUpdateList updates, bool fullSync) {
    Update(*runtime_, updates, fullSync, &updates);
}

void StateCacheL2Table::Update(Side& side, const CairnDBUpdateList& updates, bool fullSync,
                               CairnDBUpdateList* owned) {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::vector<std::string> contexts;
    for (const CairnDBUpdateMsg& r : updates) {
        if (!r.traceContext().empty())
            contexts.push_back(r.traceContext());
    }
    ozy::wft::Span span(
        side.runtime ? "L2Cache UpdateRuntimeState" : "StateCacheL2Table.UpdateDesiredState",
        contexts, /*expectParent=*/false);
    CairnDBUpdateList changes;
    std::vector<CairnDBUpdateList> waited;  // a batch's changes handed on before a full sync
    std::vector<SCL2TableObserver*> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fullSync && !side.waiting.empty()) {
            waited.swap(side.waiting);
            side.waitingCount = 0;
        }
        if (fullSync) {
            uint32_t v = side.store.BumpVersion();
            if (side.runtime) {
                CFG_INFO("L2Cache: local l2 fullSync version is %1", v);
            } else {
                CFG_INFO("L2Cache: remote l2 fullSync version is %1", v);
            }
        }
        std::vector<Kept> kept = Filter(side, updates, fullSync);
        Apply(side, updates, kept, fullSync, owned, &changes);
        if (fullSync) {
            SweepLog log;
            side.store.Sweep(&log);
        }
        observers = side.observers;
        if (side.batching && !fullSync) {
            // A batch keeps this update's list of changes as it is (the records are not moved
            // onto one growing list), for the batch's end. It hands on the lists waiting when
            // this update's changes start with another object than theirs end with and they hold
            // a burst of changes (the finished object's write goes on while the input still
            // arrives), and every list once they hold many changes.
            if (!changes.empty()) {
                if (side.waitingCount >= kHandOffChanges &&
                    !SameObject(side.waiting.back().back(), changes.front())) {
                    waited.swap(side.waiting);
                    side.waitingCount = 0;
                }
                side.waitingCount += changes.size();
                side.waiting.push_back(std::move(changes));
                changes.clear();
            }
            if (side.waitingCount >= kMaxBatchedChanges) {
                for (CairnDBUpdateList& list : side.waiting)
                    waited.push_back(std::move(list));
                side.waiting.clear();
                side.waitingCount = 0;
            }
            if (waited.empty())
                return;
        }
    }
    NotifyBatch(side, observers, waited);
    Notify(side, observers, changes, fullSync, contexts);
}

void StateCacheL2Table::Notify(const Side& side, const std::vector<SCL2TableObserver*>& observers,
                               const CairnDBUpdateList& changes, bool fullSync,
                               const std::vector<std::string>& contexts) {
    if (observers.empty() || (changes.empty() && !fullSync))
        return;
    ozy::wft::Span notifySpan(side.runtime ? "L2Cache NotifyRuntimeStateObservers"
                                           : "L2Cache NotifyDesiredStateObservers",
                              contexts,
                              /*expectParent=*/false);
    for (SCL2TableObserver* o : observers) {
        if (side.runtime) {
            o->ProcessL2RuntimeStateUpdate(changes, fullSync);
        } else {
            o->ProcessL2DesiredStateUpdate(changes, fullSync);
        }
    }
}

void StateCacheL2Table::BeginRuntimeBatch() {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    runtime_->batching = true;
}

void StateCacheL2Table::EndRuntimeBatch() {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::vector<CairnDBUpdateList> lists;
    std::vector<SCL2TableObserver*> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!runtime_->batching)
            return;
        runtime_->batching = false;
        lists.swap(runtime_->waiting);
        runtime_->waitingCount = 0;
        observers = runtime_->observers;
    }
    NotifyBatch(*runtime_, observers, lists);
}

void StateCacheL2Table::NotifyBatch(const Side& side,
                                    const std::vector<SCL2TableObserver*>& observers,
                                    const std::vector<CairnDBUpdateList>& lists) {
    if (observers.empty() || lists.empty())
        return;
    ozy::wft::Span notifySpan("L2Cache NotifyRuntimeStateObservers", {}, /*expectParent=*/false);
    for (SCL2TableObserver* o : observers) {
        if (side.runtime)
            o->ProcessL2RuntimeStateBatch(lists);
    }
}

std::vector<StateCacheL2Table::Kept> StateCacheL2Table::Filter(Side& side,
                                                               const CairnDBUpdateList& updates,
                                                               bool fullSync) {
    ozy::wft::Span span(side.runtime ? "L2Cache FilterRuntimeState" : "L2Cache FilterDesiredState");
    std::vector<Kept> kept;
    kept.reserve(updates.size());
    // Entries equal to the stored ones; they are unchanged only if no earlier record of this delta
    // changes the same entry or object first (a delta [K=B, K=A] over a stored K=A ends with A).
    struct Unchanged {
        Kept k;
        const sc::L2Object* object;
    };
    std::vector<Unchanged> unchanged;
    ObjectMemo objects(side.store);
    for (size_t i = 0; i < updates.size(); ++i) {
        const CairnDBUpdateMsg& r = updates[i];
        // A full sync reaches its observers whole: they rebuild from it (the runtime observer
        // flushes the database tables first), so an entry it confirms unchanged is passed on too.
        if (fullSync || r.op != Operation::OPERATION_UPDATE || !Filterable(r.property)) {
            kept.push_back({i, false, {}});
            continue;
        }
        L2ValueKey key;
        sc::L2Object* o = objects.Find(r.objType, r.id);
        if (o == nullptr || !GetL2PropertyValueKey(r.property, r.data, &key)) {
            kept.push_back({i, false, {}});  // Apply decides (and logs) what to do with it
            continue;
        }
        sc::L2EntryMap& m = o->props[L2PropertyIndex(r.property)];
        auto it = m.find(key);
        if (it == m.end() || it->second.body.view() != r.data) {
            kept.push_back({i, true, key});
            continue;
        }
        unchanged.push_back({{i, true, key}, o});
    }
    if (unchanged.empty())
        return kept;

    // Walked in the delta's order: what the kept records before an unchanged entry change, keyed
    // entries by object, property and key, anything else (objects, deletes, records Apply parses)
    // by object. An unchanged entry that something before it changes is kept.
    using EntryKey = std::tuple<const sc::L2Object*, PropertyType, uint64_t, uint64_t>;
    std::set<EntryKey> touchedEntries;
    std::set<const sc::L2Object*> touchedObjects;
    std::vector<Kept> merged;
    merged.reserve(kept.size() + unchanged.size());
    auto next = kept.begin();
    for (const Unchanged& u : unchanged) {
        for (; next != kept.end() && next->index < u.k.index; ++next) {
            merged.push_back(*next);
            const CairnDBUpdateMsg& r = updates[next->index];
            const sc::L2Object* o = side.store.Find(r.objType, r.id);
            if (o == nullptr)
                continue;  // not stored yet: no entry of it can be unchanged
            if (next->keyed)
                touchedEntries.emplace(o, r.property, next->key.part[0], next->key.part[1]);
            else
                touchedObjects.insert(o);
        }
        const CairnDBUpdateMsg& r = updates[u.k.index];
        if (touchedObjects.count(u.object) != 0 ||
            touchedEntries.count({u.object, r.property, u.k.key.part[0], u.k.key.part[1]}) != 0) {
            merged.push_back(u.k);
            continue;
        }
        if (side.runtime) {
            CFG_DEBUG("L2Cache: FilterRuntime object %1 label %2 with filtered message %3",
                      IdText(r.id), PropertyTypeToString(r.property),
                      EntryText(r.property, r.data));
        } else if (r.property == PropertyType::L2_VTEP) {
            CFG_DEBUG("L2Cache: Filter desired VTEP %1 with filtered message %2", IdText(r.id),
                      EntryText(r.property, r.data));
        }
    }
    merged.insert(merged.end(), next, kept.end());
    return merged;
}

void StateCacheL2Table::Apply(Side& side, const CairnDBUpdateList& updates,
                              const std::vector<Kept>& kept, bool fullSync,
                              CairnDBUpdateList* owned, CairnDBUpdateList* out) {
    ozy::wft::Span span(side.runtime ? "StateCacheL2Table.UpdateRuntimeStateInner"
                                     : "StateCacheL2Table.UpdateDesiredStateInner");
    if (kept.empty()) {
        CFG_DEBUG("L2Cache: UpdateL2CacheTable : empty msg");
        return;
    }
    CairnDBUpdateList& applied = *out;
    // While the changes are the owned list's first records, each alone and in order (a burst of
    // new entries: every record a change), they are left where they are and the list itself
    // becomes the changes at the end; the first change that is not moves them over.
    bool asIs = owned != nullptr && applied.empty();
    size_t leading = 0;  // the owned list's first records that are the changes so far
    auto spill = [&] {
        if (!asIs)
            return;
        asIs = false;
        applied.reserve(kept.size());
        for (size_t i = 0; i < leading; ++i)
            applied.push_back(std::move((*owned)[i]));
    };
    // Room for every kept record; a replaced entry's removal may grow it further.
    if (!asIs)
        applied.reserve(applied.size() + kept.size());
    sc::L2ObjectStore& store = side.store;
    const uint32_t version = store.version();
    // The record of `k` as a change: left in place or moved out of an owned list (not read
    // again), else copied.
    auto pass = [&](const Kept& k) {
        if (asIs && k.index == leading) {
            ++leading;
            return;
        }
        spill();
        if (owned != nullptr)
            applied.push_back(std::move((*owned)[k.index]));
        else
            applied.push_back(updates[k.index]);
    };
    ObjectMemo objects(store);
    for (const Kept& k : kept) {
        const CairnDBUpdateMsg& r = updates[k.index];
        if (r.objType == ObjectType::OBJECT_TYPE_INVALID || r.id.empty()) {
            CFG_ERROR("L2Cache: received invalid object (objectType %1, property %2)",
                      ObjTypeToString(r.objType), PropertyTypeToString(r.property));
            continue;
        }
        if (r.op != Operation::OPERATION_UPDATE && r.op != Operation::OPERATION_DELETE) {
            CFG_ERROR_CODE("LCP00007", "L2Cache: unsupported operation %1", r.op);
            continue;
        }
        if (r.property == PropertyType::INVALID_PROPERTY) {
            objects.Forget();
            if (r.op == Operation::OPERATION_UPDATE) {
                bool created = false;
                sc::L2Object& o = store.GetOrCreate(r.objType, r.id, &created);
                o.version = version;
                if (created) {
                    CFG_DEBUG("L2Cache: add object %1, objectType: %2", IdText(r.id),
                              ObjTypeToString(r.objType));
                    pass(k);
                } else if (fullSync) {
                    pass(k);
                }
            } else if (store.Erase(r.objType, r.id)) {
                CFG_DEBUG("L2Cache: delete object %1, objectType: %2", IdText(r.id),
                          ObjTypeToString(r.objType));
                pass(k);
            }
            continue;
        }
        L2ValueKey key = k.key;
        bool invalidProperty = false;
        if (!k.keyed && !GetL2PropertyValueKey(r.property, r.data, &key, &invalidProperty)) {
            if (invalidProperty) {
                CFG_ERROR("L2Cache: GetL2PropertyValueKeyFromString: invalid property type %1",
                          static_cast<uint32_t>(r.property));
            } else {
                CFG_ERROR("L2Cache: Object %1 received invalid %2 entry", IdText(r.id),
                          PropertyTypeToString(r.property));
            }
            continue;
        }
        sc::L2Object* o = objects.Find(r.objType, r.id);
        if (o == nullptr) {
            if (r.op == Operation::OPERATION_UPDATE) {
                CFG_DEBUG("L2Cache: Ignore property update since object %1 can't be found",
                          IdText(r.id));
            }
            continue;
        }
        sc::L2EntryMap& m = o->props[L2PropertyIndex(r.property)];
        if (r.op == Operation::OPERATION_UPDATE) {
            auto [it, inserted] = m.try_emplace(key);
            sc::L2Entry& e = it->second;
            if (!inserted && e.body.view() != r.data) {
                CairnDBUpdateMsg old = r;
                old.op = Operation::OPERATION_DELETE;
                old.data = e.body.str();
                spill();
                applied.push_back(std::move(old));
            }
            e.body.assign(r.data);
            e.version = version;
            o->version = version;
            if (fullSync) {
                CFG_DEBUG("L2Cache: Object %1 update/add property in full sync: %2", IdText(r.id),
                          PropertyTypeToString(r.property));
            } else {
                CFG_DEBUG(
                    "L2Cache: Object %1 add property: %2, valueKey128.part[0]: %3, "
                    "valueKey128.part[1]: %4",
                    IdText(r.id), PropertyTypeToString(r.property), key.part[0], key.part[1]);
            }
            pass(k);
        } else if (m.erase(key) > 0) {
            CFG_DEBUG("L2Cache: Object %1 remove property: %2", IdText(r.id),
                      PropertyTypeToString(r.property));
            pass(k);
        }
    }
    if (asIs && leading > 0) {
        owned->erase(owned->begin() + static_cast<std::ptrdiff_t>(leading), owned->end());
        applied = std::move(*owned);
    }
}

bool StateCacheL2Table::RegisterDesiredStateObserver(SCL2TableObserver* observer) {
    return RegisterObserver(*desired_, observer);
}

bool StateCacheL2Table::RegisterRuntimeStateObserver(SCL2TableObserver* observer) {
    return RegisterObserver(*runtime_, observer);
}

bool StateCacheL2Table::UnregisterDesiredStateObserver(SCL2TableObserver* observer) {
    return UnregisterObserver(*desired_, observer);
}

bool StateCacheL2Table::UnregisterRuntimeStateObserver(SCL2TableObserver* observer) {
    return UnregisterObserver(*runtime_, observer);
}

bool StateCacheL2Table::RegisterObserver(Side& side, SCL2TableObserver* observer) {
    if (observer == nullptr) {
        CFG_ERROR("L2Cache: register NULL l2 cache observer");
        return false;
    }
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(side.observers.begin(), side.observers.end(), observer) != side.observers.end()) {
        if (side.runtime) {
            CFG_ERROR("L2Cache: register existing runtime l2 cache observer");
        } else {
            CFG_ERROR("L2Cache: register existing remote l2 cache observer");
        }
        return false;
    }
    side.observers.push_back(observer);
    return true;
}

bool StateCacheL2Table::UnregisterObserver(Side& side, SCL2TableObserver* observer) {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(side.observers.begin(), side.observers.end(), observer);
    if (observer == nullptr || it == side.observers.end()) {
        if (side.runtime) {
            CFG_ERROR("L2Cache: unregister non-existent runtime state l2 observer!");
        } else {
            CFG_ERROR("L2Cache: unregister non-existent desired state l2 observer!");
        }
        return false;
    }
    side.observers.erase(it);
    return true;
}

}  // namespace CfgAgent
