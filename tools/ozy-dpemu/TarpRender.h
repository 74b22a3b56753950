#pragma once
// JSON of one emulated firewall filter for "dpemu/tarp-filter NAME": its realized rules in
// evaluation order with every field decoded (address sets resolved, exclusions, negations,
// combined parts, profiles), its address sets, containers and settings.
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ozy::dpemu::tarp {

class TarpState;
struct Filter;

nlohmann::json RenderFilter(const TarpState& state, const std::string& name, const Filter& f);

}  // namespace ozy::dpemu::tarp
