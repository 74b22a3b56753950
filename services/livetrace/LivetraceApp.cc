#include "services/livetrace/LivetraceApp.h"

#include <boost/property_tree/ptree.hpp>

#include "cli/udslink/ICfgUdsLink.h"
#include "dataplane/DpFraming.h"
#include "dataplane/LivetraceProtocol.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/lcp.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AsyncTimer.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "services/livetrace/LivetraceFilter.h"
#include "services/livetrace/LivetraceMessages.h"
#include "services/livetrace/PktcapFile.h"
#include "statecache/IStateCacheConfigTable.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace lcp = orvane::ozy::lcp;
using namespace livetrace;

namespace {

constexpr const char* kName = "LivetraceApp";
constexpr const char* kMsgType = "orvane.ozy.lcp.LivetraceMsg";

int DirIndex(uint8_t direction) {
    return direction == kDirBackward ? 1 : 0;
}

std::string UuidOf(const Uuid& u) {
    return ozy::cairndb::UuidText(u[0], u[1]);
}

// The comment of a captured packet.
std::string PacketComment(const PktMeta& m) {
    auto flag = [&](uint16_t bit) { return (m.flags & bit) != 0 ? 1 : 0; };
    std::string c = "PKTID " + std::to_string(m.packetId) + " TSO " +
                    std::to_string(flag(kPktTso)) + " CSUM " + std::to_string(flag(kPktCsum)) +
                    " CSUMVFD " + std::to_string(flag(kPktCsumVerified)) + " ENCAP " +
                    std::to_string(flag(kPktEncap)) + " ENCAPCSUMVFD " +
                    std::to_string(flag(kPktEncapCsumVerified));
    if ((m.flags & kPktVniValid) != 0)
        c += " VNI " + std::to_string(m.vni);
    if ((m.flags & kPktVlanValid) != 0)
        c += " VLAN " + std::to_string(m.vlan);
    return c;
}

}  // namespace

LivetraceApp::LivetraceApp(LivetraceAppOptions options)
    : options_(std::move(options)), filter_(std::make_unique<LivetraceFilter>()) {}

LivetraceApp::~LivetraceApp() = default;

void LivetraceApp::Start(const boost::property_tree::ptree& config) {
    CFG_INFO("%1: Start", kName);
    std::string path = config.get<std::string>("krnlink.path", kLinkName);
    LivetraceFragments::Limits limits;
    try {
        maxCaptureBytes_ = config.get<uint64_t>("pktcap.max_bytes", kDefaultMaxCaptureBytes);
        limits.timeout =
            std::chrono::milliseconds(config.get<uint64_t>("fragment.timeout_ms", 5000));
    } catch (const boost::property_tree::ptree_error& e) {
        CFG_ERROR_CODE("LCP00001", "%1: bad setting (%2); the defaults are used", kName, e.what());
        maxCaptureBytes_ = kDefaultMaxCaptureBytes;
        limits = LivetraceFragments::Limits();
    }
    std::string error;
    {
        AgentLockGuard lock(GlobalAgentLock());
        fragments_ = LivetraceFragments(limits);
        if (!PktcapFile::PrepareDirectory(options_.captureDir, &error))
            CFG_ERROR_CODE("LCP02106", "%1: unable to create %2 (%3)", kName, options_.captureDir,
                           error);
        if (!filter_->Init())
            CFG_ERROR_CODE("LCP02108", "%1: rcf library initialize failed", kName);
        boost::asio::io_context& io =
            options_.timerContext != nullptr ? *options_.timerContext : IoContext();
        timer_ = std::make_shared<AsyncTimer<LivetraceApp>>(io, &LivetraceApp::OnTimer, this);
        started_ = true;
    }
    ozy::RefPtr<LivetraceApp> self(this);
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
    link_ = options_.makeLink(
        path, [self](const uint8_t* m, size_t n) { self->HandleDpMessage(m, n); },
        [self](DataplaneLink* l, int s) { self->HandleLinkStatus(l, s); }, kLinkBufferSize);
    if (options_.opsLink != nullptr)
        options_.opsLink->RegisterHandler(
            kMsgType, [self](const lcp::LcpDpMsg& m) { self->HandleOpsMessage(m); });
    if (link_)
        link_->Start();
}

void LivetraceApp::Stop() {
    ozy::RefPtr<DataplaneLink> link;
    std::shared_ptr<AsyncTimer<LivetraceApp>> timer;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_)
            return;
        stopped_ = true;
        link = link_;
        timer = std::move(timer_);
    }
    CFG_INFO("%1: Stop", kName);
    if (timer)
        timer->stop();
    if (link)
        link->Stop();
    AgentLockGuard lock(GlobalAgentLock());
    // The link's handlers hold this application: letting go of the stopped link breaks the cycle.
    link_.reset();
    for (auto& [id, s] : sessions_) {
        for (auto& f : s.files) {
            if (f)
                f->Close();
        }
    }
    sessions_.clear();
    fragments_.Clear();
}

// ---- links ----

void LivetraceApp::HandleLinkStatus(DataplaneLink* link, int status) {
    AgentLockGuard lock(GlobalAgentLock());
    if (link != link_.get() || stopped_)
        return;
    if (status == DataplaneLink::kLinkUp) {
        linkDown_ = false;
        CFG_INFO("%1: krnlink up", kName);
    } else if (status == DataplaneLink::kLinkDown) {
        linkDown_ = true;
        CFG_INFO("%1: krnlink down", kName);
        // The dataplane forgets its sessions with the link: nothing more will come for them.
        fragments_.Clear();
        InvalidateAll(kReasonDataplaneRestart);
    }
}

bool LivetraceApp::SendToDataplane(std::vector<uint8_t> msg) {
    if (linkDown_ || !link_) {
        CFG_ERROR_CODE("LCP02102", "Livetrace krnlink is down.");
        return false;
    }
    return !msg.empty() && link_->Send(std::move(msg));
}

bool LivetraceApp::SendToOps(const google::protobuf::Message& payload) {
    return options_.opsLink != nullptr && options_.opsLink->SendPayload(payload);
}

void LivetraceApp::SendStatus(uint64_t session, bool ok, const char* code,
                              const std::string& text) {
    lcp::LivetraceStatusMsg status;
    status.set_session_id(session);
    status.set_ok(ok);
    status.set_error_code(code);
    status.set_message(text);
    if (!SendToOps(status))
        CFG_ERROR_CODE("LCP02103", "%1: failed to send status to ozy-opsagent", kName);
}

// ---- requests ----

void LivetraceApp::HandleOpsMessage(const lcp::LcpDpMsg& msg) {
    lcp::LivetraceMsg m;
    if (stopped_ || !msg.payload().UnpackTo(&m)) {
        CFG_ERROR_CODE("LCP02109", "%1: unreadable LivetraceMsg", kName);
        return;
    }
    if (m.has_request())
        HandleRequest(m.request());
    else if (m.has_delete_())
        HandleDelete(m.delete_());
    else
        CFG_ERROR_CODE("LCP02109", "%1: livetraceMsg does not have request or delete msg", kName);
}

void LivetraceApp::HandleRequest(const lcp::LivetraceRequestMsg& req) {
    CFG_INFO("%1: received LivetraceRequestMsg: %2", kName, req.ShortDebugString());
    uint64_t sessionId = req.metadata().session_id();
    auto refuse = [&](const char* code, const std::string& text) {
        std::string tag = std::string("errorCode:") + code;
        CFG_LOG_TAGS(::CfgAgent::kLogError, {tag}, "%1: %2", kName, text);
        SendStatus(sessionId, false, code, text);
    };
    if (!req.has_slot())
        return refuse("LCP02109", "missing slot in request");
    if (req.slot() >= kSlotCount)
        return refuse("LCP02109", "invalid slot number " + std::to_string(req.slot()));
    if (!req.has_metadata())
        return refuse("LCP02109", "missing metadata in request");
    if (!req.metadata().has_session_id())
        return refuse("LCP02109", "missing session ID in request");
    for (const auto& [id, s] : sessions_) {
        if (id == sessionId || s.slot == req.slot())
            return refuse("LCP02109", "session " + std::to_string(id) + " already holds slot " +
                                          std::to_string(s.slot));
    }

    // The source port and the host switch of its logical switch.
    IStateCacheConfigTable* table = options_.configTable;
    std::string portId = req.src_port().SerializeAsString(), dvport, body, tz, hostSwitch, hsName;
    pb::LogSwitchPortConfigMsg port;
    if (!req.has_src_port() || (req.src_port().left() == 0 && req.src_port().right() == 0) ||
        table == nullptr || !table->GetDVPortIdByLsp(portId, &dvport) ||
        !table->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_PORT_CONFIG, portId,
                            PropertyType::INVALID_PROPERTY, &body) ||
        !port.ParseFromString(body) || !port.has_switch_id())
        return refuse("LCP02109", "invalid source port");
    pb::UuidMsg dvs;
    if (!table->GetTransportZoneOfLogicalSwitch(port.switch_id().SerializeAsString(), &tz) ||
        !table->GetHostSwitchOfTransportZone(tz, &hostSwitch, &hsName) ||
        !dvs.ParseFromString(hostSwitch))
        return refuse("LCP02109", "failed to query DVS ID from LS ID");
    if (!req.has_timeout_sec() || req.timeout_sec() == 0)
        return refuse("LCP02109", "missing timeout in request");
    if (req.actions().empty())
        return refuse("LCP02109", "request has no action config");

    CreateRequest create;
    create.slot = static_cast<uint8_t>(req.slot());
    create.sessionId = sessionId;
    create.dvport = {req.src_port().left(), req.src_port().right()};
    create.dvs = {dvs.left(), dvs.right()};
    create.timeout = req.timeout_sec();
    uint8_t captureDirs = 0;
    for (const lcp::LivetraceActionMsg& a : req.actions()) {
        CreateRequest::Action action;
        action.kind = static_cast<uint8_t>(a.kind() + 1);  // TRACE 0 -> 1, ... DP_STATS 3 -> 4
        if (action.kind < kActionTrace || action.kind > kActionDpStats)
            return refuse("LCP02109", "request does not specify any actions");
        for (const auto& other : create.actions) {
            if (other.kind == action.kind)
                return refuse("LCP02109", "action " + lcp::LivetraceActionMsg::Kind_Name(a.kind()) +
                                              " given twice");
        }
        if (!a.has_direction())
            return refuse("LCP02109", "missing direction");
        if (a.direction() < kDirForward || a.direction() > kDirBoth)
            return refuse("LCP02109", "invalid direction " + std::to_string(a.direction()));
        action.direction = static_cast<uint8_t>(a.direction());
        if (action.kind == kActionTrace || action.kind == kActionPktcap) {
            if (!a.has_sampling())
                return refuse("LCP02109", "missing sampling config");
            if (!a.sampling().has_type())
                return refuse("LCP02109", "missing sampling type");
            if (a.sampling().type() == lcp::LivetraceSamplingMsg::FIRST_N) {
                if (!a.sampling().has_first_n())
                    return refuse("LCP02109", "missing arguments for first-N sampling");
                if (a.sampling().first_n() == 0)
                    return refuse("LCP02109", "missing sampling number");
                action.sampling = kSamplingFirstN;
                action.firstN = a.sampling().first_n();
            } else if (a.sampling().type() == lcp::LivetraceSamplingMsg::ALL) {
                action.sampling = kSamplingAll;
            } else {
                return refuse("LCP02109",
                              "unsupported sampling type " + std::to_string(a.sampling().type()));
            }
        }
        if (action.kind == kActionPktcap) {
            action.snapLength = a.snap_length();
            captureDirs |= action.direction;
        }
        create.direction |= action.direction;
        create.actions.push_back(action);
    }

    // The filter, from typed fields only.
    std::string expr, error;
    std::vector<std::string> notes;
    if (!LivetraceFilter::BuildExpression(req.match(), &expr, &notes, &error))
        return refuse("LCP02109", error);
    for (const std::string& note : notes)
        CFG_WARN("%1: %2", kName, note);
    if (!filter_->Compile(expr, &create.filter, &error)) {
        CFG_ERROR_CODE("LCP02109", "%1: rcf filter rule parse error (%2: %3)", kName, expr, error);
        return SendStatus(sessionId, false, "LCP02109", "rcf filter rule parse error");
    }
    if (create.filter.empty())
        return refuse("LCP02110", "rcf format byte code length is 0");
    CFG_DEBUG("%1: session %2 filter \"%3\", %4 instructions", kName, sessionId, expr,
              create.filter.size() / kBpfInsnSize);

    if (linkDown_) {
        CFG_ERROR_CODE("LCP02102", "Livetrace krnlink is down.");
        return SendStatus(sessionId, false, "LCP02102", "Livetrace krnlink is down.");
    }
    Session s;
    s.id = sessionId;
    s.slot = create.slot;
    s.directions = create.direction;
    s.deadline = AgentClock::now() + std::chrono::seconds(uint64_t{create.timeout} + kGraceSeconds);
    for (int d = 0; d < 2; ++d) {
        if ((captureDirs & (d == 0 ? kDirForward : kDirBackward)) == 0)
            continue;
        s.files[d] = std::make_unique<PktcapFile>();
        if (!s.files[d]->Create(options_.captureDir, maxCaptureBytes_, &error)) {
            CFG_ERROR_CODE("LCP02107", "%1: failed to create temp file %2 for session %3 due to %4",
                           kName, options_.captureDir + "ltr_pcap.XXXXXX", sessionId, error);
            return SendStatus(sessionId, false, "LCP02107", "cannot create a capture file");
        }
    }
    CFG_INFO(
        "%1: LTR_CreateMsg slot: %2, session id: %3, dvp id 64MSB: %4, dvp id 64LSB: %5, dvs id "
        "64MSB: %6, dvs id 64LSB: %7, timeout: %8, direction: %9",
        kName, create.slot, sessionId, create.dvport[0], create.dvport[1], create.dvs[0],
        create.dvs[1], create.timeout, create.direction);
    if (!SendToDataplane(BuildCreate(create)))
        return SendStatus(sessionId, false, "LCP02102", "Livetrace krnlink is down.");
    sessions_.emplace(sessionId, std::move(s));
    ArmTimer();
    SendStatus(sessionId, true, "", "created in slot " + std::to_string(create.slot));
}

void LivetraceApp::HandleDelete(const lcp::LivetraceDeleteMsg& del) {
    CFG_INFO("%1: received LivetraceDeleteMsg: %2", kName, del.ShortDebugString());
    uint64_t sessionId = del.metadata().session_id();
    auto refuse = [&](const char* code, const std::string& text) {
        std::string tag = std::string("errorCode:") + code;
        CFG_LOG_TAGS(::CfgAgent::kLogError, {tag}, "%1: %2", kName, text);
        SendStatus(sessionId, false, code, text);
    };
    if (!del.has_slot())
        return refuse("LCP02109", "missing slot in request");
    if (del.slot() >= kSlotCount)
        return refuse("LCP02109", "invalid slot number " + std::to_string(del.slot()));
    if (!del.has_metadata())
        return refuse("LCP02109", "missing metadata in request");
    if (!del.metadata().has_session_id())
        return refuse("LCP02109", "missing session ID in request");
    auto it = sessions_.find(sessionId);
    if (it != sessions_.end() && it->second.slot != del.slot())
        return refuse("LCP02109", "session " + std::to_string(sessionId) + " is in slot " +
                                      std::to_string(it->second.slot));
    // The session ends when the dataplane invalidates its directions (or at its deadline).
    if (!SendToDataplane(BuildDelete(static_cast<uint8_t>(del.slot()), sessionId)))
        return SendStatus(sessionId, false, "LCP02102", "Livetrace krnlink is down.");
    SendStatus(sessionId, true, "", "deleted");
}

// ---- results ----

void LivetraceApp::HandleDpMessage(const uint8_t* msg, size_t length) {
    uint16_t type = DpMsgType(msg);
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    DpMsg whole;
    std::string error;
    if (type == kMsgFragment) {
        switch (fragments_.Add(msg, length, AgentClock::now(), &whole, &error)) {
            case LivetraceFragments::Outcome::kPending:
                ArmTimer();
                return;
            case LivetraceFragments::Outcome::kRefused:
                CFG_ERROR_CODE("LCP02109", "%1: fragment refused: %2", kName, error);
                return;
            case LivetraceFragments::Outcome::kComplete:
                msg = whole.data();
                length = whole.size();
                type = DpMsgType(msg);
                break;
        }
    }
    switch (type) {
        case kMsgInvalidate:
        case kMsgBarrier:
        case kMsgCounter:
        case kMsgTrace:
        case kMsgPktcap: {
            Result r;
            if (!DecodeResult(msg, length, &r, &error)) {
                CFG_ERROR_CODE("LCP02109", "%1: malformed message type %2: %3", kName, type, error);
                return;
            }
            HandleResult(r);
            return;
        }
        case kMsgCreate:
        case kMsgDelete:
        case kMsgOnboarding:
            CFG_ERROR_CODE("LCP02101", "%1: message type %2 not processed", kName, type);
            return;
        default:
            CFG_ERROR_CODE("LCP02109", "%1: unrecognized message type %2", kName, type);
    }
}

void LivetraceApp::HandleResult(const Result& r) {
    if (r.type == kMsgPktcap)
        return HandlePktcap(r);
    if (r.type == kMsgBarrier || r.type == kMsgInvalidate)
        return EndDirection(r.sessionId, r.direction, r.type == kMsgInvalidate, r.reason);

    lcp::LivetraceResultMsg out;
    out.set_session_id(r.sessionId);
    out.set_direction(r.direction);
    if (r.type == kMsgTrace) {
        out.set_packet_id(r.packetId);
        for (const Observation& o : r.observations) {
            if (o.type < kObsForward || o.type > kObsLogicalRelay) {
                CFG_ERROR_CODE("LCP02109", "%1: invalid observation type %2", kName, o.type);
                continue;
            }
            if (o.component < 1 || o.component > 8) {
                CFG_ERROR_CODE("LCP02109", "%1: invalid component %2", kName, o.component);
                continue;
            }
            auto* t = out.add_traces();
            t->set_observation_type(o.type);
            t->set_timestamp(o.timestamp);
            t->set_component_type(o.component);
            t->set_dvport_id(UuidOf(o.dvport));
            if (o.type == kObsDrop || o.type == kObsLogicalDrop)
                t->set_drop_reason(o.dropReason);
        }
        if (!SendToOps(out))
            CFG_ERROR_CODE("LCP02103", "%1: failed to send LcpDpMsg to opsAgent", kName);
        return;
    }
    // COUNTER: the counters, then the datapath statistics as their own message.
    CFG_DEBUG("%1: Counter entries, entries num:%2", kName, r.counters.size());
    for (const CounterEntry& e : r.counters) {
        if (e.checkpoint < kCheckpointVnicOutput || e.checkpoint > kCheckpointUplinkInput) {
            CFG_ERROR_CODE("LCP02109", "%1: invalid checkpoint type %2", kName, e.checkpoint);
            continue;
        }
        auto* c = out.add_counters();
        c->set_dvport_id(UuidOf(e.dvport));
        c->set_checkpoint(e.checkpoint);
        c->set_hop(e.hop);
        c->set_count(e.count);
        c->set_type(e.type);
    }
    if (!r.counters.empty() && !SendToOps(out))
        CFG_ERROR_CODE("LCP02103", "%1: failed to send counter LcpDpMsg to opsAgent", kName);
    if (r.stats) {
        lcp::LivetraceResultMsg stats;
        stats.set_session_id(r.sessionId);
        stats.set_direction(r.direction);
        stats.mutable_stats()->set_seen(r.stats->seen);
        stats.mutable_stats()->set_matched(r.stats->matched);
        stats.mutable_stats()->set_sampled_out(r.stats->sampledOut);
        stats.mutable_stats()->set_captured(r.stats->captured);
        if (!SendToOps(stats))
            CFG_ERROR_CODE("LCP02103",
                           "%1: failed to send datapath stats LcpDpMsg to opsAgent forsessionId: "
                           "%2, direction: %3",
                           kName, r.sessionId, r.direction);
    }
}

void LivetraceApp::HandlePktcap(const Result& r) {
    bool reverse = (r.meta.flags & kPktReverse) != 0;
    bool inner = (r.meta.flags & kPktInnerTn) != 0;
    auto it = sessions_.find(r.sessionId);
    PktcapFile* file = it == sessions_.end() ? nullptr : it->second.files[reverse ? 1 : 0].get();
    if (file == nullptr || !file->IsOpen()) {
        CFG_ERROR_CODE("LCP02107",
                       "%1: cannot find matched PktcapFileHandler for this pcapMsg from the "
                       "session, sessionID: %2, isInnerTn: %3, isReverse: %4, is pHandler "
                       "assigned: %5",
                       kName, r.sessionId, inner, reverse, file != nullptr);
        return;
    }
    // The dataplane's snap length may promise more than it sent: take what arrived.
    size_t snap = r.meta.snapLength == 0 ? r.dataSize : r.meta.snapLength;
    uint32_t captured = static_cast<uint32_t>(std::min(snap, r.dataSize));
    uint32_t original = std::max(r.meta.origLength, captured);
    switch (file->Write(r.meta.timestamp, r.data, captured, original, PacketComment(r.meta))) {
        case PktcapFile::WriteResult::kOk:
            return;
        case PktcapFile::WriteResult::kCapReached:
            if (!it->second.capNoted) {
                it->second.capNoted = true;
                CFG_WARN("%1: capture of session %2 reached %3 bytes; later packets are dropped",
                         kName, r.sessionId, maxCaptureBytes_);
            }
            return;
        case PktcapFile::WriteResult::kFailed:
            CFG_ERROR_CODE("LCP02107", "%1: Failed to write PCAP file for %2", kName,
                           file->LogicalName());
            return;
    }
}

void LivetraceApp::EndDirection(uint64_t sessionId, uint8_t direction, bool invalidated,
                                uint32_t reason) {
    lcp::LivetraceResultMsg out;
    out.set_session_id(sessionId);
    out.set_direction(direction);
    out.set_ended(true);
    if (invalidated) {
        if (reason < kReasonTimeout || reason > kReasonNoResources)
            CFG_ERROR_CODE("LCP02109", "%1: unsupported invalidation reason %2", kName, reason);
        out.set_invalidation_reason(reason);
    }
    auto it = sessions_.find(sessionId);
    if (it != sessions_.end()) {
        Session& s = it->second;
        int d = DirIndex(direction);
        std::unique_ptr<PktcapFile>& file = s.files[d];
        bool wantsFile = s.files[0] || s.files[1];
        if (wantsFile && (!file || (s.ended & direction) != 0)) {
            // Files that do not match the end: close everything the session holds.
            CFG_ERROR_CODE("LCP02107",
                           "%1: no capture file of direction %2 to close for session %3; closing "
                           "all of its files",
                           kName, direction, sessionId);
            for (auto& f : s.files) {
                if (f && f->IsOpen())
                    f->Close();
            }
            sessions_.erase(it);
        } else {
            if (file) {
                std::string name = file->LogicalName();
                out.set_pcap_packets(file->Packets());
                if (!file->Close() || name.empty()) {
                    CFG_ERROR_CODE("LCP02107",
                                   d == 0
                                       ? "%1: retrieve forward pktcap filename failed,sessionID: "
                                         "%2, direction: %3"
                                       : "%1: retrieve backward pktcap filename "
                                         "failed,sessionID: %2, direction: %3",
                                   kName, sessionId, direction);
                } else if (d == 0) {
                    out.set_forward_pcap_file(name);
                } else {
                    out.set_backward_pcap_file(name);
                }
            }
            s.ended |= direction;
            if ((s.ended & s.directions) == s.directions)
                sessions_.erase(it);
        }
    }
    if (!SendToOps(out)) {
        if (invalidated)
            CFG_ERROR_CODE("LCP02103", "%1: failed to send invalidation to ozy-opsagent", kName);
        else
            CFG_ERROR_CODE("LCP02103", "%1: failed to send LcpDpMsg to opsAgent", kName);
    }
}

void LivetraceApp::InvalidateAll(uint32_t reason) {
    std::vector<std::pair<uint64_t, uint8_t>> open;
    for (const auto& [id, s] : sessions_) {
        for (uint8_t dir : {kDirForward, kDirBackward}) {
            if ((s.directions & dir) != 0 && (s.ended & dir) == 0)
                open.emplace_back(id, dir);
        }
    }
    for (const auto& [id, dir] : open) {
        CFG_WARN("%1: session %2 direction %3 invalidated (reason %4)", kName, id, dir, reason);
        EndDirection(id, dir, true, reason);
    }
}

// ---- timer ----

void LivetraceApp::ArmTimer() {
    if (timer_ && !timerArmed_) {
        timerArmed_ = true;
        timer_->start(kTimerMicros);
    }
}

void LivetraceApp::OnTimer() {
    AgentLockGuard lock(GlobalAgentLock());
    timerArmed_ = false;
    if (stopped_)
        return;
    AgentClock::time_point now = AgentClock::now();
    for (uint32_t chain : fragments_.Expire(now))
        CFG_ERROR_CODE("LCP02109", "%1: Fragment chain %2 is timeout", kName, chain);
    std::vector<uint64_t> late;
    for (const auto& [id, s] : sessions_) {
        if (s.deadline <= now)
            late.push_back(id);
    }
    for (uint64_t id : late) {
        Session& s = sessions_.at(id);
        CFG_WARN("%1: session %2 got no end within its timeout and grace", kName, id);
        std::vector<uint8_t> dirs;
        for (uint8_t dir : {kDirForward, kDirBackward}) {
            if ((s.directions & dir) != 0 && (s.ended & dir) == 0)
                dirs.push_back(dir);
        }
        for (uint8_t dir : dirs)
            EndDirection(id, dir, true, kReasonTimeout);
    }
    if (fragments_.OpenChains() > 0 || !sessions_.empty())
        ArmTimer();
}

// ---- introspection ----

std::string LivetraceApp::SessionsJson() const {
    AgentLockGuard lock(GlobalAgentLock());
    std::string out = "[";
    for (const auto& [id, s] : sessions_) {
        if (out.size() > 1)
            out += ",";
        out += "{\"session_id\":" + std::to_string(id) + ",\"slot\":" + std::to_string(s.slot) +
               ",\"directions\":" + std::to_string(s.directions) +
               ",\"ended\":" + std::to_string(s.ended) + ",\"files\":[";
        bool first = true;
        for (const auto& f : s.files) {
            if (!f)
                continue;
            out += (first ? "" : ",") + ("\"" + f->LogicalName() + "\"");
            first = false;
        }
        out += "]}";
    }
    return out + "]";
}

size_t LivetraceApp::OpenChains() const {
    AgentLockGuard lock(GlobalAgentLock());
    return fragments_.OpenChains();
}

}  // namespace CfgAgent
