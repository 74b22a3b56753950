// Fuzz target for CIFConfig's reading of a logical port: the bytes are the port's body as the
// configuration table holds it (attachment, VLAN, child port id, bindings), applied after a valid
// CIF of the same port, with its host VIF connected. Nothing may crash, and a CIF kept (the valid
// one, or what replaced it) must stay within the checks (VLAN 1-4094, a child port id that fits
// the 48-byte port field, a CIF id and a host VIF). The same bytes then come as a configuration
// span and as a container (the spans' coverage of the CIF).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "apps/switching/CIFConfig.h"
#include "apps/switching/DVSPropConvertor.h"
#include "dataplane/IConfigApp.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/fuzz/QuietLogs.h"

namespace {

using namespace CfgAgent;

class DiscardingConfigApp : public IConfigApp {
  public:
    bool SendKcpMessage(DpMsg) override { return true; }
};

CairnDBUpdateList Body(const std::string& id, const std::string& body) {
    CairnDBUpdateMsg m;
    m.objType = ObjectType::LOG_SWITCH_PORT_CONFIG;
    m.id = id;
    m.data = body;
    return {m};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::QuietLogs(kLogInfo);
    DiscardingConfigApp app;
    ozy::RefPtr<StateCache> cache(new StateCache());
    DVSPropConvertor conv(&app, cache->ConfigTable());
    CIFConfig cif(&app, cache->ConfigTable(), &conv);
    cif.PushFullState();
    DvsVifInfo host;
    host.vifId = "vif-1";
    host.portId = "port-1";
    host.connected = true;
    conv.ProcessVifInfoUpdate(host);
    cif.HandleVifInfo(host);

    const std::string id = SerializedUuid(0xaa, 31);
    orvane::ozy::cairndb::LogSwitchPortConfigMsg valid;
    auto* a = valid.mutable_attachment();
    a->set_vif_id("cvif-1");
    a->set_dvport_id("00000000-0000-0000-0000-0000000000c1_1");
    a->set_parent_vif_id("vif-1");
    a->set_vlan(10);
    valid.add_address_bindings()->set_mac(0x020000000001);
    for (const std::string& body :
         {valid.SerializeAsString(), std::string(reinterpret_cast<const char*>(data), size)}) {
        CairnDBUpdateList records = Body(id, body);
        cache->ConfigTable()->UpdateDesiredState(records, false);
        cif.ProcessConfigDesiredStateUpdate(records, false);
        conv.SendPortUnblockUpdate({}, {});
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (ObjectType type : {ObjectType::CONFIG_SPAN, ObjectType::CONTAINER}) {
        CairnDBUpdateMsg m;
        m.objType = type;
        m.id = SerializedUuid(0xbb, 1);
        m.data = bytes;
        cif.UpdateDesiredState({m}, false);
    }
    const CIFConfig::Cif* kept = cif.FindCif(id);
    if (kept != nullptr && (kept->vlan < 1 || kept->vlan > 4094 || kept->childPortId.size() >= 48 ||
                            kept->cifId.empty() || kept->hostVifId.empty()))
        std::abort();
    cif.Stop();
    conv.Stop();
    return 0;
}
