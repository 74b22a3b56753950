// Fuzz target: arbitrary bytes from the dataplane into ConfigApp (KCP link) and IpDiscovery
// (switch-security link), on fakes. The first byte chooses the link and whether the length field
// is made to match; the session is open and its full sync ended, so Updates are processed. After
// every input the runtime store holds exactly the VIF states and hopover records the app keeps.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <google/protobuf/stubs/logging.h>
#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>

#include "apps/switching/ConfigApp.h"
#include "dataplane/KcpBuilders.h"
#include "runtime/Logger.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/apps/switching/SwitchingFakes.h"

using namespace CfgAgent;

namespace {

struct World {
    World() {
        g_agentLogLevel = kLogOff;
        // What the app writes must be valid schema data: a protobuf complaint (for example a
        // string field that is not UTF-8) is a failure.
        google::protobuf::SetLogHandler(
            [](google::protobuf::LogLevel level, const char*, int, const std::string& message) {
                if (level >= google::protobuf::LOGLEVEL_ERROR) {
                    std::fprintf(stderr, "protobuf: %s\n", message.c_str());
                    std::abort();
                }
            });
        table = ozy::MakeRef<StateCacheConfigTable>();
        ConfigAppOptions o;
        o.configTable = table.get();
        o.cairndb = &db;
        o.makeConvertor = [](IConfigApp*) { return std::make_unique<test::RecordingConvertor>(); };
        o.makeLink = links.Factory();
        o.timerContext = &io;
        o.persona = 3;
        app = ozy::MakeRef<ConfigApp>(std::move(o));
        boost::property_tree::ptree c;
        c.put("krnlink.path", "kcp");
        app->Init(c);
        kcp = links.Get("kcp");
        swsec = links.Get("swsec_krnlink");
        kcp->Up();
        swsec->Up();
        uint32_t sid = kcp::CurrentSessionId();
        kcp->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
        kcp->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    }

    boost::asio::io_context io;
    ozy::RefPtr<StateCacheConfigTable> table;
    test::FakeCairndbClient db;
    test::FakeLinks links;
    ozy::RefPtr<ConfigApp> app;
    test::FakeLink* kcp = nullptr;
    test::FakeLink* swsec = nullptr;
};

World& TheWorld() {
    static World* w = new World();
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> msg(data + 1, data + size);
    if ((mode & 1) != 0 && msg.size() >= 4 && msg.size() <= 0xFFFF) {
        msg[2] = static_cast<uint8_t>(msg.size() >> 8);
        msg[3] = static_cast<uint8_t>(msg.size());
    }
    if ((mode & 2) != 0) {
        w.app->ipDiscovery()->HandleSwsecMessage(msg.data(), msg.size());
    } else {
        w.app->HandleKcpMessage(msg.data(), msg.size());
        // A session that the input restarted is acknowledged and ended again, so that the next
        // input's Updates are processed.
        if (!w.app->fullSyncDone() && (mode & 4) != 0) {
            uint32_t sid = kcp::CurrentSessionId();
            w.kcp->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
            w.kcp->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
        }
    }
    size_t stored = w.table->ObjectCount(ConfigStore::kRuntime);
    if (w.app->fullSyncDone() && stored != w.app->vifCount() + w.app->hopoverCount()) {
        std::fprintf(stderr, "runtime store holds %zu objects, the app %zu VIFs and %zu hopovers\n",
                     stored, w.app->vifCount(), w.app->hopoverCount());
        std::abort();
    }
    return 0;
}
