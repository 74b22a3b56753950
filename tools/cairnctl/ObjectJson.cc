#include "tools/cairnctl/ObjectJson.h"

#include <functional>

#include <arpa/inet.h>

#include <cstdio>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>

#include "platform/cairndb/Base64.h"
#include "proto/UuidText.h"
#include "proto/cairndb_types.pb.h"

namespace ozy::cairnctl {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using nlohmann::json;

namespace {

const FieldDescriptor* FindField(const Descriptor* d, const std::string& key) {
    const FieldDescriptor* f = d->FindFieldByName(key);
    return f != nullptr ? f : d->FindFieldByCamelcaseName(key);
}

bool UuidTextToJson(json& v, std::string* error) {
    if (!v.is_string()) {
        return true;  // an explicit {"left": ..., "right": ...} is fine too
    }
    uint64_t left = 0;
    uint64_t right = 0;
    if (!ozy::cairndb::ParseUuidText(v.get<std::string>(), &left, &right)) {
        *error = "\"" + v.get<std::string>() + "\" is not a UUID";
        return false;
    }
    v = json{{"left", std::to_string(left)}, {"right", std::to_string(right)}};
    return true;
}

bool IsUuid(const FieldDescriptor* f) {
    return f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
           f->message_type() == pb::UuidMsg::descriptor();
}

bool IsAddress(const FieldDescriptor* f) {
    return f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
           f->message_type() == pb::IpAddressMsg::descriptor();
}

// MAC fields are 64-bit numbers holding the six bytes in their low 48 bits, first byte highest:
// "mac", "macs", "vdr_mac", ...
bool IsMac(const FieldDescriptor* f) {
    if (f->cpp_type() != FieldDescriptor::CPPTYPE_UINT64)
        return false;
    const std::string& n = f->name();
    auto endsWith = [&n](const char* suffix) {
        std::string sfx(suffix);
        return n.size() >= sfx.size() && n.compare(n.size() - sfx.size(), sfx.size(), sfx) == 0;
    };
    return n == "mac" || n == "macs" || endsWith("_mac") || endsWith("_macs");
}

// "02:00:00:00:00:01" to the number (as text, as protobuf JSON writes 64-bit numbers).
bool MacTextToJson(json& v, std::string* error) {
    if (!v.is_string() || v.get<std::string>().find(':') == std::string::npos)
        return true;  // a number (or its decimal text) is fine too
    const std::string text = v.get<std::string>();
    unsigned b[6];
    char tail = 0;
    if (text.size() != 17 || std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1],
                                         &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
        *error = "\"" + text + "\" is not a MAC address";
        return false;
    }
    for (size_t i = 2; i < text.size(); i += 3) {
        if (text[i] != ':') {
            *error = "\"" + text + "\" is not a MAC address";
            return false;
        }
    }
    uint64_t mac = 0;
    for (unsigned byte : b)
        mac = (mac << 8) | byte;
    v = std::to_string(mac);
    return true;
}

std::string MacText(uint64_t mac) {
    char buf[18];
    std::snprintf(
        buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x",
        static_cast<unsigned>((mac >> 40) & 0xff), static_cast<unsigned>((mac >> 32) & 0xff),
        static_cast<unsigned>((mac >> 24) & 0xff), static_cast<unsigned>((mac >> 16) & 0xff),
        static_cast<unsigned>((mac >> 8) & 0xff), static_cast<unsigned>(mac & 0xff));
    return buf;
}

// "10.0.0.1" or "fd00::1" to IpAddressMsg JSON (IPv4 in host order, IPv6 as its 16 bytes).
bool AddressTextToJson(json& v, std::string* error) {
    if (!v.is_string())
        return true;  // an explicit {"ipv4": ...} or {"ipv6": ...} is fine too
    const std::string text = v.get<std::string>();
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        v = json{{"ipv4", ntohl(a4.s_addr)}};
    } else if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        v = json{{"ipv6", ozy::cairndb::Base64Encode(std::string(
                              reinterpret_cast<const char*>(a6.s6_addr), sizeof(a6.s6_addr)))}};
    } else {
        *error = "\"" + text + "\" is not an IPv4 or IPv6 address";
        return false;
    }
    return true;
}

// IpAddressMsg JSON to text; left as it is when it does not hold a well-formed address.
void AddressToText(json& v) {
    if (!v.is_object())
        return;
    char buf[INET6_ADDRSTRLEN];
    if (v.contains("ipv4") && v.size() == 1) {
        in_addr a4;
        a4.s_addr = htonl(v["ipv4"].get<uint32_t>());
        if (inet_ntop(AF_INET, &a4, buf, sizeof(buf)) != nullptr)
            v = std::string(buf);
    } else if (v.contains("ipv6") && v.size() == 1 && v["ipv6"].is_string()) {
        std::string bytes;
        if (ozy::cairndb::Base64Decode(v["ipv6"].get<std::string>(), &bytes) &&
            bytes.size() == 16 && inet_ntop(AF_INET6, bytes.data(), buf, sizeof(buf)) != nullptr)
            v = std::string(buf);
    }
}

// Replaces UUID, address and MAC texts by the schema's JSON, recursively.
bool Expand(json& obj, const Descriptor* d, std::string* error) {
    if (!obj.is_object()) {
        return true;  // the protobuf parser reports the type error
    }
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const FieldDescriptor* f = FindField(d, it.key());
        if (f == nullptr)
            continue;
        std::function<bool(json&)> one;
        if (IsUuid(f)) {
            one = [error](json& v) { return UuidTextToJson(v, error); };
        } else if (IsAddress(f)) {
            one = [error](json& v) { return AddressTextToJson(v, error); };
        } else if (IsMac(f)) {
            one = [error](json& v) { return MacTextToJson(v, error); };
        } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            one = [f, error](json& v) { return Expand(v, f->message_type(), error); };
        } else {
            continue;
        }
        if (f->is_repeated() && it.value().is_array()) {
            for (auto& e : it.value()) {
                if (!one(e)) {
                    *error = it.key() + ": " + *error;
                    return false;
                }
            }
        } else if (!one(it.value())) {
            *error = it.key() + ": " + *error;
            return false;
        }
    }
    return true;
}

uint64_t Half(const json& v, const char* key) {
    auto it = v.find(key);
    if (it == v.end())
        return 0;
    if (it->is_string())
        return std::stoull(it->get<std::string>());
    if (it->is_number_unsigned())
        return it->get<uint64_t>();
    return 0;
}

void Collapse(json& obj, const Descriptor* d) {
    if (!obj.is_object())
        return;
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const FieldDescriptor* f = FindField(d, it.key());
        if (f == nullptr)
            continue;
        std::function<void(json&)> one;
        if (IsUuid(f)) {
            one = [](json& v) { v = ozy::cairndb::UuidText(Half(v, "left"), Half(v, "right")); };
        } else if (IsAddress(f)) {
            one = AddressToText;
        } else if (IsMac(f)) {
            one = [](json& v) {
                if (v.is_string())
                    v = MacText(std::stoull(v.get<std::string>()));
                else if (v.is_number_unsigned())
                    v = MacText(v.get<uint64_t>());
            };
        } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            one = [f](json& v) { Collapse(v, f->message_type()); };
        } else {
            continue;
        }
        if (f->is_repeated() && it.value().is_array()) {
            for (auto& e : it.value())
                one(e);
        } else {
            one(it.value());
        }
    }
}

}  // namespace

bool ObjectFromJson(const json& value, google::protobuf::Message* msg, std::string* error) {
    msg->Clear();
    if (!value.is_object()) {
        *error = "an object must be a JSON object";
        return false;
    }
    json expanded = value;
    if (!Expand(expanded, msg->GetDescriptor(), error)) {
        return false;
    }
    auto status = google::protobuf::util::JsonStringToMessage(expanded.dump(), msg);
    if (!status.ok()) {
        *error = std::string(status.message());
        return false;
    }
    return true;
}

json ObjectToJson(const google::protobuf::Message& msg) {
    std::string text;
    google::protobuf::util::JsonPrintOptions opt;
    opt.preserve_proto_field_names = true;
    google::protobuf::util::MessageToJsonString(msg, &text, opt);
    json out = json::parse(text);
    Collapse(out, msg.GetDescriptor());
    return out;
}

}  // namespace ozy::cairnctl
