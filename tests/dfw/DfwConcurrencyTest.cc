// The firewall's threads at once, on the emulator's device in process: the dispatcher feeding the
// message cache, the filter link's notifications and the repository's queries while filters come
// and go, the process loop, and the CLI. The repository lets go of its own lock before it queues a
// request to the process loop, and the loop holds none across applies; built with
// ThreadSanitizer (OZY_TSAN) every lock order and shared field of these paths is checked. In any
// build, every filter ends with the last rules and the last barrier is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_system.pb.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/FakeCairndbClient.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace emu = ozy::dpemu::tarp;

constexpr int kRounds = 100;
constexpr int kFilters = 4;

// A filter notification (type 1): the filter changed (`vif` set) or is gone (`vif` empty).
std::vector<uint8_t> Notification(const std::string& name, const std::string& vif) {
    std::vector<uint8_t> m(ozy::tarp::kNotifySize, 0);
    m[1] = 1;
    m[2] = uint8_t(m.size() >> 8);
    m[3] = uint8_t(m.size());
    const std::string agent = ozy::tarp::kAgentFirewall;
    std::copy(name.begin(), name.end(), m.begin() + 4);
    std::copy(agent.begin(), agent.end(), m.begin() + 104);
    std::copy(vif.begin(), vif.end(), m.begin() + 204);
    return m;
}

CairnDBUpdateMsg SshRule(uint32_t action) {
    return RuleRec(101, 1, 1, [action](pb::RuleMsg& r) {
        pb::ProtocolSpecMsg* s = r.add_services();
        s->set_ip_protocol(6);
        s->add_destination_ports()->set_start(22);
        r.set_action(action);
    });
}

TEST(DfwConcurrencyTest, TheRepositoryAndTheProcessLoopNeverHoldEachOthersLocks) {
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogError;
    ozy::tarp::test::InProcessTarp dev;
    dev.serialize = true;
    TarpFirewall::detail::SetDeviceOpenerForTest(&dev);
    test::FakeCairndbClient db;
    auto msgs = ozy::MakeRef<DfwMsgCache>();
    DfwMain::Options o;
    o.settings.skipNtpCheck = true;
    o.settings.configOptimization = true;
    o.cairndb = &db;
    o.postLoop = false;
    auto main = ozy::MakeRef<DfwMain>(msgs, std::move(o));
    ASSERT_TRUE(main->Start());
    DfwFilterRepo* repo = main->repo();
    msgs->UpdateDesiredState({SectionRec(1, 1), SshRule(1), BarrierRec(1)}, true);

    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop)
            main->ProcessOnce();
    });
    std::thread cli([&] {
        std::string text;
        while (!stop) {
            main->VifText();
            main->CountersText();
            main->RulesText("vif-0", &text);
        }
    });
    // The repository's side: filters made and removed on the device, each notified on the link
    // and found by a query.
    std::thread filters([&] {
        for (int i = 0; i < kRounds; ++i) {
            const int n = i % kFilters;
            const bool make = (i / kFilters) % 2 == 0;
            const std::string name = "f" + std::to_string(n), vif = "vif-" + std::to_string(n);
            std::string why;
            {
                std::lock_guard<std::recursive_mutex> lock(dev.mutex);
                if (make)
                    dev.state->CreateFilter(
                        {name, vif, U(10 + n).Text(), ozy::tarp::kAgentFirewall, false, true},
                        &why);
                else
                    dev.state->DeleteFilter(name, &why);
            }
            std::vector<uint8_t> m = Notification(name, make ? vif : "");
            repo->OnLinkMessage(m.data(), m.size());
            repo->QueryNow();
        }
    });
    // The dispatcher's side: the rule turns and every batch has its barrier.
    for (int i = 0; i < kRounds; ++i)
        msgs->UpdateDesiredState({SshRule(i % 2 == 0 ? 0 : 2), BarrierRec(2 + i)}, false);
    filters.join();
    stop = true;
    loop.join();
    cli.join();

    // Settled: the filters left (those of the last round made) hold the last rules.
    ASSERT_TRUE(repo->QueryNow());
    main->ProcessOnce();
    const char* last = (kRounds - 1) % 2 == 0 ? "ALLOW 1" : "REJECT 1";
    emu::Packet p;
    std::string why;
    ASSERT_TRUE(emu::ParsePacket({"in", "tcp", "10.0.0.1:1000", "10.9.9.9:22"}, &p, &why)) << why;
    size_t checked = 0;
    for (int n = 0; n < kFilters; ++n) {
        const emu::Filter* f = dev.state->FindFilter("f" + std::to_string(n));
        if (f == nullptr)
            continue;
        emu::Verdict v = emu::Evaluate(*dev.state, *f, p);
        EXPECT_EQ(v.verdict + (v.matched ? " " + std::to_string(v.rule) : ""), last) << n;
        ++checked;
    }
    EXPECT_EQ(checked, size_t(kFilters)) << "the last round made every filter";
    pb::ProcessedBarrierMsg b;
    ASSERT_FALSE(db.barriers.empty());
    ASSERT_TRUE(b.ParseFromString(db.barriers.back()));
    EXPECT_EQ(b.barrier_id(), uint64_t(kRounds + 1));
    main->Stop();
    main.reset();
    TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
    g_dfwLogLevel = saved;
}

}  // namespace
}  // namespace CfgAgent
