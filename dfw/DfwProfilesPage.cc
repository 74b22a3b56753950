#include "dfw/DfwProfilesPage.h"

#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwFilterConfig.h"
#include "dfw/DfwFilterFeature.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwMain.h"
#include "platform/tarp/TarpWire.h"

namespace CfgAgent {

std::string DfwProfilesText(const DfwMain& main, const std::string& vif) {
    using json = nlohmann::json;
    DfwFilterRepo::FilterMap filters;
    if (main.repo() != nullptr)
        filters = main.repo()->Filters(ozy::tarp::kAgentFirewall);
    const std::vector<ozy::RefPtr<DfwFilterFeature>> features = main.features();
    const ozy::RefPtr<DfwFilterConfig> config = main.filterConfig();
    std::vector<std::map<std::string, DfwFilterFeature::Applied>> applied;
    for (const auto& f : features)
        applied.push_back(f->AppliedByVif());
    std::vector<size_t> owed(features.size(), 0);
    json rows = json::array();
    for (const auto& [v, f] : filters) {
        json row = {{"vif", v}, {"filter", f.name}, {"lsp", f.lsp}};
        for (size_t i = 0; i < features.size(); ++i) {
            auto it = applied[i].find(v);
            json cell;
            if (it == applied[i].end() || it->second.filter != f.name) {
                cell = "pending";
                ++owed[i];
            } else if (it->second.lsp.empty()) {
                cell = "no lsp";
            } else {
                json values = json::object();
                const auto& names = features[i]->valueNames();
                for (size_t k = 0; k < names.size() && k < it->second.values.size(); ++k)
                    values[names[k]] = it->second.values[k];
                cell = {{"profile", it->second.profile.empty() ? "default" : it->second.profile},
                        {"applied", it->second.ok},
                        {"values", values}};
                owed[i] += !it->second.ok;
            }
            row[features[i]->key()] = cell;
        }
        if (config) {
            const std::string profile = config->DisablingProfile(f.lsp);
            row["filter_config"] = profile.empty() ? json{{"enabled", true}}
                                                   : json{{"enabled", false}, {"profile", profile}};
        }
        if (vif.empty() || vif == v)
            rows.push_back(std::move(row));
    }
    json pending = json::object();
    for (size_t i = 0; i < features.size(); ++i)
        pending[features[i]->key()] = {{"requests", features[i]->Pending()}, {"filters", owed[i]}};
    json out = {{"filters", rows}, {"pending", pending}};
    if (config)
        out["disabled_ports"] = config->DisabledPorts().size();
    return json({{"dfw_vif_profiles", out}}).dump();
}

}  // namespace CfgAgent
