#pragma once
// The CLI page "dfw/profiles VIF|all" ("dfw_vif_profiles"): per firewall filter (or the one of
// VIF), what each per-port feature (flood, timeout, DNS) applied -- the profile id or "default",
// whether the last set succeeded, the values -- and whether its port's filter configuration enables
// it; then per feature the profile requests not yet processed and the filters that do not hold
// their values yet. Read from the features' published state: figures may lag the process loop by
// one pass.
#include <string>

namespace CfgAgent {

class DfwMain;

// JSON text of the page; `vif` empty: every filter.
std::string DfwProfilesText(const DfwMain& main, const std::string& vif);

}  // namespace CfgAgent
