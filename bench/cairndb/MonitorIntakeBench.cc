// How fast the client library takes in a monitor's initial contents, beside the time that
// Open vSwitch's own `ovsdb-client dump` needs to fetch and print the same table.
//
//   build/bin/ozy-bench-cairndb-intake [ROWS]      (default 100000; build with
//   -DCMAKE_BUILD_TYPE=Release)
//
// Starts a private ovsdb-server, writes ROWS logical switches through the library (lists of 10000
// puts), then measures, best of three runs each: (a) `ovsdb-client dump` of the table, (b) from
// StartAsync of a fresh client to the barrier that ends its initial contents, every row delivered
// to the update callback with its derived op message. Prints both and their ratio.
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "bench/IoThread.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/TestEnv.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using Clock = std::chrono::steady_clock;
using ozy::cairndb::CairnDbClient;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

pb::ModifyRequestMsg SwitchPut(uint64_t i) {
    pb::LogSwitchConfigMsg m;
    m.mutable_id()->set_left(0x0123456789abcdefull);
    m.mutable_id()->set_right(i);
    m.set_vni(5000 + static_cast<uint32_t>(i));
    m.set_switch_name("ls-" + std::to_string(i));
    m.mutable_transport_zone_id()->set_left(7);
    m.mutable_transport_zone_id()->set_right(i % 16);
    m.set_admin_state_up(true);
    m.mutable_tenant_context()->set_org_id("default");
    m.mutable_tenant_context()->set_project_id("bench");
    pb::ModifyRequestMsg r;
    r.set_vdb(1);
    r.mutable_put()->mutable_object()->set_object_type(pb::LOG_SWITCH_CONFIG);
    m.SerializeToString(r.mutable_put()->mutable_object()->mutable_body());
    return r;
}

using Io = ozy::bench::IoThread;

}  // namespace

int main(int argc, char** argv) {
    const uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    CfgAgent::test::UseOwnBinDir();  // the schema beside this program, whatever the directory
    ozy::cairndb::library_log_level = CfgAgent::kLogError;
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::test::CairndbServer db;
    if (!db.Start()) {
        std::fprintf(stderr, "cannot start ovsdb-server\n");
        return 1;
    }

    Io io;
    {
        CairnDbClient writer("bench-writer", ozy::net::Endpoint(db.Endpoint()), io.io);
        writer.StartAsync();
        auto start = Clock::now();
        for (uint64_t base = 0; base < rows; base += 10000) {
            std::vector<pb::ModifyRequestMsg> list;
            for (uint64_t i = base; i < std::min(rows, base + 10000); ++i)
                list.push_back(SwitchPut(i));
            std::promise<ozy::cairndb::Status> done;
            writer.Write(std::move(list),
                         [&](const ozy::cairndb::Status& s) { done.set_value(s); });
            auto s = done.get_future().get();
            if (!s.ok) {
                std::fprintf(stderr, "write failed: %s\n", s.error.c_str());
                return 1;
            }
        }
        std::printf("write:  %llu rows in %.3f s through the library (%.0f rows/s)\n",
                    static_cast<unsigned long long>(rows), Seconds(Clock::now() - start),
                    rows / Seconds(Clock::now() - start));
    }

    double dumpBest = 1e9;
    for (int run = 0; run < 3; ++run) {
        auto start = Clock::now();
        auto r = db.Client({"dump", db.OvsdbRemote(), "cairndb", "LOG_SWITCH_CONFIG"});
        double t = Seconds(Clock::now() - start);
        if (r.status != 0) {
            std::fprintf(stderr, "ovsdb-client dump failed: %s\n", r.output.substr(0, 500).c_str());
            return 1;
        }
        dumpBest = std::min(dumpBest, t);
    }

    double intakeBest = 1e9;
    for (int run = 0; run < 3; ++run) {
        CairnDbClient client("bench-monitor", ozy::net::Endpoint(db.Endpoint()), io.io);
        std::atomic<uint64_t> updates{0};
        std::promise<void> barrier;
        client.RegisterMonitorCallbacks(
            101, 1,
            [&](const pb::MonitorUpdateMsg& u) { updates += u.object_body().empty() ? 0 : 1; },
            [&] { barrier.set_value(); });
        pb::MonitorStatementMsg st;
        st.mutable_statement()->set_object_type(pb::LOG_SWITCH_CONFIG);
        client.ConfigureMonitor({st}, {}, 101, 1);
        auto start = Clock::now();
        client.StartAsync();
        barrier.get_future().wait();
        double t = Seconds(Clock::now() - start);
        client.Stop();
        if (updates != rows) {
            std::fprintf(stderr, "intake delivered %llu of %llu rows\n",
                         static_cast<unsigned long long>(updates.load()),
                         static_cast<unsigned long long>(rows));
            return 1;
        }
        intakeBest = std::min(intakeBest, t);
    }

    std::printf("dump:   ovsdb-client dump of %llu rows: %.3f s (%.0f rows/s)\n",
                static_cast<unsigned long long>(rows), dumpBest, rows / dumpBest);
    std::printf("intake: monitor initial contents into update callbacks: %.3f s (%.0f rows/s)\n",
                intakeBest, rows / intakeBest);
    std::printf("ratio:  intake time / dump time = %.2f\n", intakeBest / dumpBest);
    return 0;
}
