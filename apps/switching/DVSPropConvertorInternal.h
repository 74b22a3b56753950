#pragma once
// Helpers shared by the source files of DVSPropConvertor: parsing of property values with the
// error line, names of the prefixes that mark special ports. Internal; includes the generated
// schema headers.
#include <cstddef>
#include <string>

#include "intake/CfgTypes.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"

namespace CfgAgent::dvs {

// Ports of one Update sent by a flush or a push of whole ports: after a large apply every port is
// dirty, and a flush or push built at once (the records, then the Update's messages) would be the
// largest allocation of the apply.
constexpr size_t kPortsPerUpdate = 1024;

// VIFs of the container-bus kernel interface and ports of the container bus.
constexpr const char* kConduitKrnnicPrefix = "conduitKrnnic";
constexpr const char* kConduitPortPrefix = "ct-";

inline bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Parses a property value (an object of the body's class with one property set). A value that
// does not parse is logged with LCP00001 and refused.
template <typename Msg>
bool ParsePropertyValue(Msg& msg, PropertyType property, const std::string& id,
                        const std::string& value) {
    if (msg.ParseFromString(value)) {
        return true;
    }
    CFG_ERROR_CODE("LCP00001", "DvsPropConvertor: %1 of [%2] does not parse (%3 bytes), ignored",
                   PropertyTypeToString(property), IdText(id), value.size());
    return false;
}

// The KCP property key of a port extra-config key; 0 for a key the dataplane does not know.
uint16_t ExtraConfigPropertyKey(const std::string& key);
// Whether a global opaque key is one the dataplane takes; its KCP switch property key.
uint16_t GlobalOpaquePropertyKey(const std::string& key);

}  // namespace CfgAgent::dvs
