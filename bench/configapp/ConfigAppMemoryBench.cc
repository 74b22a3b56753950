// What the configuration application's desired-state tables hold per port, without processes:
// the DVS property conversion engine and CIFConfig over a real configuration table, fed N logical
// ports on one switch the way ConfigApp feeds them (a whole-object record and one record per
// property), then N VIF reports connecting them; the dataplane's side discards what is sent.
//
//   ozy-bench-configapp-memory [N]   (default 10000)
//
// Prints, per phase, the allocator's bytes in use (mallinfo2) per port beside the tables' own
// account (TableBytes) per port: the logical ports, then the connected ports.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "apps/switching/CIFConfig.h"
#include "apps/switching/DVSPropConvertor.h"
#include "dataplane/IConfigApp.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/apps/switching/DVSPropConvertorTestSupport.h"

namespace {

using namespace CfgAgent;
using namespace CfgAgent::test;

class DiscardingApp : public IConfigApp {
  public:
    bool SendKcpMessage(DpMsg) override { return true; }
};

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" of (prefix, n), as the scale benchmark names VIFs.
std::string UuidText(unsigned prefix, unsigned n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", prefix, n);
    return buf;
}

size_t InUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

// The records of one batch handed over as ConfigApp hands them.
void Feed(DVSPropConvertor& conv, CIFConfig& cif, const CairnDBUpdateList& records) {
    std::set<std::string> ports, switches;
    for (const CairnDBUpdateMsg& u : records) {
        if (u.property == PropertyType::INVALID_PROPERTY)
            conv.ProcessConfigEntityUpdate(u.objType, u.id, u.op);
        else
            conv.ProcessConfigPropertyUpdate(u.objType, u.id, u.op, u.property, u.data);
        if (u.op == Operation::OPERATION_UPDATE && u.property == PropertyType::LS_VNI)
            switches.insert(u.id);
    }
    cif.ProcessConfigDesiredStateUpdate(records, false);
    conv.SendPortUnblockUpdate(ports, switches);
}

}  // namespace

int main(int argc, char** argv) {
    Logger::setLevel(kLogWarn);
    unsigned n = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    if (n == 0)
        n = 1;
    DiscardingApp app;
    boost::asio::io_context io;
    ozy::RefPtr<StateCache> cache(new StateCache());
    DVSPropConvertorOptions options;
    options.io = &io;
    DVSPropConvertor conv(&app, cache->ConfigTable(), options);
    CIFConfig cif(&app, cache->ConfigTable(), &conv);
    conv.PushFullState();
    cif.PushFullState();

    CairnDBUpdateList sw = SwitchRecords(Switch(1, 5001));
    cache->ConfigTable()->UpdateDesiredState(sw, false);
    Feed(conv, cif, sw);

    // The configuration table first, so that its growth is not counted as the engine's; then the
    // same records again to the engine, a thousand ports at a time, each batch freed before the
    // next, so that what stays is what the tables keep.
    auto batch = [](unsigned from, unsigned to) {
        CairnDBUpdateList records;
        for (unsigned i = from; i < to; ++i) {
            pb::LogSwitchPortConfigMsg lsp =
                Port(1000 + i, 1, UuidText(0xb0, i), UuidText(0xc0, i));
            lsp.set_admin_state_up(true);
            CairnDBUpdateList r = PortRecords(lsp);
            records.insert(records.end(), r.begin(), r.end());
        }
        return records;
    };
    constexpr unsigned kBatch = 1000;
    for (unsigned i = 0; i < n; i += kBatch)
        cache->ConfigTable()->UpdateDesiredState(batch(i, std::min(n, i + kBatch)), false);
    size_t base = InUse();
    size_t baseAccount = conv.TableBytes() + cif.TableBytes();
    for (unsigned i = 0; i < n; i += kBatch)
        Feed(conv, cif, batch(i, std::min(n, i + kBatch)));
    size_t logical = InUse();
    size_t logicalAccount = conv.TableBytes() + cif.TableBytes();
    for (unsigned i = 0; i < n; ++i) {
        DvsVifInfo v;
        v.vifId = UuidText(0xc0, i);
        v.portId = UuidText(0xb0, i);
        v.switchId = UuidText(0xd0, 1);
        v.vifType = kcp::kVifVnic;
        v.connected = true;
        conv.ProcessVifInfoUpdate(v);
        if (cif.HandleVifInfo(v))
            conv.SendPortUnblockUpdate({}, {});
    }
    size_t connected = InUse();
    size_t connectedAccount = conv.TableBytes() + cif.TableBytes();
    auto per = [n](size_t a, size_t b) { return (static_cast<double>(b) - a) / n; };
    std::printf("ports %u\n", n);
    std::printf("logical ports: in use %.0f B/port, account %.0f B/port\n", per(base, logical),
                per(baseAccount, logicalAccount));
    std::printf("connected:     in use %.0f B/port, account %.0f B/port\n", per(logical, connected),
                per(logicalAccount, connectedAccount));
    std::printf("total:         in use %.0f B/port, account %.0f B/port (engine %.0f, cif %.0f)\n",
                per(base, connected), per(baseAccount, connectedAccount),
                static_cast<double>(conv.TableBytes()) / n,
                static_cast<double>(cif.TableBytes()) / n);
    cif.Stop();
    conv.Stop();
    return 0;
}
