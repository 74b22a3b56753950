// Decode functions of the agent-wide objects (pattern O): conduit channel settings, control-plane
// sessions, barriers, global configuration, BFD settings and SmartNIC backing.
#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent::decode {

namespace {

template <class P>
void LogReceived(const char* name, const P& p) {
    CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3", name, PBOpTypeToString(p.objectOp()),
              p.subject().ShortDebugString());
}

template <class P>
void LogReceivedWithId(const char* name, const P& p) {
    CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3 : %4", name,
              PBOpTypeToString(p.objectOp()), IdText(p.subject().id()),
              p.subject().ShortDebugString());
}

}  // namespace

void DecodeConduitGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeConduitGlobalConfig", in.parents, false);
    Parsed<pb::ConduitChannelGlobalConfigMsg, pb::ConduitChannelGlobalConfigOpMsg> p(in);
    LogReceived("CONDUIT_CHANNEL_GLOBAL_CONFIG", p);
    PatternO(in, ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG, p, *out[0]);
}

void DecodeConduitVIFConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeConduitVIFConfig", in.parents, false);
    Parsed<pb::ConduitChannelVifConfigMsg, pb::ConduitChannelVifConfigOpMsg> p(in);
    LogReceived("CONDUIT_CHANNEL_VIF_CONFIG", p);
    PatternO(in, ObjectType::CONDUIT_CHANNEL_VIF_CONFIG, p, *out[0]);
}

void DecodeCcpSession(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeCcpSession", in.parents, false);
    Parsed<pb::CcpSessionMsg, pb::CcpSessionOpMsg> p(in);
    LogReceived("CCP_SESSION", p);
    PatternO(in, ObjectType::CCP_SESSION, p, *out[0]);
}

void DecodeBarrier(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::BarrierMsg, pb::BarrierOpMsg> p(in);
    LogReceived("BARRIER", p);
    PatternO(in, ObjectType::BARRIER, p, *out[0]);
}

void DecodeGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeGlobalConfig", in.parents, false);
    Parsed<pb::GlobalConfigMsg, pb::GlobalConfigOpMsg> p(in);
    LogReceived("GLOBAL_CONFIG", p);
    PatternO(in, ObjectType::GLOBAL_CONFIG, p, *out[0]);
}

void DecodeBfdGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::BfdGlobalConfigMsg, pb::BfdGlobalConfigOpMsg> p(in);
    LogReceivedWithId("BFD_GLOBAL_CONFIG", p);
    PatternO(in, ObjectType::BFD_GLOBAL_CONFIG, p, *out[0]);
}

void DecodeHostSwitchSmartnicBacking(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::HostSwitchSmartnicBackingMsg, pb::HostSwitchSmartnicBackingOpMsg> p(in);
    LogReceivedWithId("HOST_SWITCH_SMARTNIC_BACKING", p);
    PatternO(in, ObjectType::HOST_SWITCH_SMARTNIC_BACKING, p, *out[0]);
}

}  // namespace CfgAgent::decode
