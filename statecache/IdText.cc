#include "statecache/IdText.h"

#include "proto/UuidText.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent {

std::string HexText(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
    return out;
}

std::string IdText(std::string_view serializedId) {
    if (serializedId.empty()) {
        return std::string();
    }
    orvane::ozy::cairndb::UuidMsg uuid;
    if (uuid.ParseFromArray(serializedId.data(), static_cast<int>(serializedId.size())) &&
        uuid.GetReflection()->GetUnknownFields(uuid).empty()) {
        return ozy::cairndb::UuidText(uuid.left(), uuid.right());
    }
    return "0x" + HexText(serializedId);
}

std::string SerializedUuid(uint64_t left, uint64_t right) {
    orvane::ozy::cairndb::UuidMsg uuid;
    uuid.set_left(left);
    uuid.set_right(right);
    return uuid.SerializeAsString();
}

bool IdFromText(std::string_view text, std::string* serializedId) {
    uint64_t left = 0;
    uint64_t right = 0;
    if (!ozy::cairndb::ParseUuidText(text, &left, &right)) {
        return false;
    }
    *serializedId = SerializedUuid(left, right);
    return true;
}

}  // namespace CfgAgent
