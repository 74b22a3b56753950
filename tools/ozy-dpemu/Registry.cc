#include "tools/ozy-dpemu/Registry.h"

#include "platform/device/DeviceFrame.h"
#include "tools/ozy-dpemu/FcVswitchDevices.h"
#include "tools/ozy-dpemu/KcpFamily.h"
#include "tools/ozy-dpemu/LivetraceFamily.h"
#include "tools/ozy-dpemu/SiDevices.h"
#include "tools/ozy-dpemu/SiFamily.h"
#include "tools/ozy-dpemu/SwsecFamily.h"
#include "tools/ozy-dpemu/TarpFamily.h"
#include "tools/ozy-dpemu/TraceflowFamily.h"
#include "tools/ozy-dpemu/VdrFamily.h"
#include "tools/ozy-dpemu/VxlanFamily.h"

namespace ozy::dpemu {

namespace {
template <typename T, typename... Args>
std::function<std::unique_ptr<FamilyHandler>()> Family(Args... args) {
    return [=] { return std::unique_ptr<FamilyHandler>(new T(args...)); };
}
template <typename T, typename... Args>
std::function<std::unique_ptr<DeviceHandler>()> Device(Args... args) {
    return [=] { return std::unique_ptr<DeviceHandler>(new T(args...)); };
}
}  // namespace

const std::vector<FamilyInfo>& BuiltinFamilies() {
    static const std::vector<FamilyInfo> families = {
        {"kcp", "ozy_kcp_krnlink", "configuration family (ports, VIFs, switches)",
         Family<KcpFamily>()},
        {"vxlan", "ozy_vxlan_krnlink", "VXLAN family (VNIs, local VTEPs and MACs, session)",
         Family<VxlanFamily>()},
        {"vdr", "ozy_vdr_krnlink", "distributed router family (routers, LIFs, routes, ARP)",
         Family<VdrFamily>()},
        {"traceflow", "ozy_traceflow_krnlink", "traceflow (injections, observations, INT)",
         Family<TraceflowFamily>()},
        {"swsec", "swsec_krnlink", "switch security / IP discovery (VM-tools bindings)",
         Family<SwsecFamily>()},
        {"si", "ozy_tarp_si_krnlink", "service insertion (chains, NSH entries, status)",
         Family<SiFamily>()},
        {"filter", "ozy_tarp_krnlink", "firewall filters; also the device tarp (/dev/ozy-tarp)",
         Family<TarpFamily>()},
        {"livetrace", "livetrace_ozyt_krnlink", "live trace (sessions, filters, captures)",
         Family<LivetraceFamily>()},
    };
    return families;
}

const std::vector<DeviceInfo>& BuiltinDevices() {
    static const std::vector<DeviceInfo> devices = {
        {"fc", device::kFlowCacheDevice, "flow cache settings", Device<FlowCacheDevice>()},
        {"spf", device::kSpfDevice, "service platform status", Device<SpfDevice>()},
        {"ovl2", device::kOvl2Device, "overlay MAC table", Device<Ovl2Device>()},
        // "vswitch" is served by the KCP family (its kernel NICs go with the VIFs).
    };
    return devices;
}

}  // namespace ozy::dpemu
