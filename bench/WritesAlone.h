#pragma once
// The reference most benchmarks stand beside: the same objects written into a database without an
// agent, by one client of the database library, one write each (the library sends queued writes
// together).
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "bench/IoThread.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_modify.pb.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/TempDir.h"

namespace ozy::bench {

// Milliseconds from the first write until every write is acknowledged; -1 when the database does
// not start. `dirName` names the database's temporary directory.
inline double WritesAloneMs(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& writes,
                            IoThread& io, const std::string& dirName) {
    CfgAgent::test::TempDir dir(dirName);
    CfgAgent::test::CairndbServer db(dir.path());
    if (!db.Start())
        return -1;
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(db.Endpoint()), io.io);
    writer.StartAsync();
    std::promise<void> all;
    std::atomic<size_t> left{writes.size()};
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
    writer.Stop();
    return ms;
}

}  // namespace ozy::bench
