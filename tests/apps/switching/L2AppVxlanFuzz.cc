// Fuzz target: arbitrary bytes from the dataplane through every VXLAN walker and the dump, then
// into L2App (on a fake link, with a real state cache) whose session has ended its full sync. The
// first byte chooses whether the length field is made to match and whether a session that the
// input restarted is acknowledged and ended again. After every input, a VNI that L2App counts as
// joined and whose logical switch is configured has its runtime row, and no other VNI has one;
// the TEP alarms kept pending stay within their bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/L2AlarmReporter.h"
#include "apps/switching/L2App.h"
#include "dataplane/VxlanBuilders.h"
#include "dataplane/VxlanDump.h"
#include "dataplane/VxlanWalk.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "tests/apps/switching/SwitchingFakes.h"

using namespace CfgAgent;
using namespace CfgAgent::vxlan;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

constexpr uint32_t kConfiguredVnis = 3;

std::string Ls(uint32_t vni) {
    return SerializedUuid(0x5a00000000000000ull, vni);
}

struct World {
    World() {
        g_agentLogLevel = kLogOff;
        cache = ozy::MakeRef<StateCache>();
        CairnDBUpdateList config;
        for (uint32_t vni = 1; vni <= kConfiguredVnis; ++vni) {
            orvane::ozy::cairndb::LogSwitchConfigMsg ls;
            ls.set_vni(vni);
            ls.mutable_routing_domain_id()->set_left(vni % 2 + 1);
            for (PropertyType p : {PropertyType::INVALID_PROPERTY, PropertyType::LS_VNI,
                                   PropertyType::LS_ROUTING_DOMAIN_ID}) {
                CairnDBUpdateMsg r;
                r.objType = ObjectType::LOG_SWITCH_CONFIG;
                r.id = Ls(vni);
                r.property = p;
                r.data = ls.SerializeAsString();
                config.push_back(r);
            }
        }
        cache->ConfigTable()->UpdateDesiredState(config, true);
        L2AppOptions o;
        o.configTable = cache->ConfigTable();
        o.l2Table = cache->L2Table();
        o.makeLink = links.Factory();
        app = ozy::MakeRef<L2App>(std::move(o));
        boost::property_tree::ptree c;
        c.put("krnlink.path", "vxlan");
        c.put("l2.maxQueuedReports", "4096");
        c.put("l2.maxHeldReports", "4096");
        app->Init(c);
        link = links.Get("vxlan");
        link->Up();
        Resync();
    }
    void Resync() {
        link->Deliver(BuildSessionControl(kSessionOpenAck, CurrentSessionId()));
        link->Deliver(BuildSessionControl(kSessionFullSyncEnd, CurrentSessionId()));
    }

    ozy::RefPtr<StateCache> cache;
    test::FakeLinks links;
    ozy::RefPtr<L2App> app;
    test::FakeLink* link = nullptr;
};

World& TheWorld() {
    static World* w = new World();
    return *w;
}

void CheckList(const MsgView& m, const EntryList& l) {
    if (l.count == 0)
        return;
    Check(l.data >= m.data && l[l.count - 1] + l.entrySize <= m.data + m.length,
          "an entry list reaches past its message");
}

// Every walker over the message, whatever its type.
void WalkAll(const uint8_t* data, size_t size) {
    std::string dump = DumpVxlanMessage(data, size);
    Check(dump.size() < kDumpBufferSize, "the dump outgrew its buffer");
    MsgView m;
    if (!ViewMessage(data, size, &m))
        return;
    VniMembership vm;
    InstanceChange ic;
    Notification n;
    LinkChange lc;
    ControllerIp ci;
    GlobalReplication gr;
    VtepGroup vg;
    LsVtepGroupBinding lb;
    RdVtepGroupBinding rb;
    RdMembership rm;
    TepAlarm ta;
    SessionControl sc;
    StateReport sr;
    ParseVniMembership(m, &vm);
    ParseInstanceChange(m, &ic);
    ParseNotification(m, &n);
    ParseLinkChange(m, &lc);
    ParseControllerIp(m, &ci);
    ParseGlobalReplication(m, &gr);
    ParseVtepGroup(m, &vg);
    ParseLsVtepGroupBinding(m, &lb);
    ParseRdVtepGroupBinding(m, &rb);
    ParseRdMembership(m, &rm);
    ParseTepAlarm(m, &ta);
    ParseSessionControl(m, &sc);
    ParseStateReport(m, &sr);
    WalkTlvs(m, [&](const DpTlv& t) {
        Check(t.value >= m.data && t.value + t.valueSize <= m.data + m.length,
              "a TLV reaches past its message");
        ListUpdate l;
        if (ParseListUpdate(t, &l) == ListResult::kOk) {
            CheckList(m, l.removed);
            CheckList(m, l.added);
            for (size_t i = 0; i < l.added.count; ++i) {
                if (l.added.entrySize == kVtepEntrySize)
                    ReadVtepEntry(l.added[i]);
                else if (l.added.entrySize == kVmMacEntrySize)
                    ReadVmMacEntry(l.added[i]);
            }
        }
        if (ParseQuery(t, &l) == ListResult::kOk)
            CheckList(m, l.added);
        uint32_t sw = 0;
        uint8_t status = 0;
        EntryList list;
        if (ParseRdList(t, &sw, &list) || ParseVifUpdate(t, &status, &list))
            CheckList(m, list);
        SwitchItem item;
        ParseSwitchItem(t, &item);
        BfdSession bfd;
        if (ParseBfdSession(t, &bfd))
            Check(bfd.family <= kBfdFamilyIpv6 && bfd.op <= kBfdSessionRemove,
                  "a BFD session with a family or operation outside the layout");
        BfdConfigItem bfdItem;
        if (ParseBfdConfigItem(t, &bfdItem))
            Check(bfdItem.dvsUuid.size() <= kBfdCfgDvsUuidSize, "a DVS UUID past its 48 bytes");
        EvpnBfdItem evpn;
        ParseEvpnBfdItem(t, &evpn);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> msg(data + 1, data + size);
    if ((mode & 1) != 0 && msg.size() >= 4 && msg.size() <= 0xFFFF) {
        msg[2] = static_cast<uint8_t>(msg.size() >> 8);
        msg[3] = static_cast<uint8_t>(msg.size());
    }
    WalkAll(msg.data(), msg.size());
    w.app->HandleVxlanMessage(msg.data(), msg.size());
    Check(w.app->pendingAlarms() <= L2AlarmReporter::kMaxPending, "pending TEP alarms unbounded");
    if (w.app->sessionState() != L2App::kSessionFullSyncEnded && (mode & 2) != 0)
        w.Resync();
    if (w.app->sessionState() == L2App::kSessionFullSyncEnded) {
        for (uint32_t vni = 1; vni <= kConfiguredVnis; ++vni) {
            L2App::VniInfo info;
            CairnDBUpdateList rows;
            bool joined = w.app->GetVni(vni, &info);
            bool row = w.cache->L2Table()->GetObject(L2Store::kRuntime, Ls(vni), &rows);
            Check(joined == row, "a joined VNI without its row, or a row without its VNI");
        }
    }
    return 0;
}
