#include "statecache/StateCacheJson.h"

#include <arpa/inet.h>

#include <memory>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_types.pb.h"
#include "statecache/IdText.h"

namespace CfgAgent::sc {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

namespace {

bool IsMacField(const FieldDescriptor* f) {
    const std::string& n = f->name();
    return f->type() == FieldDescriptor::TYPE_FIXED64 &&
           (n == "mac" || (n.size() > 4 && n.compare(n.size() - 4, 4, "_mac") == 0));
}

std::string MacText(uint64_t mac) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 5; i >= 0; --i) {
        unsigned b = static_cast<unsigned>((mac >> (8 * i)) & 0xFF);
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
        if (i != 0)
            out.push_back(':');
    }
    return out;
}

nlohmann::json IpJson(const pb::IpAddressMsg& ip) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (ip.address_case() == pb::IpAddressMsg::kIpv4) {
        uint32_t n = htonl(ip.ipv4());
        inet_ntop(AF_INET, &n, buf, sizeof(buf));
        return std::string(buf);
    }
    if (ip.address_case() == pb::IpAddressMsg::kIpv6) {
        if (ip.ipv6().size() == 16) {
            inet_ntop(AF_INET6, ip.ipv6().data(), buf, sizeof(buf));
            return std::string(buf);
        }
        return HexJson(ip.ipv6());
    }
    return nullptr;
}

nlohmann::json ScalarJson(const Message& msg, const Reflection* r, const FieldDescriptor* f,
                          int index) {
    const bool rep = f->is_repeated();
    switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
            return rep ? r->GetRepeatedInt32(msg, f, index) : r->GetInt32(msg, f);
        case FieldDescriptor::CPPTYPE_INT64:
            return rep ? r->GetRepeatedInt64(msg, f, index) : r->GetInt64(msg, f);
        case FieldDescriptor::CPPTYPE_UINT32:
            return rep ? r->GetRepeatedUInt32(msg, f, index) : r->GetUInt32(msg, f);
        case FieldDescriptor::CPPTYPE_UINT64: {
            uint64_t v = rep ? r->GetRepeatedUInt64(msg, f, index) : r->GetUInt64(msg, f);
            if (IsMacField(f))
                return MacText(v);
            return v;
        }
        case FieldDescriptor::CPPTYPE_DOUBLE:
            return rep ? r->GetRepeatedDouble(msg, f, index) : r->GetDouble(msg, f);
        case FieldDescriptor::CPPTYPE_FLOAT:
            return rep ? r->GetRepeatedFloat(msg, f, index) : r->GetFloat(msg, f);
        case FieldDescriptor::CPPTYPE_BOOL:
            return rep ? r->GetRepeatedBool(msg, f, index) : r->GetBool(msg, f);
        case FieldDescriptor::CPPTYPE_ENUM: {
            const auto* v = rep ? r->GetRepeatedEnum(msg, f, index) : r->GetEnum(msg, f);
            return v != nullptr ? nlohmann::json(v->name()) : nlohmann::json(nullptr);
        }
        case FieldDescriptor::CPPTYPE_STRING: {
            std::string s = rep ? r->GetRepeatedString(msg, f, index) : r->GetString(msg, f);
            if (f->type() == FieldDescriptor::TYPE_BYTES)
                return HexJson(s)["hex"];
            return s;  // DumpText replaces invalid UTF-8
        }
        case FieldDescriptor::CPPTYPE_MESSAGE: {
            const Message& sub = rep ? r->GetRepeatedMessage(msg, f, index) : r->GetMessage(msg, f);
            return MessageJson(sub);
        }
    }
    return nullptr;
}

}  // namespace

nlohmann::json HexJson(std::string_view bytes) {
    return nlohmann::json{{"hex", HexText(bytes)}};
}

std::string DumpText(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json MessageJson(const Message& msg) {
    if (msg.GetDescriptor() == pb::UuidMsg::descriptor()) {
        const auto& u = static_cast<const pb::UuidMsg&>(msg);
        return ozy::cairndb::UuidText(u.left(), u.right());
    }
    if (msg.GetDescriptor() == pb::IpAddressMsg::descriptor()) {
        return IpJson(static_cast<const pb::IpAddressMsg&>(msg));
    }
    nlohmann::json out = nlohmann::json::object();
    const Reflection* r = msg.GetReflection();
    std::vector<const FieldDescriptor*> fields;
    r->ListFields(msg, &fields);
    for (const FieldDescriptor* f : fields) {
        if (f->is_repeated()) {
            nlohmann::json arr = nlohmann::json::array();
            int n = r->FieldSize(msg, f);
            for (int i = 0; i < n; ++i)
                arr.push_back(ScalarJson(msg, r, f, i));
            out[f->name()] = std::move(arr);
        } else {
            out[f->name()] = ScalarJson(msg, r, f, 0);
        }
    }
    return out;
}

nlohmann::json ParsedJson(const Message& prototype, std::string_view bytes) {
    std::unique_ptr<Message> m(prototype.New());
    if (!m->ParseFromArray(bytes.data(), static_cast<int>(bytes.size())))
        return HexJson(bytes);
    return MessageJson(*m);
}

nlohmann::json BodyJson(ObjectType type, std::string_view bytes) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    if (info == nullptr)
        return HexJson(bytes);
    return ParsedJson(*info->body, bytes);
}

nlohmann::json L2EntryJson(PropertyType property, std::string_view bytes) {
    switch (property) {
        case PropertyType::L2_VM_IP:
            return ParsedJson(pb::LogSwitchIpEntryMsg::default_instance(), bytes);
        case PropertyType::L2_VM_MAC:
            return ParsedJson(pb::LogSwitchMacEntryMsg::default_instance(), bytes);
        case PropertyType::L2_VTEP:
            return ParsedJson(pb::LogSwitchVtepEntryMsg::default_instance(), bytes);
        case PropertyType::L2_VTEP_GROUP_LABEL:
            return ParsedJson(pb::VtepLabelMsg::default_instance(), bytes);
        case PropertyType::L2_VTEP_GROUP:
            return ParsedJson(pb::VtepGroupMsg::default_instance(), bytes);
        default:
            return HexJson(bytes);
    }
}

nlohmann::json L3ValueJson(ObjectType type, PropertyType property, std::string_view bytes) {
    switch (property) {
        case PropertyType::INVALID_PROPERTY:
            return BodyJson(type, bytes);
        case PropertyType::L3_FIB_ROUTER_ID:
        case PropertyType::L3_ARP_ROUTER_PORT_ID:
            return ParsedJson(pb::UuidMsg::default_instance(), bytes);
        case PropertyType::L3_FIB_IP_PREFIX:
            return ParsedJson(pb::IpPrefixMsg::default_instance(), bytes);
        case PropertyType::L3_FIB_NEXT_HOP:
            return ParsedJson(pb::FibNextHopMsg::default_instance(), bytes);
        case PropertyType::L3_ARP_ENTRY:
            return ParsedJson(pb::ArpEntryMsg::default_instance(), bytes);
        case PropertyType::L3_DAD_STATUS:
            return ParsedJson(pb::DadStatusEntryMsg::default_instance(), bytes);
        case PropertyType::L3_DAD_REQ:
            return ParsedJson(pb::DadRequestEntryMsg::default_instance(), bytes);
        default:
            return HexJson(bytes);
    }
}

std::string TypeName(ObjectType type) {
    const char* n = ObjectTypeName(static_cast<uint32_t>(type));
    return n != nullptr ? n : std::to_string(static_cast<uint32_t>(type));
}

std::string PropertyName(PropertyType property) {
    return PropertyTypeToString(static_cast<uint32_t>(property));
}

}  // namespace CfgAgent::sc
