#pragma once
// A cheap structural check of serialized protobuf bytes from outside: every field has a valid tag
// and wire type and stays inside the buffer. Used by the state-cache tables to reject bodies that
// are not messages at all before storing them, without paying for a full parse.
#include <string_view>

namespace CfgAgent::sc {

// True for well-formed protobuf wire bytes (the empty string included).
bool IsProtobufWire(std::string_view bytes);

}  // namespace CfgAgent::sc
