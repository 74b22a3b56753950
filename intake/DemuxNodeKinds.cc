#include "intake/DemuxNodeKinds.h"

#include <algorithm>
#include <memory>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent::demux {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

namespace {

using NT = NodeType;
using OT = ObjectType;

struct Kind {
    NT node;
    OT object;
    const char* name;
    int rank;
};

// Indexed by node type.
constexpr Kind kKinds[kNodeTypeCount] = {
    {NT::NONE, OT::OBJECT_TYPE_INVALID, "NODE_NONE", 0},
    {NT::LOG_SWITCH, OT::LOG_SWITCH_CONFIG, "NODE_LOGICAL_SWITCH", 2},
    {NT::LOG_SWITCH_PORT, OT::LOG_SWITCH_PORT_CONFIG, "NODE_LOGICAL_SWITCH_PORT", 3},
    {NT::TRANSPORT_NODE, OT::TRANSPORT_NODE_CONFIG, "NODE_TRANSPORT_NODE", 9},
    {NT::HOST_SWITCH, OT::OBJECT_TYPE_INVALID, "NODE_HOST_SWITCH", 1},
    {NT::DA_VIF, OT::DA_VIF, "NODE_DA_VIF", 4},
    {NT::VTEP_GROUP, OT::VTEP_GROUP, "NODE_VTEP_GROUP", 2},
    {NT::LOG_SWITCH_FIB, OT::LOG_SWITCH_FIB, "NODE_LOGICAL_SWITCH_FIB", 3},
    {NT::ROUTING_DOMAIN_FIB, OT::ROUTING_DOMAIN_FIB, "NODE_ROUTING_DOMAIN_FIB", 3},
    {NT::LOG_ROUTER, OT::LOG_ROUTER_CONFIG, "NODE_LOGICAL_ROUTER", 3},
    {NT::LOG_ROUTER_PORT, OT::LOG_ROUTER_PORT_CONFIG, "NODE_LOGICAL_ROUTER_PORT", 4},
    {NT::FIB, OT::FIB, "NODE_FIB", 4},
    {NT::ARP_TABLE, OT::ARP_TABLE_CONFIG, "NODE_ARP_TABLE", 5},
    {NT::MULTICAST_STATIC_ROUTE, OT::MULTICAST_STATIC_ROUTE, "NODE_MULTICAST_STATIC_ROUTE", 4},
    {NT::MULTICAST_CONFIG, OT::MULTICAST_CONFIG, "NODE_MULTICAST_CONFIG", 4},
    {NT::LOG_ROUTER_PORT_FIB_DAD_STATE, OT::LOG_ROUTER_PORT_FIB_DAD_STATE,
     "NODE_LOGICAL_ROUTER_PORT_FIB_DAD_STATE", 5},
    {NT::PREFIX_LIST, OT::PREFIX_LIST, "NODE_PREFIX_LIST", 5},
    {NT::DAD_PROFILE, OT::DAD_PROFILE_CONFIG, "NODE_DAD_PROFILE", 4},
    {NT::NDRA_PROFILE, OT::NDRA_PROFILE_CONFIG, "NODE_NDRA_PROFILE", 5},
    {NT::ENTITY_GROUP_RELATION, OT::ENTITY_GROUP_RELATION, "NODE_ENTITY_GROUP_RELATION", 5},
    {NT::NSG_MEMBERSHIP_STATUS, OT::NSG_MEMBERSHIP_STATUS, "NODE_NSG_MEMBERSHIP_STATUS", 4},
    {NT::LOG_ROUTER_PORT_DAD_REQUEST, OT::LOG_ROUTER_PORT_DAD_REQUEST,
     "NODE_LOGICAL_ROUTER_PORT_DAD_REQUEST", 5},
};

std::string Key(const pb::UuidMsg& id) {
    return id.SerializeAsString();
}

bool Present(const pb::UuidMsg& id) {
    return id.left() != 0 || id.right() != 0;
}

// Collects links, skipping unset ids; sorted and unique at the end.
class LinkSet {
  public:
    explicit LinkSet(std::vector<Link>* out) : out_(out) {}
    ~LinkSet() {
        std::sort(out_->begin(), out_->end());
        out_->erase(std::unique(out_->begin(), out_->end()), out_->end());
    }
    LinkSet(const LinkSet&) = delete;
    LinkSet& operator=(const LinkSet&) = delete;
    void Add(NT type, const pb::UuidMsg& id) {
        if (Present(id))
            out_->push_back(Link{type, Key(id)});
    }

  private:
    std::vector<Link>* out_;
};

template <class Body>
bool ParseBody(const std::string& bytes, Body* body, NodeLinks* out) {
    if (!body->ParseFromString(bytes) || !Present(body->id()))
        return false;
    out->id = Key(body->id());
    return true;
}

// The key under which a port offers its VIF: the attachment's VIF id, else its attachment id.
std::string VifKeyOf(const pb::LogSwitchPortAttachmentMsg& a) {
    uint64_t left = 0;
    uint64_t right = 0;
    if (!a.vif_id().empty() && ozy::cairndb::ParseUuidText(a.vif_id(), &left, &right)) {
        pb::UuidMsg id;
        id.set_left(left);
        id.set_right(right);
        return Key(id);
    }
    return Present(a.attachment_id()) ? Key(a.attachment_id()) : std::string();
}

bool ParseTopology(NT type, const std::string& bytes, NodeLinks* out) {
    LinkSet parents(&out->parents);
    LinkSet offers(&out->offers);
    switch (type) {
        case NT::LOG_SWITCH: {
            pb::LogSwitchConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::HOST_SWITCH, b.transport_zone_id());
            for (NT child : {NT::LOG_SWITCH_PORT, NT::LOG_SWITCH_FIB, NT::LOG_ROUTER})
                offers.Add(child, b.id());
            offers.Add(NT::ROUTING_DOMAIN_FIB, b.routing_domain_id());
            return true;
        }
        case NT::LOG_SWITCH_PORT: {
            pb::LogSwitchPortConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_SWITCH, b.switch_id());
            for (NT child : {NT::ENTITY_GROUP_RELATION, NT::NSG_MEMBERSHIP_STATUS})
                offers.Add(child, b.id());
            if (b.has_attachment()) {
                std::string vif = VifKeyOf(b.attachment());
                if (!vif.empty()) {
                    out->offers.push_back(Link{NT::DA_VIF, vif});
                    out->detail = IdText(vif);
                }
            }
            return true;
        }
        case NT::TRANSPORT_NODE: {
            pb::TransportNodeConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            offers.Add(NT::HOST_SWITCH, b.id());
            for (const pb::TransportSwitchMsg& ts : b.transport_switches()) {
                if (!Present(ts.host_switch_id()))
                    continue;
                HostSwitchLinks hs;
                hs.id = Key(ts.host_switch_id());
                for (const pb::UuidMsg& z : ts.transport_zone_ids()) {
                    if (Present(z))
                        hs.zones.push_back(Key(z));
                }
                out->hostSwitches.push_back(std::move(hs));
            }
            return true;
        }
        case NT::DA_VIF: {
            pb::DaVifMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_SWITCH_PORT, b.id());
            return true;
        }
        case NT::VTEP_GROUP: {
            pb::VtepGroupMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::HOST_SWITCH, b.host_switch_id());
            return true;
        }
        case NT::LOG_SWITCH_FIB: {
            pb::LogSwitchFibMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_SWITCH, b.id());
            return true;
        }
        case NT::ROUTING_DOMAIN_FIB: {
            pb::RoutingDomainFibMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_SWITCH, b.id());
            return true;
        }
        case NT::LOG_ROUTER: {
            pb::LogRouterConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            for (const pb::UuidMsg& ls : b.logical_switch_ids())
                parents.Add(NT::LOG_SWITCH, ls);
            for (NT child :
                 {NT::LOG_ROUTER_PORT, NT::FIB, NT::MULTICAST_STATIC_ROUTE, NT::MULTICAST_CONFIG})
                offers.Add(child, b.id());
            offers.Add(NT::DAD_PROFILE, b.dad_profile_id());
            offers.Add(NT::NDRA_PROFILE, b.ndra_profile_id());
            return true;
        }
        case NT::LOG_ROUTER_PORT: {
            pb::LogRouterPortConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.lr_uuid());
            for (NT child : {NT::ARP_TABLE, NT::LOG_ROUTER_PORT_FIB_DAD_STATE, NT::PREFIX_LIST,
                             NT::LOG_ROUTER_PORT_DAD_REQUEST, NT::ENTITY_GROUP_RELATION})
                offers.Add(child, b.id());
            return true;
        }
        case NT::FIB: {
            pb::FibMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.router_id());
            return true;
        }
        case NT::ARP_TABLE: {
            pb::ArpTableConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER_PORT, b.router_port_id());
            return true;
        }
        case NT::MULTICAST_STATIC_ROUTE: {
            pb::MulticastStaticRouteMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.lr_uuid());
            return true;
        }
        case NT::MULTICAST_CONFIG: {
            pb::MulticastConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.lr_uuid());
            return true;
        }
        case NT::LOG_ROUTER_PORT_FIB_DAD_STATE: {
            pb::LogRouterPortFibDadStateMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER_PORT, b.lrp_id());
            return true;
        }
        case NT::PREFIX_LIST: {
            pb::PrefixListMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER_PORT, b.router_port_id());
            return true;
        }
        case NT::DAD_PROFILE: {
            pb::DadProfileConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.id());
            return true;
        }
        case NT::NDRA_PROFILE: {
            pb::NdraProfileConfigMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER, b.id());
            return true;
        }
        case NT::ENTITY_GROUP_RELATION: {
            pb::EntityGroupRelationMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            NT parent = NT::NONE;
            if (b.entity_type() == kEntityLogSwitchPort) {
                parent = NT::LOG_SWITCH_PORT;
            } else if (b.entity_type() == kEntityLogRouterPort) {
                parent = NT::LOG_ROUTER_PORT;
            } else {
                out->badEntityType = b.has_entity_type() ? b.entity_type() : 0xFFFFFFFFu;
                return true;
            }
            for (const pb::UuidMsg& e : b.entity_ids())
                parents.Add(parent, e);
            return true;
        }
        case NT::NSG_MEMBERSHIP_STATUS: {
            pb::NsgMembershipStatusMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_SWITCH_PORT, b.lsp_id());
            out->detail = IdText(Key(b.lsp_id()));
            return true;
        }
        case NT::LOG_ROUTER_PORT_DAD_REQUEST: {
            pb::LogRouterPortDadRequestMsg b;
            if (!ParseBody(bytes, &b, out))
                return false;
            parents.Add(NT::LOG_ROUTER_PORT, b.lrp_id());
            return true;
        }
        case NT::NONE:
        case NT::HOST_SWITCH:
            break;
    }
    return false;
}

// ---- forwarding-table patch ---------------------------------------------------------------------

std::unique_ptr<Message> NewOf(const Message* prototype, const std::string& bytes, bool* ok) {
    std::unique_ptr<Message> m(prototype->New());
    *ok = m->ParseFromString(bytes);
    return m;
}

const char* EntryKind(const std::string& field) {
    if (field.find("vtep") != std::string::npos)
        return "vtep";
    if (field.find("mac") != std::string::npos)
        return "mac";
    return "ip";
}

bool IsAdd(uint32_t op) {
    return op == pb::APPEND || op == pb::INSERT || op == pb::SET || op == pb::UPDATE;
}
bool IsRemove(uint32_t op) {
    return op == pb::REMOVE || op == pb::CLEAR;
}

// One list field with entry operations: cut the removed entries (stable), append the added ones.
bool PatchList(Message* stored, const Message& delivered, const FieldDescriptor* f,
               const pb::OpMsg& lop) {
    const Reflection* r = stored->GetReflection();
    const int storedSize = r->FieldSize(*stored, f);
    const int deliveredSize = delivered.GetReflection()->FieldSize(delivered, f);
    std::vector<const pb::OpMsg*> entries;
    if (lop.entries_size() > 0) {
        for (const pb::OpMsg& e : lop.entries())
            entries.push_back(&e);
    } else {
        entries.push_back(&lop);  // one change addressed by the list-level index
    }
    std::vector<bool> removed(static_cast<size_t>(storedSize), false);
    std::vector<int> added;
    for (const pb::OpMsg* e : entries) {
        if (IsRemove(e->op())) {
            if (e->old_index() >= static_cast<uint32_t>(storedSize))
                return false;
            CFG_DEBUG("Demux: Delete subrange %1 size %2, index %3", EntryKind(f->name()),
                      storedSize, e->old_index());
            removed[e->old_index()] = true;
        } else if (IsAdd(e->op())) {
            if (e->index() >= static_cast<uint32_t>(deliveredSize))
                return false;
            added.push_back(static_cast<int>(e->index()));
        }
    }
    int w = 0;
    for (int i = 0; i < storedSize; ++i) {
        if (removed[static_cast<size_t>(i)])
            continue;
        if (i != w)
            r->SwapElements(stored, f, w, i);
        ++w;
    }
    for (int i = storedSize; i > w; --i)
        r->RemoveLast(stored, f);
    for (int idx : added)
        r->AddMessage(stored, f)->CopyFrom(
            delivered.GetReflection()->GetRepeatedMessage(delivered, f, idx));
    return true;
}

void CopyField(Message* stored, const Message& delivered, const FieldDescriptor* f) {
    const Reflection* r = stored->GetReflection();
    r->ClearField(stored, f);
    if (f->is_repeated()) {
        const int n = delivered.GetReflection()->FieldSize(delivered, f);
        for (int i = 0; i < n; ++i)
            r->AddMessage(stored, f)->CopyFrom(
                delivered.GetReflection()->GetRepeatedMessage(delivered, f, i));
        return;
    }
    if (delivered.GetReflection()->HasField(delivered, f))
        r->MutableMessage(stored, f)->CopyFrom(delivered.GetReflection()->GetMessage(delivered, f));
}

}  // namespace

ObjectType ObjectTypeOfNode(uint32_t nodeType) {
    if (nodeType >= kNodeTypeCount) {
        CFG_ERROR_CODE("LCP00028", "Demux: Get object with invalid node type %1.", nodeType);
        return ObjectType::OBJECT_TYPE_INVALID;
    }
    return kKinds[nodeType].object;
}

NodeType NodeTypeOfObject(ObjectType type) {
    if (type == ObjectType::OBJECT_TYPE_INVALID)
        return NodeType::NONE;
    for (const Kind& k : kKinds) {
        if (k.object == type)
            return k.node;
    }
    return NodeType::NONE;
}

const char* NodeTypeName(NodeType type) {
    const auto v = static_cast<uint32_t>(type);
    return v < kNodeTypeCount ? kKinds[v].name : "NODE_INVALID";
}

int NodeRank(NodeType type) {
    const auto v = static_cast<uint32_t>(type);
    return v < kNodeTypeCount ? kKinds[v].rank : 0;
}

const std::vector<ObjectType>& DemuxedObjectTypes() {
    static const std::vector<ObjectType> types = [] {
        std::vector<ObjectType> out;
        for (const Kind& k : kKinds) {
            if (k.object != ObjectType::OBJECT_TYPE_INVALID)
                out.push_back(k.object);
        }
        std::sort(out.begin(), out.end());
        return out;
    }();
    return types;
}

bool ParseLinks(NodeType type, const std::string& body, NodeLinks* out) {
    *out = NodeLinks();
    return ParseTopology(type, body, out);
}

NodeLinks HostSwitchNodeLinks(const std::string& transportNode, const HostSwitchLinks& hs) {
    NodeLinks links;
    links.id = hs.id;
    links.parents.push_back(Link{NodeType::TRANSPORT_NODE, transportNode});
    for (const std::string& z : hs.zones)
        links.offers.push_back(Link{NodeType::LOG_SWITCH, z});
    links.offers.push_back(Link{NodeType::VTEP_GROUP, hs.id});
    std::sort(links.offers.begin(), links.offers.end());
    links.offers.erase(std::unique(links.offers.begin(), links.offers.end()), links.offers.end());
    return links;
}

std::string IdOfBody(ObjectType type, const std::string& body) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    if (info == nullptr)
        return std::string();
    bool ok = false;
    std::unique_ptr<Message> m = NewOf(info->body, body, &ok);
    const FieldDescriptor* f = m->GetDescriptor()->FindFieldByNumber(1);
    if (!ok || f == nullptr || f->type() != FieldDescriptor::TYPE_MESSAGE ||
        !m->GetReflection()->HasField(*m, f))
        return std::string();
    pb::UuidMsg id;
    if (!id.ParseFromString(m->GetReflection()->GetMessage(*m, f).SerializeAsString()) ||
        !Present(id))
        return std::string();
    return Key(id);
}

std::string IdText(const std::string& id) {
    pb::UuidMsg u;
    if (!u.ParseFromString(id))
        u.Clear();
    return ozy::cairndb::UuidText(u.left(), u.right());
}

bool IsForwardingTable(NodeType type) {
    return type == NodeType::LOG_SWITCH_FIB || type == NodeType::ROUTING_DOMAIN_FIB ||
           type == NodeType::FIB || type == NodeType::ARP_TABLE;
}

PatchResult PatchTable(ObjectType type, const std::string& stored, const std::string& opMsg,
                       const std::string& delivered, std::string* out) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    if (info == nullptr)
        return PatchResult::kBadInput;
    bool okStored = false;
    bool okDelivered = false;
    bool okOp = false;
    std::unique_ptr<Message> base = NewOf(info->body, stored, &okStored);
    std::unique_ptr<Message> fresh = NewOf(info->body, delivered, &okDelivered);
    std::unique_ptr<Message> op = NewOf(info->op, opMsg, &okOp);
    if (!okStored || !okDelivered || !okOp)
        return PatchResult::kBadInput;
    const auto* bodyDesc = base->GetDescriptor();
    const auto* opDesc = op->GetDescriptor();
    for (int i = 0; i < bodyDesc->field_count(); ++i) {
        const FieldDescriptor* f = bodyDesc->field(i);
        const FieldDescriptor* of = opDesc->FindFieldByName(f->name());
        if (f->number() == 1 || of == nullptr || of->type() != FieldDescriptor::TYPE_MESSAGE)
            continue;
        if (!op->GetReflection()->HasField(*op, of))
            continue;
        pb::OpMsg fop;
        if (!fop.ParseFromString(op->GetReflection()->GetMessage(*op, of).SerializeAsString()))
            return PatchResult::kBadInput;
        const bool messageList = f->is_repeated() && f->type() == FieldDescriptor::TYPE_MESSAGE;
        if (messageList && (fop.entries_size() > 0 || fop.op() == pb::APPEND ||
                            fop.op() == pb::INSERT || fop.op() == pb::REMOVE)) {
            if (!PatchList(base.get(), *fresh, f, fop))
                return PatchResult::kBadIndex;
        } else if (fop.op() == pb::CLEAR || fop.op() == pb::REMOVE) {
            base->GetReflection()->ClearField(base.get(), f);
        } else if (fop.op() == pb::SET || fop.op() == pb::UPDATE) {
            if (f->type() == FieldDescriptor::TYPE_MESSAGE) {
                CopyField(base.get(), *fresh, f);
            } else {
                // Scalars: the whole body is the authority for them.
                return PatchResult::kBadInput;
            }
        }
    }
    *out = base->SerializeAsString();
    return PatchResult::kPatched;
}

}  // namespace CfgAgent::demux
