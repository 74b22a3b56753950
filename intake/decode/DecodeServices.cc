// Decode functions of the firewall, IDS, load-balancer and service-insertion objects (pattern W:
// whole object, CLEAR carries the old body).
#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_ids.pb.h"
#include "proto/cairndb_lb.pb.h"
#include "proto/cairndb_si.pb.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent::decode {

namespace {

enum class LogForm {
    kDfw,   // "Decoder: Received DFW <class> msg (Operation %1): %2"
    kIds,   // "Decoder: Received <class> msg (Op: %1), ID: %2"
    kMsg,   // "Decoder: Received <class> msg (Operation %1): %2"
    kBare,  // "Decoder: Received <class> (Operation %1): %2"
};

template <class Body, class OpClass>
void DecodeWhole(const Input& in, CairnDBUpdateList* const* out, ObjectType type,
                 const char* className, LogForm form) {
    Parsed<Body, OpClass> p(in);
    switch (form) {
        case LogForm::kDfw:
            CFG_DEBUG("Decoder: Received DFW %1 msg (Operation %2): %3", className,
                      PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
            break;
        case LogForm::kIds:
            CFG_DEBUG("Decoder: Received %1 msg (Op: %2), ID: %3", className,
                      PBOpTypeToString(p.objectOp()), IdText(p.subject().id()));
            break;
        case LogForm::kMsg:
            CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3", className,
                      PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
            break;
        case LogForm::kBare:
            CFG_DEBUG("Decoder: Received %1 (Operation %2): %3", className,
                      PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
            break;
    }
    PatternW(in, type, p, className, *out[0]);
}

}  // namespace

void DecodeDfwContainer(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::ContainerMsg, pb::ContainerOpMsg>(in, out, ObjectType::CONTAINER,
                                                      "ContainerMsg", LogForm::kDfw);
}

void DecodeDfwRule(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::RuleMsg, pb::RuleOpMsg>(in, out, ObjectType::RULE, "RuleMsg", LogForm::kDfw);
}

void DecodeDfwRuleSection(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::RuleSectionMsg, pb::RuleSectionOpMsg> p(in);
    CFG_DEBUG("Decoder: Received DFW RuleSectionMsg msg (Operation %1): %2, pri: %3",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString(),
              p.subject().priority());
    PatternW(in, ObjectType::RULE_SECTION, p, "RuleSectionMsg", *out[0]);
}

void DecodeDfwContextProfile(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::ContextProfileMsg, pb::ContextProfileOpMsg>(
        in, out, ObjectType::CONTEXT_PROFILE, "ContextProfileMsg", LogForm::kDfw);
}

void DecodeDfwIpReputationConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::IpReputationConfigMsg, pb::IpReputationConfigOpMsg>(
        in, out, ObjectType::IP_REPUTATION_CONFIG, "IpReputationConfigMsg", LogForm::kDfw);
}

void DecodeDFWConfigSpan(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeDFWConfigSpan", in.parents, false);
    DecodeWhole<pb::ConfigSpanMsg, pb::ConfigSpanOpMsg>(in, out, ObjectType::CONFIG_SPAN,
                                                        "ConfigSpanMsg", LogForm::kDfw);
}

void DecodeIdsSignatures(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::IdsSignaturesMsg, pb::IdsSignaturesOpMsg>(in, out, ObjectType::IDS_SIGNATURES,
                                                              "IdsSignaturesMsg", LogForm::kIds);
}

void DecodeIdsThresholdConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::IdsThresholdConfigMsg, pb::IdsThresholdConfigOpMsg>(
        in, out, ObjectType::IDS_THRESHOLD_CONFIG, "IdsThresholdConfigMsg", LogForm::kIds);
}

void DecodeFleetClusterHostConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::FleetClusterHostConfigMsg, pb::FleetClusterHostConfigOpMsg>(
        in, out, ObjectType::FLEET_CLUSTER_HOST_CONFIG, "FleetClusterHostConfigMsg", LogForm::kIds);
}

void DecodeSecurityFeatureToggle(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::SecurityFeatureToggleMsg, pb::SecurityFeatureToggleOpMsg>(
        in, out, ObjectType::SECURITY_FEATURE_TOGGLE, "SecurityFeatureToggleMsg", LogForm::kIds);
}

void DecodeLbService(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::LbServiceMsg, pb::LbServiceOpMsg>(in, out, ObjectType::LB_SERVICE,
                                                      "LbServiceMsg", LogForm::kMsg);
}

void DecodeLbVirtualServer(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::LbVirtualServerMsg, pb::LbVirtualServerOpMsg>(
        in, out, ObjectType::LB_VIRTUAL_SERVER, "LbVirtualServerMsg", LogForm::kMsg);
}

void DecodeLbPool(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::LbPoolMsg, pb::LbPoolOpMsg>(in, out, ObjectType::LB_POOL, "LbPoolMsg",
                                                LogForm::kMsg);
}

void DecodeLbApplicationProfile(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::LbApplicationProfileMsg, pb::LbApplicationProfileOpMsg>(
        in, out, ObjectType::LB_APPLICATION_PROFILE, "LbApplicationProfileMsg", LogForm::kMsg);
}

void DecodeLbPersistenceProfile(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::LbPersistenceProfileMsg, pb::LbPersistenceProfileOpMsg>(
        in, out, ObjectType::LB_PERSISTENCE_PROFILE, "LbPersistenceProfileMsg", LogForm::kMsg);
}

void DecodeSiRedirectionPolicy(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::SiRedirectionPolicyMsg, pb::SiRedirectionPolicyOpMsg>(
        in, out, ObjectType::SI_REDIRECTION_POLICY, "SiRedirectionPolicyMsg", LogForm::kBare);
}

void DecodeSiServiceChain(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::SiServiceChainMsg, pb::SiServiceChainOpMsg>(
        in, out, ObjectType::SI_SERVICE_CHAIN, "SiServiceChainMsg", LogForm::kBare);
}

void DecodeSiServicePath(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWhole<pb::SiServicePathMsg, pb::SiServicePathOpMsg>(in, out, ObjectType::SI_SERVICE_PATH,
                                                              "SiServicePathMsg", LogForm::kBare);
}

}  // namespace CfgAgent::decode
