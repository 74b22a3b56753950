#pragma once
// SmartNIC utilities: the node persona and the SmartNIC identities, read from operator settings
// that can change without a rebuild.
//
// Settings, in order of precedence: environment variables OZY_NODE_PERSONA, OZY_SN_HOST_MGMT_IP,
// OZY_SN_MGMT_IP, OZY_SN_UUID; then the file /etc/orvane/ozy/smartnic.conf (under the host root)
// with "key = value" lines: persona, host_mgmt_ip, sn_mgmt_ip, sn_uuid, and "sn_uuid.<ip>" for
// SmartNICs other than the local one. The persona defaults to 3 (ordinary host).
#include <string>

namespace SNUtil {

constexpr const char* kSettingsFile = "/etc/orvane/ozy/smartnic.conf";

// Reads the settings; later calls read them again.
void Init();
// 1 SmartNIC host, 2 SmartNIC, 3 other; any other configured value is returned as it stands
// (an unparsable value gives 0) so that the caller can refuse it.
int GetNodePersona();
// Management address of the host, as seen from its SmartNIC.
std::string GetSNHostMgmtIPOnSN();
// Management address of the local SmartNIC.
std::string GetSNMgmtIPOnSN();
// Identity (UUID text) of the SmartNIC with the given management address; empty when unknown.
std::string GetSNUUIDFromIP(const std::string& ip);

}  // namespace SNUtil
