// DVSPropConvertor: extra configurations of logical switches and ports (the keys the dataplane
// takes, a switch's values reaching its ports) and the opaque keys of the global configuration.
#include <unordered_map>

#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/KcpPropertyTable.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent {

using namespace dvs;

namespace dvs {

uint16_t ExtraConfigPropertyKey(const std::string& key) {
    static const std::unordered_map<std::string, uint16_t>* table = [] {
        auto* t = new std::unordered_map<std::string, uint16_t>{
            {"com.orvane.port.extraConfig.vm.tagset", kcp::kPropVmTagset},
            {"com.orvane.port.extraConfig.serviceInsertion.gvm", kcp::kPropSiGvm},
            {"com.orvane.port.extraConfig.serviceInsertion.svm", kcp::kPropSiSvm},
            {"com.orvane.port.extraConfig.cloudsvc.management.ip", kcp::kPropCloudsvcManagementIp},
            {"com.orvane.port.extraConfig.cloudsvc.edge", kcp::kPropCloudsvcEdge},
            {"com.orvane.ozy.ovl2.bridgedvlan", kcp::kPropBridgedVlan},
            {"com.orvane.ozy.port.extraConfig.proxyarpRoutermode", kcp::kPropProxyArpRouterMode},
            {"com.orvane.ozy.port.extraConfig.remoteRtr", kcp::kPropRemoteRouter},
            {"com.orvane.port.extraConfig.policyRoute", kcp::kPropPolicyRoute},
            {"com.orvane.port.extraConfig.ovl2.udpPortsInHash", kcp::kPropUdpPortsInHash},
            {"com.orvane.port.extraConfig.ovl2.nestedTNConfig", kcp::kPropNestedTnConfig},
            {"com.orvane.port.extraConfig.global.id", kcp::kPropGlobalId},
            {"com.orvane.port.extraConfig.forward.rarp", kcp::kPropForwardRarp},
        };
        for (uint16_t i = 1; i <= 9; ++i) {
            t->emplace("com.orvane.port.extraConfig.vm.tagset" + std::to_string(i),
                       static_cast<uint16_t>(kcp::kPropVmTagset + i));
        }
        return t;
    }();
    auto it = table->find(key);
    return it == table->end() ? 0 : it->second;
}

uint16_t GlobalOpaquePropertyKey(const std::string& key) {
    if (key == "com.orvane.ozy.extraConfig.cloudsvc.management.clusterVirtualIp")
        return kcp::kPropCloudsvcClusterVirtualIp;
    if (key == "com.orvane.ozy.extraConfig.cloudsvc.management.clusterMasterIp")
        return kcp::kPropCloudsvcClusterMasterIp;
    return 0;
}

}  // namespace dvs

namespace {

// The supported keys of a list, each unsupported one logged.
std::map<std::string, std::string> SupportedExtraConfigs(
    const google::protobuf::RepeatedPtrField<pb::KeyValueMsg>& list) {
    std::map<std::string, std::string> out;
    for (const auto& kv : list) {
        if (ExtraConfigPropertyKey(kv.key()) == 0) {
            CFG_WARN("Unsupported Extra Config Key %1 to update", kv.key());
            continue;
        }
        out[kv.key()] = kv.value();
    }
    return out;
}

}  // namespace

void DVSPropConvertor::HandleExtraConfigsUpdate(const PropertyUpdate& u) {
    std::map<std::string, std::string> configs;
    if (u.property == PropertyType::LS_EXTRA_CONFIGS) {
        pb::LogSwitchConfigMsg m;
        if (!u.Deleted()) {
            if (!ParsePropertyValue(m, u.property, u.id, u.value))
                return;
            configs = SupportedExtraConfigs(m.extra_configs());
        }
        Switch(u.id).extraConfigs = configs;
        auto lsps = lspsBySwitch_.find(PackedId(u.id));
        if (lsps != lspsBySwitch_.end()) {
            for (const LspEntry* lsp = lsps->second.first; lsp != nullptr;
                 lsp = lsp->second.nextOnSwitch) {
                for (const auto& [key, value] : configs)
                    CFG_DEBUG("Update LSP %1 with LS extraConfig %2 %3", IdText(lsp->first.text()),
                              key, value);
            }
        }
        MarkSwitchPortsDirty(u.id);
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!u.Deleted()) {
        if (!ParsePropertyValue(m, u.property, u.id, u.value))
            return;
        configs = SupportedExtraConfigs(m.extra_configs());
    }
    LspState& l = Lsp(u.id);
    l.SetExtra(&dvs::LspExtras::extraConfigs, std::move(configs));
    LogGvmSkip(u.id, l);
    MarkLspDirty(u.id);
}

void DVSPropConvertor::LogGvmSkip(const std::string& lspId, const LspState& l) const {
    if (l.hyvKrn &&
        l.Extras().extraConfigs.count("com.orvane.port.extraConfig.serviceInsertion.gvm") != 0)
        CFG_INFO("Skip setting GVM for HYV port %1", IdText(lspId));
}

void DVSPropConvertor::AddExtraConfigProperties(const LspState& l, const SwitchState* s,
                                                PropSet& out) const {
    std::map<std::string, std::string> merged;
    if (s != nullptr)
        merged = s->extraConfigs;
    for (const auto& [key, value] : l.Extras().extraConfigs)
        merged[key] = value;
    for (const auto& [key, value] : merged) {
        uint16_t prop = ExtraConfigPropertyKey(key);
        if (prop == 0 || (prop == kcp::kPropSiGvm && l.hyvKrn))
            continue;
        out[{prop, std::string()}] = std::vector<uint8_t>(value.begin(), value.end());
    }
}

void DVSPropConvertor::HandleGlobalConfigs(const CairnDBUpdateList& updates, bool fullSync) {
    std::map<std::string, std::string> opaque =
        fullSync ? std::map<std::string, std::string>() : globalOpaque_;
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.op == Operation::OPERATION_DELETE) {
            opaque.clear();
            continue;
        }
        pb::GlobalConfigMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00001", "DvsPropConvertor: global configuration [%1] does not parse",
                           IdText(r.id));
            continue;
        }
        opaque.clear();
        for (const auto& kv : m.host_opaque_configs()) {
            if (GlobalOpaquePropertyKey(kv.key()) == 0) {
                CFG_ERROR_CODE("LCP00513", "Unsupported Global Opaque Config Key to update");
                continue;
            }
            opaque[kv.key()] = kv.value();
        }
    }
    if (opaque != globalOpaque_) {
        globalOpaque_ = std::move(opaque);
        for (const std::string& id : DesiredSwitchIds())
            dirtySwitches_.insert(id);
    }
    Flush();
}

}  // namespace CfgAgent
