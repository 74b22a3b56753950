// Fuzz target: desired-state records with arbitrary values (bodies that parse or not, values out
// of range, removals in any order) for every property the engine handles, around connected
// ports. Whatever the engine sends must be accepted whole by the dataplane's tables, fit the
// message limit, and the engine must neither crash nor leak.
//
// Input: records of [property selector][object][op][value length][value].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>
#include <boost/asio/io_context.hpp>

#include "apps/switching/DVSPropConvertor.h"
#include "dataplane/IConfigApp.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"
#include "platform/device/DeviceClient.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "tools/ozy-dpemu/KcpTables.h"

using namespace CfgAgent;

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

class CheckingConfigApp : public IConfigApp {
  public:
    bool SendKcpMessage(DpMsg msg) override {
        kcp::KcpMsgView view;
        kcp::UpdateView u;
        Check(msg.size() <= kcp::kDefaultMaxMsgLength);
        Check(kcp::ViewKcpMessage(msg.data(), msg.size(), &view) && view.length == msg.size());
        Check(view.type == kcp::kMsgUpdate && kcp::CheckUpdate(view, &u));
        pending_.insert(pending_.end(), msg.data() + u.firstTlv, msg.data() + view.length);
        if (!u.fragment) {
            tables.ApplyUpdate(pending_.data(), pending_.size(),
                               [](const std::string&) { std::abort(); });
            pending_.clear();
        }
        return true;
    }
    ozy::dpemu::KcpTables tables;

  private:
    std::vector<uint8_t> pending_;
};

class NoDevices : public ozy::device::IDeviceOpener {
  public:
    std::unique_ptr<ozy::device::IDevice> Open(const std::string&, int* err) override {
        *err = ENOENT;
        return nullptr;
    }
};

struct Target {
    ObjectType type;
    PropertyType property;
};

const Target kTargets[] = {
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::INVALID_PROPERTY},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VNI},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_REPLICATION_MODE},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VLAN},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_ADMIN_STATE_UP},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VLAN_TRUNK},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_TYPE},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_SP_SUBTYPE},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_MAC_MANAGEMENT},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_EXTRA_CONFIGS},
    {ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_ATTACHMENT},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::INVALID_PROPERTY},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_SWITCH_ID},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_ATTACHMENT},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_IP_DISCOVERY},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_SWITCH_SECURITY},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_QOS},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_MIRROR_TARGETS},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_ADMIN_STATE_UP},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_MAC_MANAGEMENT},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_ADDRESS_BINDINGS},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_EXTRA_CONFIGS},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_IGNORE_BINDINGS},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_IS_HYV_KRN},
    {ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_REALTIME_LATENCY},
    {ObjectType::TRANSPORT_NODE_CONFIG, PropertyType::TN_TRANSPORT_SWITCHES},
    {ObjectType::TRANSPORT_NODE_CONFIG, PropertyType::TN_LABEL},
    {ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION},
    {ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_UPLINK_PORT_MIRROR_SESSION},
    {ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_RSPAN_SRC_MIRROR_SESSION},
    {ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_RSPAN_DST_MIRROR_SESSION},
    {ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_L3SPAN_MIRROR_SESSION},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        Logger::setLevel(kLogOff);
        google::protobuf::SetLogHandler(nullptr);
        return true;
    }();
    (void)quiet;
    CheckingConfigApp app;
    NoDevices devices;
    boost::asio::io_context io;
    ozy::RefPtr<StateCache> cache(new StateCache());
    DVSPropConvertorOptions options;
    options.io = &io;
    options.devices = &devices;
    DVSPropConvertor conv(&app, cache->ConfigTable(), options);
    // Ports whose VIFs the objects below attach to: "port-0".."port-3", "vif-0".."vif-3".
    for (int i = 0; i < 4; ++i) {
        DvsVifInfo v;
        v.vifId = "vif-" + std::to_string(i);
        v.portId = "port-" + std::to_string(i);
        v.vifType = static_cast<uint8_t>(i == 3 ? kcp::kVifKrnnic : kcp::kVifVnic);
        v.connected = true;
        conv.ProcessVifInfoUpdate(v);
    }
    conv.AddUplink({"uplink-1", "up-port-1", "vmnic1", "dvs-1"});
    size_t pos = 0;
    CairnDBUpdateList batch;
    while (pos + 4 <= size) {
        const Target& t = kTargets[data[pos] % (sizeof kTargets / sizeof kTargets[0])];
        uint64_t object = data[pos + 1] % 4;
        uint8_t opByte = data[pos + 2];
        size_t len = data[pos + 3];
        pos += 4;
        len = std::min(len, size - pos);
        CairnDBUpdateMsg r;
        r.objType = t.type;
        r.id = SerializedUuid(0xaa, object + 1);
        r.property = t.property;
        r.data.assign(reinterpret_cast<const char*>(data + pos), len);
        r.op = static_cast<Operation>(opByte % 5);  // 0 and 3-4 are not operations
        pos += len;
        batch.push_back(r);
        if ((opByte & 0x80) != 0 || pos + 4 > size) {
            // End of a batch: the table, the engine as ConfigApp hands it over, the end call.
            cache->ConfigTable()->UpdateDesiredState(batch, false);
            for (const CairnDBUpdateMsg& b : batch) {
                if (b.data.empty())
                    conv.ProcessConfigEntityUpdate(b.objType, b.id, b.op);
                else
                    conv.ProcessConfigPropertyUpdate(b.objType, b.id, b.op, b.property, b.data);
            }
            conv.SendPortUnblockUpdate({SerializedUuid(0xaa, 1)}, {SerializedUuid(0xaa, 2)});
            batch.clear();
        }
    }
    conv.MarkPortOutOfSync("vif-1");
    conv.QueueHopoverSync("vif-2", kcp::kSyncBoth);
    conv.ResetSyncState();
    conv.PushFullState();
    conv.OnResyncProperty();
    conv.OnHopoverSync();
    conv.Stop();
    return 0;
}
