#pragma once
// Fuzz targets of the intake: an input that does not parse as a MonitorUpdateMsg is read as a raw
// update instead, so that mutations reach the body and op parsers too. Byte 0 picks the object
// type among `types`, bytes 1-3 the split of the rest into op message, new body and old body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "proto/cairndb_monitor.pb.h"

namespace CfgAgent::test {

inline bool RawUpdate(const uint8_t* data, size_t size, const uint32_t* types, size_t typeCount,
                      orvane::ozy::cairndb::MonitorUpdateMsg* u) {
    if (size < 4 || typeCount == 0)
        return false;
    u->set_object_type(static_cast<orvane::ozy::cairndb::ObjectType>(types[data[0] % typeCount]));
    const char* rest = reinterpret_cast<const char*>(data + 4);
    size_t n = size - 4;
    size_t a = n == 0 ? 0 : data[1] % (n + 1);
    size_t b = n - a == 0 ? 0 : data[2] % (n - a + 1);
    u->set_op_msg(std::string(rest, a));
    u->set_object_body(std::string(rest + a, b));
    if (data[3] & 1)
        u->set_old_object_body(std::string(rest + a + b, n - a - b));
    return true;
}

}  // namespace CfgAgent::test
