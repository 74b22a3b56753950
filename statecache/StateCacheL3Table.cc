// Applying records and notifying observers; the queries and dumps are in StateCacheL3Queries.cc.
#include "statecache/StateCacheL3Table.h"

#include <algorithm>

#include "platform/WorkflowUtil.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/SCL3TableObserver.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL3State.h"
#include "statecache/WireCheck.h"

namespace CfgAgent {

namespace {

std::string ValueText(const CairnDBUpdateMsg& r) {
    return sc::DumpText(sc::L3ValueJson(r.objType, r.property, r.data));
}

bool UsableRecord(const CairnDBUpdateMsg& r) {
    if (r.objType == ObjectType::OBJECT_TYPE_INVALID || r.id.empty())
        return false;
    if ((r.op == Operation::OPERATION_UPDATE || r.op == Operation::OPERATION_ELEMENT_SET ||
         r.op == Operation::OPERATION_ELEMENT_CLEAR) &&
        (r.data.empty() || !sc::IsProtobufWire(r.data))) {
        return false;
    }
    return true;
}

class SweepLog : public sc::PropertyStore::SweepObserver {
  public:
    void ValueRemoved(ObjectType type, std::string_view id, PropertyType p,
                      std::string_view value) override {
        CFG_DEBUG("Object %1 property %2, stale value removed after full sync: %3", IdText(id),
                  PropertyTypeToString(p), sc::DumpText(sc::L3ValueJson(type, p, value)));
    }
};

}  // namespace

StateCacheL3Table::StateCacheL3Table() : state_(std::make_unique<State>()) {}

StateCacheL3Table::~StateCacheL3Table() = default;

void StateCacheL3Table::UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::vector<std::string> contexts;
    for (const CairnDBUpdateMsg& r : updates) {
        if (!r.traceContext().empty())
            contexts.push_back(r.traceContext());
    }
    ozy::wft::Span span("L3Cache UpdateDesiredState", contexts, /*expectParent=*/false);
    std::vector<size_t> applied;
    applied.reserve(updates.size());
    std::vector<SCL3TableObserver*> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sc::PropertyStore& store = state_->store;
        if (fullSync)
            store.BumpVersion();
        for (size_t i = 0; i < updates.size(); ++i) {
            const CairnDBUpdateMsg& r = updates[i];
            const uint32_t op = static_cast<uint32_t>(r.op);
            const bool scalar =
                r.op == Operation::OPERATION_UPDATE || r.op == Operation::OPERATION_DELETE;
            const bool list = r.op == Operation::OPERATION_ELEMENT_SET ||
                              r.op == Operation::OPERATION_ELEMENT_CLEAR;
            if (!scalar && !list) {
                CFG_ERROR_CODE("LCP00922", "Object %1 property %2, invalid operation %3",
                               IdText(r.id), PropertyTypeToString(r.property), op);
                continue;
            }
            if (!UsableRecord(r)) {
                CFG_ERROR("L3Cache: received invalid object (objectType %1, property %2)",
                          ObjTypeToString(r.objType), PropertyTypeToString(r.property));
                continue;
            }
            if (fullSync && r.op != Operation::OPERATION_UPDATE &&
                r.op != Operation::OPERATION_ELEMENT_SET) {
                CFG_ERROR_CODE("LCP00922",
                               "Object %1 property %2, invalid op type %3 for full sync",
                               IdText(r.id), PropertyTypeToString(r.property), op);
                continue;
            }
            if (scalar) {
                const sc::PropSlot* s = store.FindProp(r.objType, r.id, r.property);
                if (s != nullptr && s->count() > 1) {
                    CFG_ERROR_CODE("LCP00919",
                                   "Object %1 property %2, multi-existing entries found",
                                   IdText(r.id), PropertyTypeToString(r.property));
                    continue;
                }
                if (r.op == Operation::OPERATION_UPDATE) {
                    switch (store.SetScalar(r.objType, r.id, r.property, r.data)) {
                        case sc::SetResult::kAdded:
                            CFG_DEBUG("Object %1 property %2, value add", IdText(r.id),
                                      PropertyTypeToString(r.property));
                            break;
                        case sc::SetResult::kUnchanged:
                            CFG_DEBUG("Object %1 property %2, value not change", IdText(r.id),
                                      PropertyTypeToString(r.property));
                            break;
                        default:
                            CFG_DEBUG("Object %1 property %2, value update", IdText(r.id),
                                      PropertyTypeToString(r.property));
                            break;
                    }
                } else {
                    if (s == nullptr) {
                        CFG_ERROR("Object %1 property %2, delete non-existing entry", IdText(r.id),
                                  PropertyTypeToString(r.property));
                        continue;
                    }
                    store.RemoveScalar(r.objType, r.id, r.property);
                    CFG_DEBUG("Object %1 property %2, value delete", IdText(r.id),
                              PropertyTypeToString(r.property));
                }
                applied.push_back(i);
                continue;
            }
            // List property: the (object, property, value) index is unique by construction, so the
            // "several entries" case of the checks cannot arise here.
            const bool present = store.HasValue(r.objType, r.id, r.property, r.data);
            if (r.op == Operation::OPERATION_ELEMENT_SET) {
                store.AppendValue(r.objType, r.id, r.property, r.data);
                if (present) {
                    CFG_DEBUG("Object %1 property %2 value %3, append existing entry", IdText(r.id),
                              PropertyTypeToString(r.property), ValueText(r));
                } else {
                    CFG_DEBUG("Object %1 property %2, value append", IdText(r.id),
                              PropertyTypeToString(r.property));
                }
            } else {
                if (!present) {
                    CFG_ERROR_CODE("LCP00922",
                                   "Object %1 property %2 value %3, remove non-existing entry",
                                   IdText(r.id), PropertyTypeToString(r.property), ValueText(r));
                    continue;
                }
                store.RemoveValue(r.objType, r.id, r.property, r.data);
                CFG_DEBUG("Object %1 property %2, value remove", IdText(r.id),
                          PropertyTypeToString(r.property));
            }
            applied.push_back(i);
        }
        if (fullSync) {
            SweepLog log;
            store.Sweep(&log);
        }
        observers = state_->observers;
    }
    if (observers.empty() || (applied.empty() && !fullSync))
        return;
    ozy::wft::Span notifySpan("L3Cache NotifyDesiredStateObservers", contexts,
                              /*expectParent=*/false);
    CairnDBUpdateList list;
    list.reserve(applied.size());
    for (size_t i : applied)
        list.push_back(updates[i]);
    for (SCL3TableObserver* o : observers)
        o->ProcessL3DesiredStateUpdate(list, fullSync);
}

bool StateCacheL3Table::RegisterDesiredStateObserver(SCL3TableObserver* observer) {
    if (observer == nullptr) {
        CFG_ERROR("In L3 RegisterDesiredStateObserver, observer is NULL!");
        return false;
    }
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    auto& obs = state_->observers;
    if (std::find(obs.begin(), obs.end(), observer) != obs.end()) {
        CFG_ERROR("In L3 RegisterDesiredStateObserver, observer exist!");
        return false;
    }
    obs.push_back(observer);
    return true;
}

bool StateCacheL3Table::UnregisterDesiredStateObserver(SCL3TableObserver* observer) {
    if (observer == nullptr) {
        CFG_ERROR("In L3 UnregisterDesiredStateObserver, observer is NULL!");
        return false;
    }
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    auto& obs = state_->observers;
    auto it = std::find(obs.begin(), obs.end(), observer);
    if (it == obs.end()) {
        CFG_ERROR("In L3 UnregisterDesiredStateObserver, observer not exists!");
        return false;
    }
    obs.erase(it);
    return true;
}

}  // namespace CfgAgent
