// Stands in front of the packaged <nlohmann/json.hpp> for every target that links
// nlohmann_json::nlohmann_json (see CMakeLists.txt next to this directory's parent): it includes
// the real header and declares the heavy instantiations of nlohmann::json extern, so that the
// parser, the lexer, the DOM builders, the serializer and basic_json's own members are compiled
// once, in JsonInstances.cc, instead of in each of the many translation units that parse or print
// JSON. Behaviour is unchanged; only where the code is generated moves.
#ifndef OZY_JSONSHIM_NLOHMANN_JSON_HPP
#define OZY_JSONSHIM_NLOHMANN_JSON_HPP

#include_next <nlohmann/json.hpp>

#include <string>

#define OZY_JSON_INSTANCES(kind)                                                                \
    kind class nlohmann::basic_json<>;                                                          \
    kind class nlohmann::detail::json_sax_dom_parser<nlohmann::json>;                           \
    kind class nlohmann::detail::json_sax_dom_callback_parser<nlohmann::json>;                  \
    kind class nlohmann::detail::serializer<nlohmann::json>;                                    \
    kind class nlohmann::detail::lexer<                                                         \
        nlohmann::json, nlohmann::detail::iterator_input_adapter<std::string::const_iterator>>; \
    kind class nlohmann::detail::parser<                                                        \
        nlohmann::json, nlohmann::detail::iterator_input_adapter<std::string::const_iterator>>; \
    kind class nlohmann::detail::lexer<nlohmann::json,                                          \
                                       nlohmann::detail::iterator_input_adapter<const char*>>;  \
    kind class nlohmann::detail::parser<nlohmann::json,                                         \
                                        nlohmann::detail::iterator_input_adapter<const char*>>;

OZY_JSON_INSTANCES(extern template)

#endif
