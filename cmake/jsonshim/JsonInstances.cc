// The one translation unit that compiles the nlohmann::json instantiations which
// nlohmann/json.hpp in this directory declares extern everywhere else.
#include <nlohmann/json.hpp>

OZY_JSON_INSTANCES(template)
