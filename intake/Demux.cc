#include "intake/Demux.h"

#include <algorithm>
#include <iterator>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "intake/ICairndbClient.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using demux::Link;
using demux::NodeLinks;
using demux::NodeType;

namespace {

using Lock = std::lock_guard<std::mutex>;

const char* KindText(NodeType t) {
    switch (t) {
        case NodeType::LOG_SWITCH:
            return "Demux: Demux logical switch with id %1 op %2";
        case NodeType::LOG_SWITCH_PORT:
            return "Demux: Demux logical switch port with id %1 op %2";
        case NodeType::TRANSPORT_NODE:
            return "Demux: Demux transport node with id %1 op %2";
        case NodeType::VTEP_GROUP:
            return "Demux: Demux vtep group with id %1 op %2";
        case NodeType::LOG_ROUTER:
            return "Demux: Demux logical router with id %1 op %2";
        case NodeType::LOG_ROUTER_PORT:
            return "Demux: Demux logical router port with id %1 op %2";
        case NodeType::MULTICAST_STATIC_ROUTE:
            return "Demux: Demux multicast static route with id %1 op %2";
        case NodeType::MULTICAST_CONFIG:
            return "Demux: Demux multicast config with id %1 op %2";
        case NodeType::LOG_ROUTER_PORT_FIB_DAD_STATE:
            return "Demux: Demux logical router port fib dad state with id %1 op %2";
        case NodeType::LOG_ROUTER_PORT_DAD_REQUEST:
            return "Demux: Demux logical router port dad request with id %1 op %2";
        case NodeType::PREFIX_LIST:
            return "Demux: Demux prefix list with id %1 op %2";
        case NodeType::DAD_PROFILE:
            return "Demux: Demux dad profile config with id %1 op %2";
        case NodeType::NDRA_PROFILE:
            return "Demux: Demux ndra profile config with id %1 op %2";
        case NodeType::ENTITY_GROUP_RELATION:
            return "Demux: Demux entity group relation with id %1 op %2";
        case NodeType::DA_VIF:
            return "Demux: Demux da vif with id %1 op %2";
        case NodeType::LOG_SWITCH_FIB:
            return "Demux: Demux logical switch fib with id %1 op %2";
        case NodeType::ROUTING_DOMAIN_FIB:
            return "Demux: Demux routing domain fib with id %1 op %2";
        case NodeType::FIB:
            return "Demux: Demux logical router fib with id %1 op %2";
        case NodeType::ARP_TABLE:
            return "Demux: Demux arp table with id %1 op %2";
        default:
            return "Demux: Demux node type %3 with id %1 op %2";
    }
}

const char* InvalidTableOpText(NodeType t) {
    switch (t) {
        case NodeType::LOG_SWITCH_FIB:
            return "Demux: Demux logical switch fib with invalide type %1";
        case NodeType::ROUTING_DOMAIN_FIB:
            return "Demux: Demux routing domain fib with invalide type %1";
        case NodeType::FIB:
            return "Demux: Demux logical router fib with invalide type %1";
        case NodeType::ARP_TABLE:
            return "Demux: Demux arp table with invalide type %1";
        default:
            return "Demux: Demux node type %2 with invalid operation %1";
    }
}

void LogInsert(NodeType t, const std::string& idText, const std::string& parentText) {
    switch (t) {
        case NodeType::LOG_SWITCH:
            CFG_DEBUG("Demux: Insert logical switch node with id %1", idText);
            break;
        case NodeType::LOG_SWITCH_PORT:
            CFG_DEBUG("Demux: Insert logical switch port node with id %1", idText);
            break;
        case NodeType::LOG_ROUTER:
            CFG_DEBUG("Demux: Insert logical router node with id %1", idText);
            break;
        case NodeType::LOG_ROUTER_PORT:
            CFG_DEBUG("Demux: Insert logical router port node with id %1", idText);
            break;
        case NodeType::TRANSPORT_NODE:
            CFG_DEBUG("Demux: Insert transport node with id %1.", idText);
            break;
        case NodeType::HOST_SWITCH:
            CFG_DEBUG("Demux: Insert host switch node with pKey %1, id %2", parentText, idText);
            break;
        default:
            CFG_DEBUG("Demux: Insert node with type %1, id %2", demux::NodeTypeName(t), idText);
            break;
    }
}

void LogUpdate(NodeType t, const std::string& idText) {
    switch (t) {
        case NodeType::LOG_SWITCH:
            CFG_DEBUG("Demux: Demux update logical switch with id %1", idText);
            break;
        case NodeType::LOG_SWITCH_PORT:
            CFG_DEBUG("Demux: Demux update logical switch port with id %1", idText);
            break;
        case NodeType::LOG_ROUTER:
            CFG_DEBUG("Demux: Demux update logical router with id %1", idText);
            break;
        case NodeType::LOG_ROUTER_PORT:
            CFG_DEBUG("Demux: Demux update logical router port with id %1", idText);
            break;
        case NodeType::TRANSPORT_NODE:
            CFG_DEBUG("Demux: Demux update transport node with id %1", idText);
            break;
        default:
            CFG_DEBUG("Demux: Demux update node with type %1, id %2", demux::NodeTypeName(t),
                      idText);
            break;
    }
}

// The object operation of an op message (field 1 of every op class); INVALID when it does not
// parse.
PBOpType ObjectOpOf(ObjectType type, const std::string& opMsg) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    if (info == nullptr)
        return PBOpType::INVALID;
    std::unique_ptr<google::protobuf::Message> op(info->op->New());
    if (!op->ParseFromString(opMsg))
        return PBOpType::INVALID;
    const auto* f = op->GetDescriptor()->FindFieldByNumber(1);
    if (f == nullptr || f->message_type() != pb::OpMsg::descriptor())
        return PBOpType::INVALID;
    pb::OpMsg objectOp;
    if (!objectOp.ParseFromString(op->GetReflection()->GetMessage(*op, f).SerializeAsString()))
        return PBOpType::INVALID;
    return static_cast<PBOpType>(objectOp.op());
}

// The schema name of a type, "UNKNOWN" for a value outside the schema.
const char* TypeName(ObjectType type) {
    const char* name = ObjectTypeName(static_cast<uint32_t>(type));
    return name != nullptr ? name : "UNKNOWN";
}

bool IsSetOp(PBOpType op) {
    return op == PBOpType::SET || op == PBOpType::UPDATE;
}

std::vector<uint16_t> Minus(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    std::vector<uint16_t> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

std::string IndexKey(NodeType a, NodeType b, const std::string& key) {
    std::string k;
    k.reserve(key.size() + 2);
    k.push_back(static_cast<char>(a));
    k.push_back(static_cast<char>(b));
    k += key;
    return k;
}

Demux::Buffer SpanOf(const pb::MonitorUpdateMsg& u) {
    if (!u.has_span_context())
        return nullptr;
    return std::make_shared<const std::string>(u.span_context().SerializeAsString());
}

// The object types flushed for a vdb: every demuxed type, then every global type.
const std::vector<ObjectType>& FlushTypes() {
    static const std::vector<ObjectType> types = [] {
        std::vector<ObjectType> out = demux::DemuxedObjectTypes();
        size_t count = 0;
        const ObjectType* all = AllObjectTypeValues(&count);
        for (size_t i = 0; i < count; ++i) {
            if (Decoder::DemuxRouteOf(all[i]) == DemuxRoute::GENERIC)
                out.push_back(all[i]);
        }
        return out;
    }();
    return types;
}

}  // namespace

Demux::Demux() = default;
Demux::~Demux() = default;

Demux::NodeKey Demux::KeyOf(NodeType type, const std::string& id) {
    NodeKey k;
    k.reserve(id.size() + 1);
    k.push_back(static_cast<char>(type));
    k += id;
    return k;
}

Demux::Node* Demux::Find(NodeType type, const std::string& id) {
    auto it = nodes_.find(KeyOf(type, id));
    return it == nodes_.end() ? nullptr : &it->second;
}

const Demux::Node* Demux::Find(NodeType type, const std::string& id) const {
    auto it = nodes_.find(KeyOf(type, id));
    return it == nodes_.end() ? nullptr : &it->second;
}

void Demux::SetBarrierHook(BarrierHook hook) {
    Lock lock(mutex_);
    barrierHook_ = std::move(hook);
}

// ---- updates ------------------------------------------------------------------------------------

void Demux::Update(const pb::MonitorUpdateMsg& update, DemuxRoute route) {
    const ObjectType type = static_cast<ObjectType>(update.object_type());
    if (route == DemuxRoute::GENERIC) {
        const PBOpType op = ObjectOpOf(type, update.op_msg());
        const std::string& body = op == PBOpType::CLEAR && !update.old_object_body().empty()
                                      ? update.old_object_body()
                                      : update.object_body();
        const std::string id = demux::IdOfBody(type, body);
        if (id.empty()) {
            CFG_ERROR_CODE("LCP00028", "Demux: Global object of type %1 without id, dropped",
                           TypeName(type));
            return;
        }
        UpdateGlobal(type, op, id, update);
        return;
    }
    const NodeType node = demux::NodeTypeOfObject(type);
    if (node == NodeType::NONE || route == DemuxRoute::NONE) {
        CFG_ERROR_CODE("LCP00028", "Demux: Object type %1 is not demuxed, dropped",
                       static_cast<uint32_t>(type));
        return;
    }
    Lock lock(mutex_);
    Topological(node, update);
}

void Demux::Topological(NodeType type, const pb::MonitorUpdateMsg& update) {
    const ObjectType objType = demux::ObjectTypeOfNode(static_cast<uint32_t>(type));
    const PBOpType op = ObjectOpOf(objType, update.op_msg());
    const bool clear = op == PBOpType::CLEAR;
    const std::string& raw = clear && !update.old_object_body().empty() ? update.old_object_body()
                                                                        : update.object_body();
    NodeLinks links;
    const bool parsed = demux::ParseLinks(type, raw, &links);
    const std::string idText = parsed ? demux::IdText(links.id) : std::string("?");
    if (type == NodeType::NSG_MEMBERSHIP_STATUS) {
        CFG_DEBUG("Demux: Demux NSG_MEMBERSHIP_STATUS with id %1, LSP id %2, op %3", idText,
                  links.detail, PBOpTypeToString(op));
    } else {
        CFG_DEBUG(KindText(type), idText, PBOpTypeToString(op), demux::NodeTypeName(type));
    }
    if (!IsSetOp(op) && !clear) {
        CFG_ERROR_CODE("LCP00028", InvalidTableOpText(type), static_cast<uint32_t>(op),
                       demux::NodeTypeName(type));
        return;
    }
    if (!parsed) {
        CFG_ERROR_CODE("LCP00028",
                       "Demux: Body of %1 does not parse or carries no id (op %2), dropped",
                       TypeName(objType), PBOpTypeToString(op));
        return;
    }
    if (clear) {
        RemoveNode(type, links.id);
        Run();
        return;
    }
    if (links.badEntityType != 0) {
        CFG_ERROR("Demux: Entity group type %1 is not LSP or LRP", links.badEntityType);
    }
    Buffer body;
    const Node* existing = Find(type, links.id);
    if (demux::IsForwardingTable(type) && existing != nullptr && existing->body) {
        std::string patched;
        const demux::PatchResult r =
            demux::PatchTable(objType, *existing->body, update.op_msg(), raw, &patched);
        if (r == demux::PatchResult::kPatched) {
            body = std::make_shared<const std::string>(std::move(patched));
        } else {
            CFG_ERROR_CODE(
                "LCP00028",
                "Demux: Entry operations of %1 %2 do not fit the stored table (%3), "
                "the delivered body is kept",
                TypeName(objType), idText,
                r == demux::PatchResult::kBadIndex ? "index out of range" : "unreadable");
        }
    }
    if (!body)
        body = std::make_shared<const std::string>(raw);
    SetNode(type, std::move(links), std::move(body), SpanOf(update));
    Run();
}

void Demux::SetNode(NodeType type, NodeLinks links, Buffer body, Buffer span) {
    const std::string idText = demux::IdText(links.id);
    const NodeKey key = KeyOf(type, links.id);
    auto it = nodes_.find(key);
    if (it == nodes_.end()) {
        std::string parentText;
        if (!links.parents.empty())
            parentText = demux::IdText(links.parents.front().key);
        LogInsert(type, idText, parentText);
        Node fresh;
        fresh.type = type;
        fresh.id = links.id;
        it = nodes_.emplace(key, std::move(fresh)).first;
    } else {
        LogUpdate(type, idText);
    }
    Node& node = it->second;
    node.version = version_;
    node.body = std::move(body);
    node.span = std::move(span);
    if (type == NodeType::LOG_SWITCH_PORT && !links.detail.empty()) {
        CFG_DEBUG("Demux: Logical switch port id %1 has vif attachment id %2", idText,
                  links.detail);
    }
    Relink(node, std::move(links.parents), std::move(links.offers));
    if (node.body)
        dirty_.insert(key);
    Queue(node);
    if (type == NodeType::TRANSPORT_NODE)
        SyncHostSwitches(node, links.hostSwitches);
}

void Demux::SyncHostSwitches(Node& tn, const std::vector<demux::HostSwitchLinks>& now) {
    const std::string tnId = tn.id;
    std::vector<std::string> ids;
    for (const demux::HostSwitchLinks& hs : now)
        ids.push_back(hs.id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    const std::vector<std::string> old = tn.hostSwitches;
    tn.hostSwitches = ids;
    for (const std::string& gone : old) {
        if (!std::binary_search(ids.begin(), ids.end(), gone))
            RemoveNode(NodeType::HOST_SWITCH, gone);
    }
    for (const demux::HostSwitchLinks& hs : now) {
        NodeLinks links = demux::HostSwitchNodeLinks(tnId, hs);
        if (bindings_.count(hs.id) != 0 && Find(NodeType::HOST_SWITCH, hs.id) == nullptr) {
            CFG_INFO(
                "Demux: Parent NODE_TRANSPORT_NODE id %1 for hostSwitchId %2 found in node table, "
                "do update",
                demux::IdText(tnId), demux::IdText(hs.id));
        }
        SetNode(NodeType::HOST_SWITCH, std::move(links), nullptr, nullptr);
    }
}

void Demux::RemoveNode(NodeType type, const std::string& id) {
    const NodeKey key = KeyOf(type, id);
    auto it = nodes_.find(key);
    if (it == nodes_.end()) {
        CFG_INFO("Demux: Object type %1 with id %2 is not existed",
                 TypeName(demux::ObjectTypeOfNode(static_cast<uint32_t>(type))), demux::IdText(id));
        return;
    }
    Node& node = it->second;
    CFG_DEBUG("Demux: Delete node with type %1, id %2", demux::NodeTypeName(type),
              demux::IdText(id));
    if (node.body)
        EmitDelete(demux::ObjectTypeOfNode(static_cast<uint32_t>(type)), id, node.vdbs);
    node.vdbs.clear();
    QueueChildren(node);
    if (type == NodeType::TRANSPORT_NODE) {
        const std::vector<std::string> switches = node.hostSwitches;
        for (const std::string& hs : switches)
            RemoveNode(NodeType::HOST_SWITCH, hs);
    }
    it = nodes_.find(key);  // the host switches' removal may rehash
    Unlink(it->second);
    dirty_.erase(key);
    work_.erase({demux::NodeRank(type), key});
    nodes_.erase(it);
}

// ---- links and recomputation --------------------------------------------------------------------

void Demux::Relink(Node& node, std::vector<Link> parents, std::vector<Link> offers) {
    const bool offersChanged = node.offers != offers;
    if (offersChanged)
        QueueChildren(node);  // the children under the old offers
    Unlink(node);
    node.parents = std::move(parents);
    node.offers = std::move(offers);
    for (const Link& p : node.parents)
        referrers_[IndexKey(node.type, p.type, p.key)].insert(node.id);
    for (const Link& o : node.offers)
        offerers_[IndexKey(node.type, o.type, o.key)].insert(node.id);
    if (offersChanged)
        QueueChildren(node);  // and under the new ones
}

void Demux::Unlink(const Node& node) {
    auto drop = [&node](std::unordered_map<std::string, std::set<std::string>>& index,
                        const std::string& k) {
        auto it = index.find(k);
        if (it == index.end())
            return;
        it->second.erase(node.id);
        if (it->second.empty())
            index.erase(it);
    };
    for (const Link& p : node.parents)
        drop(referrers_, IndexKey(node.type, p.type, p.key));
    for (const Link& o : node.offers)
        drop(offerers_, IndexKey(node.type, o.type, o.key));
}

void Demux::Queue(const Node& node) {
    work_.insert({demux::NodeRank(node.type), KeyOf(node.type, node.id)});
}

void Demux::QueueChildren(const Node& node) {
    if (node.type == NodeType::TRANSPORT_NODE)
        return;  // its host switches take their vdbs from the bindings, not from it
    for (const Link& o : node.offers) {
        auto it = referrers_.find(IndexKey(o.type, node.type, o.key));
        if (it == referrers_.end())
            continue;
        for (const std::string& child : it->second)
            work_.insert({demux::NodeRank(o.type), KeyOf(o.type, child)});
    }
    if (node.type == NodeType::HOST_SWITCH) {
        for (const Link& p : node.parents)
            work_.insert({demux::NodeRank(p.type), KeyOf(p.type, p.key)});
    }
}

std::vector<uint16_t> Demux::ComputeVdbs(const Node& node) const {
    std::set<uint16_t> out;
    if (node.type == NodeType::HOST_SWITCH) {
        auto it = bindings_.find(node.id);
        if (it != bindings_.end())
            out = it->second;
    } else if (node.type == NodeType::TRANSPORT_NODE) {
        for (const std::string& hs : node.hostSwitches) {
            if (const Node* h = Find(NodeType::HOST_SWITCH, hs))
                out.insert(h->vdbs.begin(), h->vdbs.end());
        }
    } else {
        for (const Link& p : node.parents) {
            auto it = offerers_.find(IndexKey(p.type, node.type, p.key));
            const size_t found = it == offerers_.end() ? 0 : it->second.size();
            CFG_TRACE("Demux: Get parents with cType %1, pType %2, pKey %3, ret %4",
                      demux::NodeTypeName(node.type), demux::NodeTypeName(p.type),
                      demux::IdText(p.key), found);
            if (found == 0)
                continue;
            for (const std::string& parentId : it->second) {
                if (const Node* parent = Find(p.type, parentId))
                    out.insert(parent->vdbs.begin(), parent->vdbs.end());
            }
        }
    }
    return {out.begin(), out.end()};
}

void Demux::Run() {
    // Parents rank below their children, so each node is computed once, from settled parents.
    std::set<NodeKey> visited;
    while (!work_.empty()) {
        const NodeKey key = work_.begin()->second;
        work_.erase(work_.begin());
        if (!visited.insert(key).second) {
            CFG_ERROR_CODE("LCP00028", "Demux: Node %1 reached twice in one update, skipped",
                           demux::IdText(key.substr(1)));
            continue;
        }
        auto it = nodes_.find(key);
        if (it == nodes_.end())
            continue;
        Node& node = it->second;
        std::vector<uint16_t> now = ComputeVdbs(node);
        const bool dirty = dirty_.erase(key) != 0;
        const std::vector<uint16_t> added = Minus(now, node.vdbs);
        const std::vector<uint16_t> removed = Minus(node.vdbs, now);
        if (!added.empty() || !removed.empty()) {
            CFG_DEBUG("Demux: Update node(type %1, id %2) children vdb",
                      demux::NodeTypeName(node.type), demux::IdText(node.id));
            if (node.type == NodeType::HOST_SWITCH) {
                CFG_DEBUG("Demux: Update host switch %1 children node with vdb size %2",
                          demux::IdText(node.id), now.size());
            }
        }
        if (node.body) {
            EmitPut(node, dirty ? now : added);
            EmitDelete(demux::ObjectTypeOfNode(static_cast<uint32_t>(node.type)), node.id, removed);
        }
        const bool changed = now != node.vdbs;
        node.vdbs = std::move(now);
        if (changed)
            QueueChildren(node);
    }
    dirty_.clear();
}

// ---- globals and binding ------------------------------------------------------------------------

void Demux::UpdateGlobal(ObjectType type, PBOpType op, const std::string& id,
                         const pb::MonitorUpdateMsg& update) {
    Lock lock(mutex_);
    const auto key = std::make_pair(type, id);
    const std::vector<uint16_t> vdbs = BoundVdbs();
    if (IsSetOp(op)) {
        Global& g = globals_[key];
        g.body = std::make_shared<const std::string>(update.object_body());
        g.span = SpanOf(update);
        g.version = version_;
        for (uint16_t v : vdbs) {
            CFG_DEBUG("Demux: Forward the global msg to vdb id %1", v);
            pending_.push_back(Request{Request::kPut, v, type, id, g.body, g.span});
        }
        if (type == ObjectType::BARRIER && barrierHook_)
            barrierHook_(update.object_body(), std::set<uint16_t>(vdbs.begin(), vdbs.end()));
    } else if (op == PBOpType::CLEAR) {
        if (globals_.erase(key) == 0) {
            CFG_INFO("Demux: Object type %1 with id %2 is not existed", TypeName(type),
                     demux::IdText(id));
        }
        EmitDelete(type, id, vdbs);
    } else {
        CFG_ERROR_CODE("LCP00028", "Demux: Global object of type %1 with invalid operation %2",
                       TypeName(type), static_cast<uint32_t>(op));
    }
}

std::vector<uint16_t> Demux::BoundVdbs() const {
    std::vector<uint16_t> out;
    for (const auto& [vdb, switches] : vdbSwitches_) {
        if (!switches.empty())
            out.push_back(vdb);
    }
    return out;
}

void Demux::BindVdb(uint16_t vdb, const std::string& hostSwitch) {
    Lock lock(mutex_);
    const std::string hsText = demux::IdText(hostSwitch);
    CFG_INFO("Demux: Set vdb id %1 hostSwitchId %2", vdb, hsText);
    std::set<uint16_t>& vdbs = bindings_[hostSwitch];
    if (vdbs.count(vdb) != 0) {
        CFG_INFO("Demux: Vdb id %1 is already existed in host switch %2", vdb, hsText);
        return;
    }
    std::set<std::string>& switches = vdbSwitches_[vdb];
    const bool newVdb = switches.empty();
    vdbs.insert(vdb);
    switches.insert(hostSwitch);
    if (newVdb) {
        CFG_INFO("Demux: New vdb id %1 for hostSwitchId %2", vdb, hsText);
        for (const auto& [key, g] : globals_) {
            CFG_DEBUG("Demux: Forward the global msg to vdb id %1", vdb);
            pending_.push_back(Request{Request::kPut, vdb, key.first, key.second, g.body, g.span});
        }
    }
    const Node* hs = Find(NodeType::HOST_SWITCH, hostSwitch);
    if (hs == nullptr) {
        CFG_INFO("Demux: hostSwitchId %1 not found in node table", hsText);
        return;
    }
    Queue(*hs);
    Run();
}

void Demux::UnbindVdb(uint16_t vdb, const std::string& hostSwitch) {
    Lock lock(mutex_);
    const std::string hsText = demux::IdText(hostSwitch);
    CFG_INFO("Demux: Delete vdb id %1 hostSwitchId %2", vdb, hsText);
    auto b = bindings_.find(hostSwitch);
    if (b == bindings_.end() || b->second.erase(vdb) == 0) {
        CFG_INFO("Demux: Unable to find hostSwitchId for vdb id %1, return", vdb);
        return;
    }
    if (b->second.empty())
        bindings_.erase(b);
    auto s = vdbSwitches_.find(vdb);
    bool last = true;
    if (s != vdbSwitches_.end()) {
        s->second.erase(hostSwitch);
        last = s->second.empty();
        if (last)
            vdbSwitches_.erase(s);
    }
    // The last host switch of the vdb: the vdb is flushed, so nothing needs deleting one by one.
    if (last)
        suppressed_ = vdb;
    if (const Node* hs = Find(NodeType::HOST_SWITCH, hostSwitch)) {
        Queue(*hs);
        Run();
    }
    suppressed_ = 0;
    if (last)
        EmitFlushes(vdb, false);
}

// ---- requests -----------------------------------------------------------------------------------

void Demux::EmitPut(const Node& node, const std::vector<uint16_t>& vdbs) {
    if (vdbs.empty())
        return;
    const ObjectType type = demux::ObjectTypeOfNode(static_cast<uint32_t>(node.type));
    for (uint16_t v : vdbs) {
        CFG_DEBUG("Demux: Add vdb %1 for node(type %2, id %3)", v, demux::NodeTypeName(node.type),
                  demux::IdText(node.id));
        pending_.push_back(Request{Request::kPut, v, type, node.id, node.body, node.span});
    }
}

void Demux::EmitDelete(ObjectType type, const std::string& id, const std::vector<uint16_t>& vdbs) {
    for (uint16_t v : vdbs) {
        if (v == suppressed_)
            continue;
        CFG_DEBUG("Demux: Del vdb %1 for object type %2, id %3", v, TypeName(type),
                  demux::IdText(id));
        pending_.push_back(Request{Request::kDelete, v, type, id, nullptr, nullptr});
    }
}

void Demux::EmitFlushes(uint16_t vdb, bool front) {
    std::vector<Request> flushes;
    for (ObjectType t : FlushTypes()) {
        CFG_DEBUG("Demux: Generate flush message with cairndb type %1, vdb %2.",
                  static_cast<uint32_t>(t), vdb);
        flushes.push_back(Request{Request::kFlush, vdb, t, std::string(), nullptr, nullptr});
    }
    if (front) {
        pending_.insert(pending_.begin() + static_cast<std::ptrdiff_t>(flushFront_),
                        flushes.begin(), flushes.end());
        flushFront_ += flushes.size();
    } else {
        pending_.insert(pending_.end(), flushes.begin(), flushes.end());
    }
}

void Demux::Sweep() {
    CFG_INFO("Demux: Delete node by old version %1", version_);
    std::vector<std::pair<NodeType, std::string>> stale;
    for (const auto& [key, node] : nodes_) {
        if (node.version < version_ && node.type != NodeType::HOST_SWITCH) {
            CFG_DEBUG("Demux: Delete node with type %1, id %2, version %3",
                      demux::NodeTypeName(node.type), demux::IdText(node.id), node.version);
            stale.emplace_back(node.type, node.id);
        }
    }
    for (const auto& [type, id] : stale) {
        if (Find(type, id) != nullptr)
            RemoveNode(type, id);
    }
    Run();
    const std::vector<uint16_t> vdbs = BoundVdbs();
    for (auto it = globals_.begin(); it != globals_.end();) {
        if (it->second.version >= version_) {
            ++it;
            continue;
        }
        EmitDelete(it->first.first, it->first.second, vdbs);
        it = globals_.erase(it);
    }
}

void Demux::Barrier(bool fullSync, ICairndbClient* writer) {
    Lock lock(mutex_);
    if (fullSync) {
        if (fullSyncDone_) {
            Sweep();
        } else {
            const std::vector<uint16_t> vdbs = BoundVdbs();
            if (vdbs.empty()) {
                CFG_INFO("Demux: Flush demuxed config with empty vdb map.");
                CFG_INFO("Demux: Flush global config with empty vdb map.");
            } else {
                CFG_INFO("Demux: Flush demuxed config.");
                CFG_INFO("Demux: Flush global config.");
            }
            for (uint16_t v : vdbs)
                EmitFlushes(v, true);
            fullSyncDone_ = true;
        }
    }
    const std::vector<Request> merged = Merged(true);
    pending_.clear();
    flushFront_ = 0;
    if (merged.empty() || writer == nullptr)
        return;
    std::vector<pb::ModifyRequestMsg> list;
    list.reserve(merged.size());
    for (const Request& r : merged)
        list.push_back(Build(r));
    writer->write(list);
}

std::vector<Demux::Request> Demux::Merged(bool log) const {
    if (log)
        CFG_DEBUG("Demux: MergeRepeatedMessages with msgList size %1", pending_.size());
    // The last request per (vdb, type, id) wins; flushes keep their place.
    std::vector<bool> keep(pending_.size(), true);
    std::unordered_map<std::string, size_t> last;
    for (size_t i = pending_.size(); i-- > 0;) {
        const Request& r = pending_[i];
        if (r.kind == Request::kFlush)
            continue;
        std::string key;
        key.reserve(r.id.size() + 6);
        key.push_back(static_cast<char>(r.vdb >> 8));
        key.push_back(static_cast<char>(r.vdb & 0xFF));
        const uint32_t t = static_cast<uint32_t>(r.type);
        key.append(reinterpret_cast<const char*>(&t), sizeof(t));
        key += r.id;
        auto [it, fresh] = last.emplace(std::move(key), i);
        if (fresh)
            continue;
        keep[i] = false;
        if (!log)
            continue;
        const Request& later = pending_[it->second];
        const char* opText = r.kind == Request::kPut ? "put" : "delete";
        const bool same =
            later.kind == r.kind &&
            (r.kind == Request::kDelete ||
             (r.body && later.body && (r.body == later.body || *r.body == *later.body)));
        if (same) {
            CFG_WARN_CODE("LCP00028",
                          "Demux: find the same cairndb update %1 msg (object id %2) property %3 "
                          "operation %4",
                          TypeName(r.type), demux::IdText(r.id), r.vdb, opText);
        } else {
            CFG_DEBUG("Demux: merge %1 msg (object id %2) property %3 operation %4",
                      TypeName(r.type), demux::IdText(r.id), r.vdb, opText);
        }
    }
    std::vector<Request> out;
    out.reserve(pending_.size());
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (keep[i])
            out.push_back(pending_[i]);
    }
    if (log)
        CFG_DEBUG("Demux: After MergeRepeatedMessages, msgList size %1", out.size());
    return out;
}

pb::ModifyRequestMsg Demux::Build(const Request& r) {
    pb::ModifyRequestMsg m;
    m.set_vdb(r.vdb);
    const auto type = static_cast<pb::ObjectType>(r.type);
    switch (r.kind) {
        case Request::kPut: {
            CFG_TRACE("Demux: Generate put cairndb request with cairndb type %1, vdb %2.",
                      static_cast<uint32_t>(r.type), r.vdb);
            pb::PutMsg* put = m.mutable_put();
            put->mutable_object()->set_object_type(type);
            put->mutable_object()->set_body(*r.body);
            if (r.span && put->mutable_span()->ParseFromString(*r.span)) {
                const pb::SpanContextMsg& sc = put->span();
                CFG_TRACE(
                    "Demux: put msg to cairndb with workflow tracing info: high trace id %1, low "
                    "trace id %2, span id %3, parent id %4",
                    sc.trace_id_high(), sc.trace_id_low(), sc.span_id(), sc.parent_span_id());
            }
            break;
        }
        case Request::kDelete: {
            CFG_TRACE("Demux: Generate delete cairndb request with cairndb type %1, vdb %2.",
                      static_cast<uint32_t>(r.type), r.vdb);
            pb::DeleteMsg* del = m.mutable_delete_();
            del->set_object_type(type);
            if (!del->mutable_id()->ParseFromString(r.id))
                del->clear_id();
            break;
        }
        case Request::kFlush:
            m.mutable_flush()->set_object_type(type);
            break;
    }
    return m;
}

void Demux::ChannelStatus(bool up) {
    Lock lock(mutex_);
    if (up && !channelUp_) {
        ++version_;
        CFG_INFO("Demux: Cairndb channel turns to up, change fullsync version to %1", version_);
    }
    channelUp_ = up;
}

// ---- inspection ---------------------------------------------------------------------------------

Demux::Info Demux::GetInfo() const {
    Lock lock(mutex_);
    Info info;
    info.version = version_;
    info.channelUp = channelUp_;
    info.fullSyncDone = fullSyncDone_;
    info.nodes = nodes_.size();
    info.globals = globals_.size();
    info.pending = pending_.size();
    for (const auto& [key, node] : nodes_) {
        ++info.nodesPerType[static_cast<size_t>(node.type)];
        if (!node.body)
            continue;
        for (uint16_t v : node.vdbs)
            ++info.objectsPerVdb[v];
    }
    for (const auto& [vdb, switches] : vdbSwitches_) {
        info.bindings[vdb] = switches;
        info.objectsPerVdb[vdb] += globals_.size();
    }
    return info;
}

std::vector<uint16_t> Demux::VdbsOf(ObjectType type, const std::string& id) const {
    Lock lock(mutex_);
    const NodeType nt = demux::NodeTypeOfObject(type);
    if (nt != NodeType::NONE) {
        const Node* n = Find(nt, id);
        return n != nullptr ? n->vdbs : std::vector<uint16_t>();
    }
    if (globals_.count({type, id}) == 0)
        return {};
    return BoundVdbs();
}

std::vector<Demux::ObjectView> Demux::ObjectsById(uint16_t vdb, const std::string& id) const {
    Lock lock(mutex_);
    std::vector<ObjectView> out;
    for (const ObjectType t : FlushTypes()) {
        const NodeType nt = demux::NodeTypeOfObject(t);
        if (nt != NodeType::NONE) {
            const Node* n = Find(nt, id);
            if (n != nullptr && n->body && std::binary_search(n->vdbs.begin(), n->vdbs.end(), vdb))
                out.push_back(ObjectView{t, id, nt, n->vdbs, n->version, n->body});
            continue;
        }
        auto g = globals_.find({t, id});
        if (g != globals_.end() && vdbSwitches_.count(vdb) != 0)
            out.push_back(ObjectView{t, id, nt, BoundVdbs(), g->second.version, g->second.body});
    }
    return out;
}

std::vector<Demux::ObjectView> Demux::ObjectsByType(ObjectType type, uint16_t vdb) const {
    Lock lock(mutex_);
    std::vector<ObjectView> out;
    const NodeType nt = demux::NodeTypeOfObject(type);
    if (nt != NodeType::NONE) {
        for (const auto& [key, n] : nodes_) {
            const bool inVdb =
                vdb == 0 ? !n.vdbs.empty() : std::binary_search(n.vdbs.begin(), n.vdbs.end(), vdb);
            if (n.type == nt && n.body && inVdb)
                out.push_back(ObjectView{type, n.id, nt, n.vdbs, n.version, n.body});
        }
        return out;
    }
    if (vdb == 0 ? vdbSwitches_.empty() : vdbSwitches_.count(vdb) == 0)
        return out;
    for (auto it = globals_.lower_bound({type, std::string()});
         it != globals_.end() && it->first.first == type; ++it)
        out.push_back(ObjectView{type, it->first.second, nt, BoundVdbs(), it->second.version,
                                 it->second.body});
    return out;
}

std::vector<pb::ModifyRequestMsg> Demux::PendingRequests() const {
    Lock lock(mutex_);
    std::vector<pb::ModifyRequestMsg> out;
    for (const Request& r : Merged(false))
        out.push_back(Build(r));
    return out;
}

}  // namespace CfgAgent
