#pragma once
// The reference most benchmarks stand beside: the same objects written into a database without an
// agent, by one client of the database library, one write each (the library sends queued writes
// together).
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/IoThread.h"
#include "bench/ProcessCpu.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_types.pb.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/TempDir.h"

namespace ozy::bench {

// Milliseconds from the first write until every write is acknowledged, the client connected and
// ready before the first (its session's start is not the writes' time); -1 when the database does
// not start or the client does not become ready. `dirName` names the database's temporary
// directory; `serverCpuMs`, when given, gets the CPU the database server used meanwhile.
inline double WritesAloneMs(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& writes,
                            IoThread& io, const std::string& dirName,
                            double* serverCpuMs = nullptr) {
    CfgAgent::test::TempDir dir(dirName);
    CfgAgent::test::CairndbServer db(dir.path());
    if (!db.Start())
        return -1;
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(db.Endpoint()), io.io);
    writer.StartAsync();
    // Ready once a read goes through (a read before that fails at once).
    bool ready = false;
    for (int i = 0; i < 5000 && !ready; ++i) {
        std::promise<bool> read;
        writer.Get(orvane::ozy::cairndb::LOG_SWITCH_STATE, 1, std::nullopt,
                   [&](const ozy::cairndb::Status& st,
                       const std::vector<ozy::cairndb::StoredObject>&) { read.set_value(st.ok); });
        ready = read.get_future().get();
        if (!ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!ready) {
        writer.Stop();
        return -1;
    }
    std::promise<void> all;
    std::atomic<size_t> left{writes.size()};
    const double cpu0 = ProcessCpuMs(db.pid());
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& w : writes) {
        writer.Write({w}, [&](const ozy::cairndb::Status&) {
            if (--left == 0)
                all.set_value();
        });
    }
    if (!writes.empty())
        all.get_future().wait();
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (serverCpuMs != nullptr)
        *serverCpuMs = ProcessCpuMs(db.pid()) - cpu0;
    writer.Stop();
    return ms;
}

}  // namespace ozy::bench
