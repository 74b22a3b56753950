// Applying records and notifying observers; the queries and dumps are in
// StateCacheConfigQueries.cc.
#include "statecache/StateCacheConfigTable.h"

#include <iterator>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "platform/WorkflowUtil.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/StateCacheConfigSide.h"
#include "statecache/StateCacheJson.h"
#include "statecache/WireCheck.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// The list-valued properties whose element changes are logged one by one: the object class, the
// repeated field and the field that identifies an element.
struct ListProperty {
    PropertyType property;
    const char* name;
    const google::protobuf::Message* prototype;
    const char* field;
    const char* keyField;
};

const ListProperty* FindListProperty(PropertyType p) {
    static const ListProperty kList[] = {
        {PropertyType::TN_TRANSPORT_SWITCHES, "TN_TRANSPORT_SWITCHES",
         &pb::TransportNodeConfigMsg::default_instance(), "transport_switches", "host_switch_id"},
        {PropertyType::LS_EXTRA_CONFIGS, "LS_EXTRA_CONFIGS",
         &pb::LogSwitchConfigMsg::default_instance(), "extra_configs", "key"},
        {PropertyType::LSP_EXTRA_CONFIGS, "LSP_EXTRA_CONFIGS",
         &pb::LogSwitchPortConfigMsg::default_instance(), "extra_configs", "key"},
        {PropertyType::LS_ATTACHMENT, "LS_ATTACHMENT", &pb::LogSwitchConfigMsg::default_instance(),
         "attachment", "attachment_id"},
    };
    for (const ListProperty& l : kList) {
        if (l.property == p)
            return &l;
    }
    return nullptr;
}

// Element key -> element text, in key order.
std::map<std::string, std::string> ListElements(const ListProperty& l, const std::string& value) {
    std::map<std::string, std::string> out;
    std::unique_ptr<google::protobuf::Message> m(l.prototype->New());
    if (value.empty() || !m->ParseFromString(value))
        return out;
    const auto* field = m->GetDescriptor()->FindFieldByName(l.field);
    if (field == nullptr || !field->is_repeated() ||
        field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
        return out;
    }
    const auto* r = m->GetReflection();
    for (int i = 0; i < r->FieldSize(*m, field); ++i) {
        const google::protobuf::Message& e = r->GetRepeatedMessage(*m, field, i);
        const auto* kf = e.GetDescriptor()->FindFieldByName(l.keyField);
        std::string key;
        if (kf != nullptr && kf->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
            key = e.GetReflection()->GetMessage(e, kf).SerializeAsString();
        } else if (kf != nullptr &&
                   kf->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_STRING) {
            key = e.GetReflection()->GetString(e, kf);
        } else {
            key = e.SerializeAsString();
        }
        out[key] = sc::DumpText(sc::MessageJson(e));
    }
    return out;
}

void LogListDiff(const ListProperty& l, const std::string& oldValue, const std::string& newValue) {
    if (!Logger::enabled(kLogDebug))
        return;
    auto before = ListElements(l, oldValue);
    auto after = ListElements(l, newValue);
    for (const auto& [key, text] : after) {
        auto it = before.find(key);
        if (it == before.end()) {
            CFG_DEBUG("ConfigCache: Add %1 %2", l.name, text);
        } else if (it->second != text) {
            CFG_DEBUG("ConfigCache: Update %1 old config %2 new config %3", l.name, it->second,
                      text);
        }
    }
    for (const auto& [key, text] : before) {
        if (after.count(key) == 0)
            CFG_DEBUG("ConfigCache: Delete %1 %2", l.name, text);
    }
}

std::string TypeSubtypeText(const sc::PropertyStore& store, std::string_view id) {
    pb::LogSwitchConfigMsg m;
    std::string text;
    for (PropertyType p : {PropertyType::LS_TYPE, PropertyType::LS_SP_SUBTYPE}) {
        const sc::PropSlot* s = store.FindProp(ObjectType::LOG_SWITCH_CONFIG, id, p);
        if (s != nullptr)
            m.MergeFromString(s->value.str());
    }
    text = "type " + (m.has_type() ? std::to_string(m.type()) : std::string("unset")) +
           " sp_subtype " +
           (m.has_sp_subtype() ? std::to_string(m.sp_subtype()) : std::string("unset"));
    return text;
}

bool UsableRecord(const CairnDBUpdateMsg& r) {
    if (r.objType == ObjectType::OBJECT_TYPE_INVALID || r.id.empty())
        return false;
    if (r.op == Operation::OPERATION_UPDATE && (r.data.empty() || !sc::IsProtobufWire(r.data))) {
        return false;
    }
    return true;
}

class SweepLog : public sc::PropertyStore::SweepObserver {
  public:
    void ValueRemoved(ObjectType type, std::string_view id, PropertyType p,
                      std::string_view) override {
        if (p == PropertyType::INVALID_PROPERTY)
            return;
        (void)type;
        CFG_DEBUG("ConfigCache: Remove object %1 property %2", IdText(id), PropertyTypeToString(p));
    }
    void ObjectRemoved(ObjectType type, std::string_view id) override {
        CFG_DEBUG("ConfigCache: Remove object %1 type %2", IdText(id), ObjTypeToString(type));
    }
};

}  // namespace

StateCacheConfigTable::StateCacheConfigTable()
    : desired_(std::make_unique<Side>(false)), runtime_(std::make_unique<Side>(true)) {}

StateCacheConfigTable::~StateCacheConfigTable() = default;

const StateCacheConfigTable::Side& StateCacheConfigTable::SideOf(ConfigStore store) const {
    return store == ConfigStore::kDesired ? *desired_ : *runtime_;
}

void StateCacheConfigTable::UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) {
    desiredUpdates_.fetch_add(1, std::memory_order_relaxed);
    Update(*desired_, updates, fullSync, Stage::kBatch);
}

void StateCacheConfigTable::UpdateDesiredStatePart(const CairnDBUpdateList& part, bool first) {
    Update(*desired_, part, true, first ? Stage::kFirstPart : Stage::kPart);
}

void StateCacheConfigTable::UpdateRuntimeState(const CairnDBUpdateList& updates, bool fullSync) {
    Update(*runtime_, updates, fullSync, Stage::kBatch);
}

void StateCacheConfigTable::Update(Side& side, const CairnDBUpdateList& updates, bool fullSync,
                                   Stage stage) {
    AgentLockGuard agentLock(GlobalAgentLock());
    // A part after no first one starts its full sync all the same.
    if (stage == Stage::kPart && !side.partsOpen)
        stage = Stage::kFirstPart;
    const bool isPart = stage != Stage::kBatch;
    // The last call of a full sync in parts: its version is the parts' one.
    const bool endsParts = fullSync && !isPart && side.partsOpen;
    std::vector<std::string> contexts;
    for (const CairnDBUpdateMsg& r : updates) {
        if (!r.traceContext().empty())
            contexts.push_back(r.traceContext());
    }
    const char* const spanName = side.runtime ? "StateCacheConfigTable.UpdateRuntimeState"
                                              : "StateCacheConfigTable.UpdateDesiredState";
    ozy::wft::Span span(spanName, contexts, /*expectParent=*/false);
    if (side.runtime) {
        if (updates.empty()) {
            span.SetTag("Empty", "True");
        } else {
            span.SetTag("MsgList", std::to_string(updates.size()));
        }
        span.SetTag("isFullSync", fullSync ? "True" : "False");
    }

    // Indexes into `updates` of the records that were applied, in list order.
    std::vector<size_t> applied;
    applied.reserve(updates.size());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sc::PropertyStore& store = side.store;
        if (stage == Stage::kFirstPart || (fullSync && !isPart && !endsParts))
            store.BumpVersion();
        if (stage == Stage::kFirstPart)
            side.partsOpen = true;
        for (size_t i = 0; i < updates.size(); ++i) {
            const CairnDBUpdateMsg& r = updates[i];
            std::unique_ptr<ozy::wft::Span> recordSpan;
            if (!r.traceContext().empty()) {
                recordSpan = std::make_unique<ozy::wft::Span>(
                    side.runtime ? "ConfigCache UpdateRuntimeState"
                                 : "ConfigCache UpdateDesiredState",
                    std::vector<std::string>{r.traceContext()});
                recordSpan->SetTag("objectID", IdText(r.id));
                recordSpan->SetTag("propertyType", PropertyTypeToString(r.property));
            }
            if (r.op != Operation::OPERATION_UPDATE && r.op != Operation::OPERATION_DELETE) {
                CFG_ERROR_CODE("LCP00007", "ConfigCache: unsupported operation %1", r.op);
                continue;
            }
            if (!UsableRecord(r)) {
                CFG_ERROR("ConfigCache: received invalid object from controller");
                continue;
            }
            const PropertyType p = r.property;
            if (p == PropertyType::INVALID_PROPERTY) {
                if (r.op == Operation::OPERATION_UPDATE) {
                    bool hadBody = store.FindProp(r.objType, r.id, p) != nullptr;
                    if (hadBody && side.runtime) {
                        CFG_DEBUG("ConfigCache: create existing object operation!");
                    }
                    store.SetScalar(r.objType, r.id, p, r.data);
                    if (!hadBody) {
                        CFG_DEBUG("ConfigCache: Add object %1 type %2", IdText(r.id),
                                  ObjTypeToString(r.objType));
                    }
                } else if (store.RemoveObject(r.objType, r.id)) {
                    CFG_DEBUG("ConfigCache: Remove object %1 type %2", IdText(r.id),
                              ObjTypeToString(r.objType));
                }
                applied.push_back(i);
                continue;
            }
            const ListProperty* list = FindListProperty(p);
            const bool typePair = r.objType == ObjectType::LOG_SWITCH_CONFIG &&
                                  (p == PropertyType::LS_TYPE || p == PropertyType::LS_SP_SUBTYPE);
            std::string oldValue;
            std::string oldPair;
            bool hadValue = false;
            if (list != nullptr || typePair) {
                const sc::PropSlot* s = store.FindProp(r.objType, r.id, p);
                hadValue = s != nullptr;
                if (s != nullptr)
                    oldValue = s->value.str();
                if (typePair && Logger::enabled(kLogDebug))
                    oldPair = TypeSubtypeText(store, r.id);
            }
            if (r.op == Operation::OPERATION_UPDATE) {
                sc::SetResult res = store.SetScalar(r.objType, r.id, p, r.data);
                if (res == sc::SetResult::kAdded) {
                    CFG_DEBUG("ConfigCache: Add object %1 property %2", IdText(r.id),
                              PropertyTypeToString(p));
                } else {
                    CFG_DEBUG("ConfigCache: Update object %1 property %2", IdText(r.id),
                              PropertyTypeToString(p));
                }
                if (list != nullptr)
                    LogListDiff(*list, oldValue, r.data);
                if (typePair && hadValue && oldValue != r.data && Logger::enabled(kLogDebug)) {
                    CFG_DEBUG(
                        "ConfigCache: Update LS_TYPE/LS_SP_SUBTYPE old config %1 new config %2",
                        oldPair, TypeSubtypeText(store, r.id));
                }
            } else {
                if (store.RemoveProperty(r.objType, r.id, p)) {
                    CFG_DEBUG("ConfigCache: Remove object %1 property %2", IdText(r.id),
                              PropertyTypeToString(p));
                    if (list != nullptr)
                        LogListDiff(*list, oldValue, std::string());
                }
            }
            applied.push_back(i);
        }
        if (fullSync && !isPart) {
            SweepLog log;
            store.Sweep(&log);
            side.partsOpen = false;
        }
    }
    Notify(side, updates, applied, fullSync, stage, endsParts, contexts);
}

void StateCacheConfigTable::Notify(Side& side, const CairnDBUpdateList& updates,
                                   const std::vector<size_t>& applied, bool fullSync, Stage stage,
                                   bool endsParts, const std::vector<std::string>& contexts) {
    const bool isPart = stage != Stage::kBatch;
    // A full sync's parts kept for the observers that take none: dropped when a full sync starts
    // (or starts over), handed over with its last call.
    std::map<SCConfigTableObserver*, CairnDBUpdateList> kept;
    if (stage == Stage::kFirstPart) {
        side.kept.clear();
    } else if (endsParts) {
        kept.swap(side.kept);
    }
    // Snapshot of the observers, taken under the mutex; the agent lock (held by the caller) keeps
    // them registered, and so alive, for the duration of the calls.
    std::vector<std::pair<ObjectType, SCConfigTableObserver*>> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observers.assign(side.observers.begin(), side.observers.end());
    }
    if (observers.empty())
        return;
    ozy::wft::Span outer(side.runtime ? "StateCacheConfigTable.NotifyRuntimeStateObservers"
                                      : "StateCacheConfigTable.NotifyDesiredStateObservers",
                         contexts, /*expectParent=*/false);
    ozy::wft::Span inner(side.runtime ? "ConfigCache NotifyRuntimeStateObservers"
                                      : "ConfigCache NotifyDesiredStateObservers",
                         contexts, /*expectParent=*/false);

    // One list per observer, observers in registration-map order (type, then registration).
    std::vector<std::pair<SCConfigTableObserver*, CairnDBUpdateList>> lists;
    std::unordered_map<SCConfigTableObserver*, size_t> index;
    std::unordered_multimap<ObjectType, size_t> byType;
    for (const auto& [type, obs] : observers) {
        auto it = index.find(obs);
        if (it == index.end()) {
            it = index.emplace(obs, lists.size()).first;
            lists.emplace_back(obs, CairnDBUpdateList());
        }
        byType.emplace(type, it->second);
    }
    // How many records each observer takes. One that takes every record as it came (a table of
    // its types streamed in a full sync, a large apply of one type) gets the batch itself rather
    // than a copy of it; the others get their records in a list sized once.
    std::vector<size_t> counts(lists.size(), 0);
    for (size_t i : applied) {
        auto range = byType.equal_range(updates[i].objType);
        for (auto it = range.first; it != range.second; ++it)
            ++counts[it->second];
    }
    // (Only applied records are counted: a batch with a record the store refused is copied.)
    std::vector<bool> whole(lists.size(), false);
    // During a full sync in parts: whether the observer takes parts; its kept records before the
    // last call's.
    std::vector<bool> takesParts(lists.size(), false);
    for (size_t k = 0; k < lists.size(); ++k) {
        takesParts[k] = lists[k].first->TakesDesiredFullSyncParts();
        if (endsParts) {
            auto it = kept.find(lists[k].first);
            if (it != kept.end())
                lists[k].second = std::move(it->second);
        }
        whole[k] = counts[k] == updates.size();
        // Kept records go first; a part is kept, as a copy, for an observer that takes none.
        if (!lists[k].second.empty() || (isPart && !takesParts[k]))
            whole[k] = false;
        if (!whole[k])
            lists[k].second.reserve(lists[k].second.size() + counts[k]);
    }
    kept.clear();
    for (size_t i : applied) {
        const CairnDBUpdateMsg& r = updates[i];
        auto range = byType.equal_range(r.objType);
        for (auto it = range.first; it != range.second; ++it) {
            if (!whole[it->second])
                lists[it->second].second.push_back(r);
        }
    }
    for (size_t k = 0; k < lists.size(); ++k) {
        SCConfigTableObserver* obs = lists[k].first;
        const CairnDBUpdateList& list = whole[k] ? updates : lists[k].second;
        if (isPart) {
            if (!takesParts[k]) {
                CairnDBUpdateList& into = side.kept[obs];
                into.insert(into.end(), std::make_move_iterator(lists[k].second.begin()),
                            std::make_move_iterator(lists[k].second.end()));
            } else if (!list.empty() || stage == Stage::kFirstPart) {
                obs->ProcessConfigDesiredStateFullSyncPart(list, stage == Stage::kFirstPart);
            }
            CairnDBUpdateList().swap(lists[k].second);
            continue;
        }
        // A full sync reaches every observer, even with nothing of its types: it reconciles on it.
        if (list.empty() && !fullSync)
            continue;
        if (side.runtime) {
            obs->ProcessConfigRuntimeStateUpdate(list, fullSync);
        } else {
            obs->ProcessConfigDesiredStateUpdate(list, fullSync);
        }
        // A copy is freed as soon as its observer has it.
        CairnDBUpdateList().swap(lists[k].second);
    }
}

bool StateCacheConfigTable::RegisterDesiredStateObserver(ObjectType type,
                                                         SCConfigTableObserver* observer) {
    return RegisterObserver(*desired_, type, observer);
}

bool StateCacheConfigTable::RegisterRuntimeStateObserver(ObjectType type,
                                                         SCConfigTableObserver* observer) {
    return RegisterObserver(*runtime_, type, observer);
}

bool StateCacheConfigTable::UnregisterDesiredStateObserver(ObjectType type,
                                                           SCConfigTableObserver* observer) {
    return UnregisterObserver(*desired_, type, observer);
}

bool StateCacheConfigTable::UnregisterRuntimeStateObserver(ObjectType type,
                                                           SCConfigTableObserver* observer) {
    return UnregisterObserver(*runtime_, type, observer);
}

bool StateCacheConfigTable::RegisterObserver(Side& side, ObjectType type,
                                             SCConfigTableObserver* observer) {
    if (observer == nullptr) {
        if (side.runtime) {
            CFG_ERROR("ConfigCache: register NULL runtime state observer!");
        } else {
            CFG_ERROR("ConfigCache: register NULL desired state observer!");
        }
        return false;
    }
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    auto range = side.observers.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == observer) {
            if (side.runtime) {
                CFG_ERROR("ConfigCache: register existing runtime state observer (%1)!",
                          ObjTypeToString(type));
            } else {
                CFG_ERROR("ConfigCache: register existing desired state observer (%1)!",
                          ObjTypeToString(type));
            }
            return false;
        }
    }
    side.observers.emplace(type, observer);
    return true;
}

bool StateCacheConfigTable::UnregisterObserver(Side& side, ObjectType type,
                                               SCConfigTableObserver* observer) {
    if (observer == nullptr) {
        if (side.runtime) {
            CFG_ERROR("ConfigCache: unregister NULL runtime state observer!");
        } else {
            CFG_ERROR("ConfigCache: unregister NULL desired state observer!");
        }
        return false;
    }
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    auto range = side.observers.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == observer) {
            side.observers.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace CfgAgent
