#include "statecache/WireCheck.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

namespace CfgAgent::sc {

bool IsProtobufWire(std::string_view bytes) {
    using google::protobuf::internal::WireFormatLite;
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              static_cast<int>(bytes.size()));
    while (in.CurrentPosition() < static_cast<int>(bytes.size())) {
        uint32_t tag = in.ReadTag();
        if (tag == 0 || WireFormatLite::GetTagFieldNumber(tag) == 0 ||
            WireFormatLite::GetTagWireType(tag) == WireFormatLite::WIRETYPE_END_GROUP) {
            return false;
        }
        if (!WireFormatLite::SkipField(&in, tag)) {
            return false;
        }
    }
    return true;
}

}  // namespace CfgAgent::sc
