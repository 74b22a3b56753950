// Decode functions of the agent-wide objects (pattern O): conduit channel settings, control-plane
// sessions, barriers, global configuration, BFD settings and SmartNIC backing.
#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_bfd.pb.h"
#include "proto/cairndb_conduit.pb.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent::decode {

void DecodeConduitGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeConduitGlobalConfig", in.parents, false);
    DecodeWholeObject<pb::ConduitChannelGlobalConfigMsg, pb::ConduitChannelGlobalConfigOpMsg>(
        in, ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG, "CONDUIT_CHANNEL_GLOBAL_CONFIG", false,
        *out[0]);
}

void DecodeConduitVIFConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeConduitVIFConfig", in.parents, false);
    DecodeWholeObject<pb::ConduitChannelVifConfigMsg, pb::ConduitChannelVifConfigOpMsg>(
        in, ObjectType::CONDUIT_CHANNEL_VIF_CONFIG, "CONDUIT_CHANNEL_VIF_CONFIG", false, *out[0]);
}

void DecodeCcpSession(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeCcpSession", in.parents, false);
    DecodeWholeObject<pb::CcpSessionMsg, pb::CcpSessionOpMsg>(in, ObjectType::CCP_SESSION,
                                                              "CCP_SESSION", false, *out[0]);
}

void DecodeBarrier(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::BarrierMsg, pb::BarrierOpMsg>(in, ObjectType::BARRIER, "BARRIER", false,
                                                        *out[0]);
}

void DecodeGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeGlobalConfig", in.parents, false);
    DecodeWholeObject<pb::GlobalConfigMsg, pb::GlobalConfigOpMsg>(in, ObjectType::GLOBAL_CONFIG,
                                                                  "GLOBAL_CONFIG", false, *out[0]);
}

void DecodeBfdGlobalConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::BfdGlobalConfigMsg, pb::BfdGlobalConfigOpMsg>(
        in, ObjectType::BFD_GLOBAL_CONFIG, "BFD_GLOBAL_CONFIG", true, *out[0]);
}

void DecodeHostSwitchSmartnicBacking(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::HostSwitchSmartnicBackingMsg, pb::HostSwitchSmartnicBackingOpMsg>(
        in, ObjectType::HOST_SWITCH_SMARTNIC_BACKING, "HOST_SWITCH_SMARTNIC_BACKING", true,
        *out[0]);
}

}  // namespace CfgAgent::decode
