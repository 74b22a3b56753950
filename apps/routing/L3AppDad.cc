// L3App: duplicate-address detection. The dataplane reports each LIF's DAD status; L3App writes it
// to the database as the router port's LOG_ROUTER_PORT_FIB_DAD_STATE, and sends the database's
// DAD state to the dataplane. Two memories break the loop report -> write -> echo -> update ->
// report: a write happens only when it differs from the last write, and the echo is not sent to
// the dataplane when it equals the dataplane's last report.
#include "apps/routing/L3App.h"
#include "apps/routing/VdrConvertors.h"
#include "intake/ICairndbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheL3Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

constexpr const char* kName = "L3App";
// DadState::lastWrite of a Delete.
const std::string kDeletedWrite("\x01", 1);

// The status of a LIF as one comparable text: version and entries in order.
std::string DadKey(const std::string& version, const std::vector<vdr::DadEntry>& entries) {
    std::string key = version;
    for (const vdr::DadEntry& e : entries) {
        key += ' ';
        key += vdr::IpText(e.ip);
        key += '=';
        key += std::to_string(e.status);
    }
    return key;
}

std::string StatusText(const std::vector<vdr::DadEntry>& entries) {
    std::string text;
    for (const vdr::DadEntry& e : entries) {
        if (!text.empty())
            text += ',';
        text += vdr::IpText(e.ip) + "=" + vdr::DadStatusName(e.status);
    }
    return text.empty() ? std::string("none") : text;
}

}  // namespace

void L3App::SyncDadState(const std::string& id, bool force) {
    pb::LogRouterPortFibDadStateMsg state;
    if (!l3Table_->QueryFibDadState(id, &state)) {
        StopWaiting(Kind::kDad, id);
        return;
    }
    const std::string lrpId = state.has_lrp_id() ? state.lrp_id().SerializeAsString() : id;
    const LrpState* lif = LifOf(lrpId);
    if (lif == nullptr) {
        WaitFor("lrp:" + lrpId, Kind::kDad, id);
        return;
    }
    StopWaiting(Kind::kDad, id);
    DadState& d = dad_[lif->lifName];
    const std::string version =
        state.has_version()
            ? ozy::cairndb::UuidText(state.version().left(), state.version().right())
            : std::string();
    const std::string key = DadKey(version, DadEntriesOf(state));
    if (!force && key == d.lastReport) {
        CFG_DEBUG("%1: DAD state of LIF %2 is the dataplane's own report, not sent back", kName,
                  lif->lifName);
        return;
    }
    if (!force && key == d.lastSent)
        return;
    if (Send(VDRDadStatusUpdatePB2TLV(lif->vdrId, lif->lifName, state)))
        d.lastSent = key;
}

void L3App::HandleDadReport(const vdr::DadReport& report) {
    CFG_INFO("%1:Got the report. lifName: %2, version: %3, status: %4", kName, report.lifName,
             report.versionText, StatusText(report.entries));
    auto lif = lifIndex_.find(report.lifName);
    if (lif == lifIndex_.end()) {
        CFG_ERROR_CODE("LCP00029", "%1: DAD report for unknown LIF %2, dropped", kName,
                       report.lifName);
        return;
    }
    const std::string lrpId = lif->second;
    const LrpState& lrp = lrps_.at(lrpId);
    if (report.vdrId != lrp.vdrId) {
        CFG_ERROR_CODE("LCP00029", "%1: DAD report for LIF %2 names vdr %3, the LIF is on vdr %4",
                       kName, report.lifName, report.vdrId, lrp.vdrId);
        return;
    }
    pb::UuidMsg lrpUuid;
    lrpUuid.ParseFromString(lrpId);
    pb::LogRouterPortFibDadStateMsg state;
    if (!VDRDadStatusUpdateTLV2PB(report, lrpUuid, &state))
        return;
    DadState& d = dad_[report.lifName];
    d.lastReport = DadKey(ozy::cairndb::UuidText(state.version().left(), state.version().right()),
                          report.entries);
    if (report.entries.empty()) {
        CFG_INFO("Delete Entire Dad state for Lif %1", report.lifName);
        WriteDadState(report.lifName, true, std::string(), lrpId);
        return;
    }
    WriteDadState(report.lifName, false, state.SerializeAsString(), lrpId);
}

void L3App::WriteDadState(const std::string& lifName, bool remove, const std::string& body,
                          const std::string& idBytes) {
    DadState& d = dad_[lifName];
    const std::string& what = remove ? kDeletedWrite : body;
    if (what == d.lastWrite) {
        CFG_DEBUG("%1: DAD state of LIF %2 unchanged, not written", kName, lifName);
        return;
    }
    if (options_.cairndb == nullptr)
        return;
    const uint16_t vdb = options_.cairndb->mainVdbId();
    if (vdb == 0) {
        CFG_WARN("%1: no vdb known yet, DAD state of LIF %2 not written", kName, lifName);
        return;
    }
    pb::ModifyRequestMsg m;
    m.set_vdb(vdb);
    if (remove) {
        m.mutable_delete_()->set_object_type(pb::LOG_ROUTER_PORT_FIB_DAD_STATE);
        m.mutable_delete_()->mutable_id()->ParseFromString(idBytes);
    } else {
        m.mutable_put()->mutable_object()->set_object_type(pb::LOG_ROUTER_PORT_FIB_DAD_STATE);
        m.mutable_put()->mutable_object()->set_body(body);
    }
    CFG_INFO("%1: write DAD state of LIF %2 (%3)", kName, lifName, remove ? "Delete" : "Put");
    options_.cairndb->write({m});
    d.lastWrite = what;
}

}  // namespace CfgAgent
