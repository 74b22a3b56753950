// L2App's local learning: the dataplane's VTEP, VM MAC and routing-domain VTEP reports as the
// database ends up holding them, across full syncs, session restarts, VNI leaves and logical
// switches that arrive late.
#include "tests/apps/switching/L2AppFixture.h"

#include <functional>
#include <set>
#include <vector>

namespace CfgAgent::test {
namespace {

using L2AppLocalTest = L2AppFixture;

constexpr uint64_t kMac = 0x005056000000ull;  // VM MACs of MacV4(x, ...) are kMac + x
constexpr uint64_t kV6 = 0x100000000ull;      // RuntimeDb's IPv6 VTEP fd00::x is kV6 + x

uint64_t V4(uint8_t x) {
    return 0x0a000000u + x;
}

// The full sync of a host with VNI 5001 on switch 7: 2 VTEPs, 3 MACs, an RD VTEP.
std::vector<Bytes> HostFullSync() {
    return {Instance(7, 1), Join(7, 5001),
            Update({VtepTlv(7, 5001, {}, {VtepV4(1, 11), VtepV6(2, 12)})}),
            Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV4(2, 1), MacV6(3, 2)})}),
            Update({RdVtepTlv(7, {VtepV4(9, 0)})})};
}

TEST_F(L2AppLocalTest, TheFullSyncIsWrittenAtItsEndAsOneRuntimeFullSync) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    Up();
    Ack();
    for (const Bytes& m : HostFullSync())
        Deliver(m);
    EXPECT_EQ(RuntimeWriteCount(), 0u) << "nothing before the Full Sync End";
    EXPECT_EQ(app->queuedReports(), 5u);
    EXPECT_TRUE(log.Contains("L2App: Insert VNI 5001 VM MAC to queued message list"));
    End();
    ASSERT_EQ(RuntimeWriteCount(), 1u);
    EXPECT_TRUE(db.runtimeWrites[0].fullSync);
    EXPECT_EQ(app->queuedReports(), 0u);

    RuntimeDb d = Db();
    EXPECT_EQ(d.switches.size(), 1u);
    EXPECT_EQ(d.SwitchVteps(LsId(1)), (std::set<uint64_t>{V4(1), kV6 + 2}));
    EXPECT_EQ(d.Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 2, kMac + 3}));
    EXPECT_EQ(d.DomainVteps(RdId(1)), (std::set<uint64_t>{V4(9)}));
    // The VTEP entry carries what the dataplane reported.
    const auto& vteps = d.switches.at(IdText(LsId(1))).vtep_entries();
    auto v4 =
        std::find_if(vteps.begin(), vteps.end(), [](const auto& v) { return v.ip().has_ipv4(); });
    ASSERT_NE(v4, vteps.end());
    const auto& vtep = *v4;
    EXPECT_EQ(vtep.label(), 11u);
    EXPECT_EQ(vtep.mac(), 0x020000000001ull);
    EXPECT_EQ(vtep.encap_type(), pb::VTEP_ENCAP_VXLAN);
    EXPECT_EQ(vtep.mtep_capability(), 1u);
}

TEST_F(L2AppLocalTest, AfterTheFullSyncReportsAreWrittenAsTheyComeAndRemovalsAreExact) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV4(2, 1)})}));
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 2}));
    // MAC 1 moves behind another VTEP; MAC 2 ages out, reported with a VTEP the dataplane no
    // longer fills in: the entry that was written is the one removed.
    Bytes aged = MacV4(2, 0, H("01 00 00 00"));
    Deliver(Update({MacTlv(7, 5001, {aged}, {MacV4(1, 5)})}));
    RuntimeDb d = Db();
    EXPECT_EQ(d.Macs(LsId(1)), (std::set<uint64_t>{kMac + 1}));
    ASSERT_EQ(d.switches.at(IdText(LsId(1))).mac_entries_size(), 1);
    EXPECT_EQ(d.switches.at(IdText(LsId(1))).mac_entries(0).vtep_ip().ipv4(), V4(5));
    EXPECT_EQ(RuntimeEntries(ObjectType::LOG_SWITCH_STATE, LsId(1), PropertyType::L2_VM_MAC), 1u);

    Deliver(Update({VtepTlv(7, 5001, {}, {VtepV4(1, 1)}), VtepTlv(7, 5001, {VtepV4(1, 1)}, {})}));
    EXPECT_TRUE(Db().SwitchVteps(LsId(1)).empty());
}

// Messages read in one run (the link has more input waiting after each) are written together:
// the first at once, the others when the run ends, with the last message or the link going down.
TEST_F(L2AppLocalTest, TheMessagesOfOneRunOfInputAreWrittenTogether) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    const size_t before = RuntimeWriteCount();
    link->pending = true;
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1)})}));
    EXPECT_EQ(RuntimeWriteCount(), before + 1) << "the first message of a run at once";
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(2, 1)})}));
    Deliver(Update({MacTlv(7, 5001, {MacV4(1, 1)}, {MacV4(3, 1)})}));
    EXPECT_EQ(RuntimeWriteCount(), before + 1);
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 1}));
    // Removals are still exact: the entry removed was found in the store at once.
    EXPECT_EQ(RuntimeEntries(ObjectType::LOG_SWITCH_STATE, LsId(1), PropertyType::L2_VM_MAC), 2u);
    link->pending = false;
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(4, 1)})}));
    EXPECT_EQ(RuntimeWriteCount(), before + 2) << "the run's end writes the rest in one list";
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 2, kMac + 3, kMac + 4}));

    // A run cut by the link going down is written then.
    link->pending = true;
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(5, 1)})}));
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(6, 1)})}));
    EXPECT_EQ(RuntimeWriteCount(), before + 3);
    link->Down();
    EXPECT_EQ(RuntimeWriteCount(), before + 4);
    EXPECT_EQ(Db().Macs(LsId(1)),
              (std::set<uint64_t>{kMac + 2, kMac + 3, kMac + 4, kMac + 5, kMac + 6}));
}

// Messages that arrive one by one, each a little after the last one's handling (more input within
// the run's gap, none waiting at once): how many writes each step has made so far.
struct RunStep {
    bool soon;      // another message arrives within the gap
    size_t writes;  // runtime writes after this message
};
struct RunCase {
    const char* name;
    std::vector<RunStep> steps;
};

// The fixture's deliver, write count and database, for the fixtures of both tests.
struct RunProbe {
    std::function<void(const Bytes&)> deliver;
    std::function<size_t()> writes;
    std::function<RuntimeDb()> db;
};

void CheckRuns(FakeLink& link, const std::vector<RunCase>& cases, const RunProbe& p) {
    uint8_t mac = 0;
    std::set<uint64_t> want = p.db().Macs(LsId(1));
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = p.writes();
        for (const RunStep& s : c.steps) {
            link.arrivesSoon = s.soon;
            ++mac;
            p.deliver(Update({MacTlv(7, 5001, {}, {MacV4(mac, 1)})}));
            want.insert(kMac + mac);
            EXPECT_EQ(p.writes() - before, s.writes) << "after MAC " << int(mac);
        }
        EXPECT_EQ(p.db().Macs(LsId(1)), want) << "every MAC written once the run ended";
        EXPECT_GT(link.waits.back(), 0) << "the end of a run is asked with a wait";
    }
}

// A run goes on while the next message arrives within the run's gap: a burst whose messages come
// a little apart is written as one list when it ends, and a lone message at once.
TEST_F(L2AppLocalTest, ABurstArrivingALittleApartIsWrittenOnceAndALoneMessageAtOnce) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    CheckRuns(*link,
              {{"a lone message", {{false, 1}}},
               {"a burst in four reads", {{true, 1}, {true, 1}, {true, 1}, {false, 2}}},
               {"another lone message", {{false, 1}}}},
              {[&](const Bytes& m) { Deliver(m); }, [&] { return RuntimeWriteCount(); },
               [&] { return Db(); }});
}

// A run that has lasted its maximum is written and goes on as a new one: with a maximum of 0 a
// steady stream is written message by message.
class L2AppShortRunTest : public L2AppFixture {
  protected:
    void Tune(L2AppOptions& o) override { o.maxRunMs = 0; }
};

TEST_F(L2AppShortRunTest, ARunPastItsMaximumIsWrittenAndGoesOn) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    CheckRuns(*link, {{"a steady stream", {{true, 1}, {true, 2}, {true, 3}, {false, 4}}}},
              {[&](const Bytes& m) { Deliver(m); }, [&] { return RuntimeWriteCount(); },
               [&] { return Db(); }});
}

// Address types are host order: 1 and 2 are taken, 3 and a big-endian 1 are refused (LCP00019)
// without harming the other entries of the TLV.
TEST_F(L2AppLocalTest, AddressTypesAreReadInHostOrder) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    Deliver(Update({MacTlv(7, 5001, {},
                           {MacV4(1, 1, H("01 00 00 00")), MacV6(2, 2),
                            MacV4(3, 1, H("03 00 00 00")), MacV4(4, 1, H("00 00 00 01"))})}));
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 2}));
    EXPECT_TRUE(log.ContainsWithCode("VMMACEntryTLV2PB: Invalid address type 3 for addEntries[2]",
                                     "LCP00019"));
    EXPECT_TRUE(log.ContainsWithCode(
        "VMMACEntryTLV2PB: Invalid address type 16777216 for addEntries[3]", "LCP00019"));
    EXPECT_TRUE(log.Contains("VMMACEntryTLV2PB addrType 2"));

    Deliver(Update(
        {VtepTlv(7, 5001, {VtepV4(8, 1, H("00 00 00 01"))},
                 {VtepV4(1, 1, H("01 00 00 00")), VtepV6(2, 2), VtepV4(3, 3, H("03 00 00 00"))})}));
    EXPECT_EQ(Db().SwitchVteps(LsId(1)), (std::set<uint64_t>{V4(1), kV6 + 2}));
    EXPECT_TRUE(
        log.ContainsWithCode("VTEPUpdateTLV2PB: Invalid address type 16777216 for "
                             "delEntries[0]",
                             "LCP00019"));
    EXPECT_TRUE(log.ContainsWithCode("VTEPUpdateTLV2PB: Invalid address type 3 for addEntries[2]",
                                     "LCP00019"));
}

// A learned VM MAC entry is stored and written as LogSwitchMacEntryMsg serializes it: the MAC
// (field 1, fixed64), then the VTEP's address (field 2) with its IPv4 (fixed32, written at 0 too:
// a oneof member) or IPv6 address.
TEST_F(L2AppLocalTest, VmMacEntriesAreTheBytesTheirMessageWrites) {
    const Bytes zeroV4 = Cat({Bytes{0x00, 0x50, 0x56, 0, 0, 9}, Bytes{2, 0, 0, 0, 0, 1}, Zeros(4),
                              Zeros(4), HostType(1), Zeros(16)});
    struct Case {
        const char* what;
        Bytes entry;
        uint64_t mac;
        Bytes body;
    } cases[] = {
        {"IPv4 VTEP", MacV4(1, 7), kMac + 1, H("09 01 00 00 56 50 00 00 00 12 05 0d 07 00 00 0a")},
        {"IPv4 VTEP at 0", zeroV4, kMac + 9, H("09 09 00 00 56 50 00 00 00 12 05 0d 00 00 00 00")},
        {"IPv6 VTEP", MacV6(3, 2), kMac + 3,
         H("09 03 00 00 56 50 00 00 00 12 12 12 10 fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
           "02")},
    };
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Deliver(Update({MacTlv(7, 5001, {}, {c.entry})}));
        std::string body;
        ASSERT_TRUE(cache->L2Table()->GetEntry(L2Store::kRuntime, ObjectType::LOG_SWITCH_STATE,
                                               LsId(1), PropertyType::L2_VM_MAC, c.mac, &body));
        EXPECT_EQ(body, std::string(c.body.begin(), c.body.end()));
        pb::LogSwitchMacEntryMsg parsed;
        ASSERT_TRUE(parsed.ParseFromString(body));
        EXPECT_EQ(parsed.SerializeAsString(), body) << "as the message writes it";
    }
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 3, kMac + 9}));
}

TEST_F(L2AppLocalTest, ReportsOfAnUnjoinedVniAreIgnoredNotQueued) {
    ApplySwitch(LsId(1), 5001);
    Up();
    Ack();
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1)})}));
    Deliver(Update({VtepTlv(7, 5001, {}, {VtepV4(1, 1)})}));
    EXPECT_TRUE(log.Contains("L2App: ignore VM MAC update due to no VNI join 5001"));
    EXPECT_TRUE(log.Contains("L2App: ignore VTEP membership update due to no VNI join 5001"));
    EXPECT_EQ(app->queuedReports(), 0u);
    Deliver(Join(7, 5001));
    End();
    RuntimeDb d = Db();
    ASSERT_EQ(d.switches.size(), 1u) << "the joined switch has its row";
    EXPECT_TRUE(d.Macs(LsId(1)).empty());
}

TEST_F(L2AppLocalTest, ALeaveDeletesTheRowAndItsQueuedReports) {
    ApplySwitch(LsId(1), 5001);
    ApplySwitch(LsId(2), 5002);
    Up();
    Ack();
    Deliver(Join(7, 5001));
    Deliver(Join(7, 5002));
    Deliver(Update({MacTlv(7, 5002, {}, {MacV4(5, 1)})}));
    Deliver(Join(7, 5002, 2));
    EXPECT_TRUE(log.Contains("L2App: Remove VNI 5002 from queued message list"));
    EXPECT_EQ(app->queuedReports(), 0u);
    End();
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1)})}));
    EXPECT_EQ(Db().switches.size(), 1u);

    Deliver(Join(7, 5001, 2));
    EXPECT_TRUE(log.Contains("L2App: Delete runtime states when LS"));
    EXPECT_TRUE(Db().switches.empty());
    EXPECT_FALSE(RuntimeObject(LsId(1)));
    EXPECT_TRUE(log.Contains("StateCacheObserver: prepare LOG_SWITCH_STATE Delete object"));
}

TEST_F(L2AppLocalTest, AVniJoinedBeforeItsSwitchIsWrittenOnceTheSwitchArrives) {
    Synced({Join(7, 5001), Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV4(2, 1)})})});
    Deliver(Update({MacTlv(7, 5001, {MacV4(2, 1)}, {MacV4(3, 1)})}));
    Deliver(Update({VtepTlv(7, 5001, {}, {VtepV4(1, 1)})}));
    EXPECT_TRUE(Db().switches.empty());
    EXPECT_EQ(app->heldReports(), 3u) << "MACs 1 and 3, VTEP 10.0.0.1";

    ApplySwitch(LsId(1), 5001);
    EXPECT_TRUE(log.Contains("L2App: Set logical switch UUID"));
    RuntimeDb d = Db();
    EXPECT_EQ(d.Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 3}));
    EXPECT_EQ(d.SwitchVteps(LsId(1)), (std::set<uint64_t>{V4(1)}));
    EXPECT_EQ(app->heldReports(), 0u);
    // From now on reports go straight to the row.
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(4, 1)})}));
    EXPECT_EQ(Db().Macs(LsId(1)).count(kMac + 4), 1u);
}

TEST_F(L2AppLocalTest, ANewSessionForgetsWhatTheOldOneQueued) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001), Update({VtepTlv(7, 5001, {}, {VtepV4(2, 2)})})});
    // The next session's full sync is under way when VTEP 10.0.0.1 is reported; the session
    // restarts and the dataplane no longer has it.
    app->SimulateOutOfSync();
    Ack();
    Deliver(Join(7, 5001));
    Deliver(Update({VtepTlv(7, 5001, {}, {VtepV4(1, 1), VtepV4(2, 2)})}));
    EXPECT_EQ(app->queuedReports(), 2u);
    app->SimulateOutOfSync();
    EXPECT_EQ(app->queuedReports(), 0u);
    EXPECT_EQ(app->vniCount(), 0u);
    Ack();
    Deliver(Join(7, 5001));
    Deliver(Update({VtepTlv(7, 5001, {}, {VtepV4(2, 2)})}));
    End();
    EXPECT_EQ(Db().SwitchVteps(LsId(1)), (std::set<uint64_t>{V4(2)}));
}

TEST_F(L2AppLocalTest, AFullSyncWithUnchangedEntriesKeepsThemInTheDatabase) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    Synced(HostFullSync());
    RuntimeDb first = Db();
    // The same state again in a new session, one MAC fewer.
    app->SimulateOutOfSync();
    Ack();
    std::vector<Bytes> again = HostFullSync();
    again[3] = Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV6(3, 2)})});
    for (const Bytes& m : again)
        Deliver(m);
    End();
    RuntimeDb d = Db();
    EXPECT_EQ(d.SwitchVteps(LsId(1)), first.SwitchVteps(LsId(1)));
    EXPECT_EQ(d.Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 3}));
    EXPECT_EQ(d.DomainVteps(RdId(1)), (std::set<uint64_t>{V4(9)}));
}

TEST_F(L2AppLocalTest, RoutingDomainVtepsFollowTheSwitchesThatUseThem) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    ApplySwitch(LsId(2), 5002, RdId(1));
    ApplySwitch(LsId(3), 6001, RdId(2));
    Synced({Join(7, 5001), Join(7, 5002), Join(8, 6001), Update({RdVtepTlv(7, {VtepV4(9, 0)})})});
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{V4(9)}));
    EXPECT_EQ(Db().domains.count(IdText(RdId(2))), 0u) << "switch 8 has no routing-domain VTEP";

    // The switch's VTEPs are replaced as a whole.
    Deliver(Update({RdVtepTlv(7, {VtepV4(10, 0), VtepV6(10, 0)})}));
    EXPECT_TRUE(
        log.Contains("L2App-DR-ARP: _localRDVTEP replaces, addRDVTEP 10.0.0.10, switchID 7"));
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{V4(10), kV6 + 10}));
    Deliver(Update({RdVtepTlv(8, {VtepV4(11, 0)})}));
    EXPECT_EQ(Db().DomainVteps(RdId(2)), (std::set<uint64_t>{V4(11)}));

    // Two IPv4 VTEPs for one switch: refused, nothing changes.
    Deliver(Update({RdVtepTlv(7, {VtepV4(12, 0), VtepV4(13, 0)})}));
    EXPECT_TRUE(
        log.ContainsWithCode("more than one IPv4 routing domain VTEP for switchID 7", "LCP00407"));
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{V4(10), kV6 + 10}));

    // The routing domain's row goes with the last of its switches on this host.
    Deliver(Join(7, 5001, 2));
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{V4(10), kV6 + 10}));
    Deliver(Join(7, 5002, 2));
    EXPECT_EQ(Db().domains.count(IdText(RdId(1))), 0u);
    EXPECT_EQ(Db().domains.count(IdText(RdId(2))), 1u);
}

class L2AppLimitsTest : public L2AppFixture {
  protected:
    boost::property_tree::ptree Config() override {
        boost::property_tree::ptree c = L2AppFixture::Config();
        c.put("l2.maxQueuedReports", "3");
        c.put("l2.maxHeldReports", "2");
        return c;
    }
};

TEST_F(L2AppLimitsTest, QueuedAndHeldReportsAreBounded) {
    ApplySwitch(LsId(1), 5001);
    Up();
    Ack();
    Deliver(Join(7, 5001));
    Deliver(Join(7, 6000));  // no switch yet
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV4(2, 1)})}));
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(3, 1), MacV4(4, 1)})}));
    EXPECT_TRUE(log.ContainsWithCode("L2App: queued message list is full (2 reports)", "LCP00403"));
    Deliver(Update({MacTlv(7, 6000, {}, {MacV4(5, 1)})}));
    EXPECT_EQ(app->queuedReports(), 3u);
    End();
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{kMac + 1, kMac + 2}));

    Deliver(Update({MacTlv(7, 6000, {}, {MacV4(6, 1), MacV4(7, 1)})}));
    EXPECT_EQ(app->heldReports(), 2u);
    EXPECT_TRUE(log.ContainsWithCode("reports held for VNIs without a logical switch", "LCP00404"));
    ApplySwitch(LsId(6), 6000);
    EXPECT_EQ(Db().Macs(LsId(6)), (std::set<uint64_t>{kMac + 5, kMac + 6}));
}

}  // namespace
}  // namespace CfgAgent::test
