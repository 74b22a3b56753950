#include "tests/apps/switching/DVSPropConvertorTestSupport.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>
#include <algorithm>

namespace CfgAgent::test {

bool RecordingConfigApp::SendKcpMessage(DpMsg msg) {
    sent.push_back(msg);
    if (!accept)
        return false;
    kcp::KcpMsgView view;
    kcp::UpdateView u;
    EXPECT_TRUE(kcp::ViewKcpMessage(msg.data(), msg.size(), &view));
    EXPECT_EQ(view.length, msg.size());
    EXPECT_EQ(view.type, kcp::kMsgUpdate);
    EXPECT_LE(msg.size(), kcp::kDefaultMaxMsgLength);
    if (view.type != kcp::kMsgUpdate || !kcp::CheckUpdate(view, &u)) {
        ADD_FAILURE() << "the convertor sent something other than a well-formed Update";
        return true;
    }
    pending_.insert(pending_.end(), msg.data() + u.firstTlv, msg.data() + view.length);
    if (u.fragment)
        return true;
    std::vector<uint8_t> whole;
    whole.swap(pending_);
    tables.ApplyUpdate(whole.data(), whole.size(), [&](const std::string& e) {
        errors.push_back(e);
        ADD_FAILURE() << "the dataplane refused: " << e;
    });
    return true;
}

std::vector<SentRecord> RecordingConfigApp::Records(size_t from, size_t to) const {
    std::vector<SentRecord> out;
    for (size_t i = from; i < std::min(to, sent.size()); ++i) {
        const DpMsg& m = sent[i];
        kcp::KcpMsgView view;
        kcp::UpdateView u;
        if (!kcp::ViewKcpMessage(m.data(), m.size(), &view) || !kcp::CheckUpdate(view, &u))
            continue;
        DpTlvWalker walker(m.data(), u.firstTlv, view.length);
        DpTlv tlv;
        while (walker.Next(&tlv)) {
            kcp::ByteSpan value{tlv.value, tlv.valueSize};
            auto keysOf = [](kcp::ByteSpan props) {
                std::vector<uint16_t> keys;
                kcp::WalkProperties(props,
                                    [&](uint16_t key, kcp::ByteSpan) { keys.push_back(key); });
                return keys;
            };
            switch (tlv.type) {
                case kcp::kPortPropertyUpdate:
                case kcp::kKrnnicPropertyUpdate: {
                    uint8_t op = 0;
                    kcp::WalkPropertyRecords(
                        tlv.type, value, &op, [&](const kcp::PropertyRecord& r) {
                            out.push_back({tlv.type, op, r.id, keysOf(r.properties)});
                        });
                    break;
                }
                case kcp::kSwxPropertyUpdate: {
                    kcp::SwxRecord r;
                    if (kcp::ParseSwxUpdate(value, &r))
                        out.push_back({tlv.type, r.op, r.switchId, keysOf(r.properties)});
                    break;
                }
                case kcp::kContainerUpdate:
                    kcp::WalkContainerUpdate(value, [&](const kcp::ContainerRecord& r) {
                        out.push_back({tlv.type, 0, r.cifId, {}});
                    });
                    break;
                case kcp::kPortListUpdate:
                case kcp::kContainerListUpdate:
                case kcp::kSwxListUpdate:
                case kcp::kKrnnicListUpdate: {
                    size_t width = tlv.type == kcp::kSwxListUpdate      ? kcp::kSwitchIdSize
                                   : tlv.type == kcp::kKrnnicListUpdate ? kcp::kKrnnicNameSize
                                                                        : kcp::kIdSize;
                    SentRecord list{tlv.type, 0, std::string(), {}};
                    kcp::WalkIdList(value, width, [&](const std::string& id) {
                        list.id += (list.id.empty() ? "" : ",") + id;
                    });
                    out.push_back(list);
                    break;
                }
                case kcp::kPortContainerListUpdate: {
                    SentRecord list{tlv.type, 0, std::string(), {}};
                    std::string parent;
                    kcp::WalkPortContainerList(value, &parent,
                                               [&](const std::string& id) { list.id += "," + id; });
                    list.id = parent + list.id;
                    out.push_back(list);
                    break;
                }
                default:
                    out.push_back({tlv.type, 0, std::string(), {}});
                    break;
            }
        }
    }
    return out;
}

nlohmann::json RecordingConfigApp::Dump() const {
    return tables.ToJson();
}

nlohmann::json RecordingConfigApp::Port(const std::string& id) const {
    nlohmann::json d = tables.ToJson();
    return d["ports"].contains(id) ? d["ports"][id] : nlohmann::json();
}

namespace {

class FakeDevice : public ozy::device::IDevice {
  public:
    FakeDevice(FakeDevices* owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    int Ioctl(uint32_t command, const void* in, size_t inSize, uint32_t* status,
              std::vector<uint8_t>* out) override {
        const uint8_t* p = static_cast<const uint8_t*>(in);
        owner_->calls.push_back({path_, command, std::vector<uint8_t>(p, p + inSize)});
        auto it = owner_->status.find(command);
        *status = it == owner_->status.end() ? 0 : it->second;
        if (out != nullptr)
            out->clear();
        return 0;
    }
    int Close() override { return owner_->closeError; }

  private:
    FakeDevices* owner_;
    std::string path_;
};

}  // namespace

std::unique_ptr<ozy::device::IDevice> FakeDevices::Open(const std::string& logicalPath, int* err) {
    if (missing.count(logicalPath) != 0) {
        *err = ENOENT;
        return nullptr;
    }
    return std::make_unique<FakeDevice>(this, logicalPath);
}

CairnDBUpdateList PatternP(ObjectType type, const google::protobuf::Message& body,
                           PropertyType first, int count) {
    const auto* desc = body.GetDescriptor();
    const auto* refl = body.GetReflection();
    pb::UuidMsg id;
    id.CopyFrom(refl->GetMessage(body, desc->FindFieldByNumber(1)));
    CairnDBUpdateList out;
    CairnDBUpdateMsg whole;
    whole.objType = type;
    whole.id = id.SerializeAsString();
    whole.data = body.SerializeAsString();
    out.push_back(whole);
    for (int i = 0; i < count; ++i) {
        const auto* field = desc->FindFieldByNumber(2 + i);
        CairnDBUpdateMsg r;
        r.objType = type;
        r.id = whole.id;
        r.property = static_cast<PropertyType>(static_cast<uint32_t>(first) + i);
        bool present =
            field->is_repeated() ? refl->FieldSize(body, field) > 0 : refl->HasField(body, field);
        if (!present) {
            r.op = Operation::OPERATION_DELETE;
        } else {
            std::unique_ptr<google::protobuf::Message> only(body.New());
            only->CopyFrom(body);
            for (int f = 0; f < desc->field_count(); ++f) {
                if (desc->field(f) != field)
                    only->GetReflection()->ClearField(only.get(), desc->field(f));
            }
            r.data = only->SerializeAsString();
        }
        out.push_back(r);
    }
    return out;
}

CairnDBUpdateList SwitchRecords(const pb::LogSwitchConfigMsg& ls) {
    return PatternP(ObjectType::LOG_SWITCH_CONFIG, ls, PropertyType::LS_VNI, 16);
}

CairnDBUpdateList PortRecords(const pb::LogSwitchPortConfigMsg& lsp) {
    return PatternP(ObjectType::LOG_SWITCH_PORT_CONFIG, lsp, PropertyType::LSP_SWITCH_ID, 14);
}

CairnDBUpdateList TransportNodeRecords(const pb::TransportNodeConfigMsg& tn) {
    return PatternP(ObjectType::TRANSPORT_NODE_CONFIG, tn, PropertyType::TN_CERTIFICATE, 5);
}

CairnDBUpdateList MirrorRecords(const pb::PortMirrorSessionMsg& pms) {
    return PatternP(ObjectType::PORT_MIRROR_SESSION, pms,
                    PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION, 5);
}

CairnDBUpdateList Removal(ObjectType type, const std::string& id) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = id;
    r.op = Operation::OPERATION_DELETE;
    return {r};
}

CairnDBUpdateMsg OneProperty(ObjectType type, const std::string& id, PropertyType property,
                             const std::string& data, Operation op) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = id;
    r.property = property;
    r.data = data;
    r.op = op;
    return r;
}

pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni) {
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(n);
    ls.set_vni(vni);
    return ls;
}

pb::LogSwitchPortConfigMsg Port(uint64_t n, uint64_t ls, const std::string& dvport,
                                const std::string& vif) {
    pb::LogSwitchPortConfigMsg lsp;
    *lsp.mutable_id() = Uuid(n);
    *lsp.mutable_switch_id() = Uuid(ls);
    lsp.mutable_attachment()->set_type(1);
    lsp.mutable_attachment()->set_dvport_id(dvport);
    lsp.mutable_attachment()->set_vif_id(vif);
    return lsp;
}

DvsHarness::DvsHarness() : cache(new StateCache()) {
    DVSPropConvertorOptions options;
    options.io = &io;
    options.devices = &devices;
    conv = std::make_unique<DVSPropConvertor>(&app, cache->ConfigTable(), options);
}

DvsHarness::~DvsHarness() {
    if (cif)
        cif->Stop();
    if (conv)
        conv->Stop();
}

void DvsHarness::EnableCifs() {
    cif = std::make_unique<CIFConfig>(&app, cache->ConfigTable(), conv.get());
}

void DvsHarness::Push() {
    conv->PushFullState();
    if (cif)
        cif->PushFullState();
}

pb::LogSwitchPortConfigMsg CifPort(uint64_t n, uint64_t ls, const std::string& cifVif,
                                   const std::string& host, uint32_t vlan,
                                   const std::string& childPort, uint64_t mac) {
    pb::LogSwitchPortConfigMsg lsp = Port(n, ls, childPort, cifVif);
    lsp.mutable_attachment()->set_parent_vif_id(host);
    lsp.mutable_attachment()->set_vlan(vlan);
    if (mac != 0) {
        auto* b = lsp.add_address_bindings();
        b->set_mac(mac);
        b->mutable_ip()->set_ipv4(0x0a000005);
    }
    return lsp;
}

namespace {

void CollectUnblock(const CairnDBUpdateMsg& r, std::set<std::string>& ports,
                    std::set<std::string>& switches) {
    using P = PropertyType;
    if (r.op == Operation::OPERATION_DELETE && r.property == P::LSP_ADMIN_STATE_UP)
        ports.insert(r.id);
    if (r.op == Operation::OPERATION_UPDATE &&
        (r.property == P::LS_VNI || r.property == P::LS_VLAN ||
         r.property == P::LS_ADMIN_STATE_UP || r.property == P::LS_VLAN_TRUNK)) {
        switches.insert(r.id);
    }
}

}  // namespace

void DvsHarness::Apply(const CairnDBUpdateList& records, bool fullSync) {
    cache->ConfigTable()->UpdateDesiredState(records, fullSync);
    std::set<std::string> ports, switches;
    for (const CairnDBUpdateMsg& r : records) {
        if (r.data.empty())
            conv->ProcessConfigEntityUpdate(r.objType, r.id, r.op);
        else
            conv->ProcessConfigPropertyUpdate(r.objType, r.id, r.op, r.property, r.data);
        CollectUnblock(r, ports, switches);
    }
    if (cif)
        cif->ProcessConfigDesiredStateUpdate(records, fullSync);
    conv->SendPortUnblockUpdate(ports, switches);
}

void DvsHarness::ApplyRemovalsAsProperties(const CairnDBUpdateList& records) {
    cache->ConfigTable()->UpdateDesiredState(records, false);
    std::set<std::string> ports, switches;
    for (const CairnDBUpdateMsg& r : records) {
        if (r.data.empty() && r.property == PropertyType::INVALID_PROPERTY)
            conv->ProcessConfigEntityUpdate(r.objType, r.id, r.op);
        else
            conv->ProcessConfigPropertyUpdate(r.objType, r.id, r.op, r.property, r.data);
        CollectUnblock(r, ports, switches);
    }
    if (cif)
        cif->ProcessConfigDesiredStateUpdate(records, false);
    conv->SendPortUnblockUpdate(ports, switches);
}

void DvsHarness::Connect(const std::string& vif, const std::string& port, uint8_t type,
                         const std::string& dvs) {
    DvsVifInfo v;
    v.vifId = vif;
    v.portId = port;
    v.switchId = dvs;
    v.vifType = type;
    v.connected = true;
    conv->ProcessVifInfoUpdate(v);
    if (cif && cif->HandleVifInfo(v))
        conv->SendPortUnblockUpdate({}, {});
}

void DvsHarness::Disconnect(const std::string& vif, const std::string& port) {
    DvsVifInfo v;
    v.vifId = vif;
    v.portId = port;
    v.connected = false;
    if (cif)
        cif->HandleVifInfo(v);
    conv->ProcessVifInfoUpdate(v);
}

std::string DvsHarness::Block(const std::string& port) const {
    nlohmann::json p = Port(port);
    if (!p.is_object() || !p.contains("block"))
        return "none";
    return p["block"]["state"].get<std::string>();
}

}  // namespace CfgAgent::test
