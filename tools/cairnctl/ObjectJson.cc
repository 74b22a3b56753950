#include "tools/cairnctl/ObjectJson.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>

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

// Replaces UUID texts by UuidMsg JSON, recursively.
bool Expand(json& obj, const Descriptor* d, std::string* error) {
    if (!obj.is_object()) {
        return true;  // the protobuf parser reports the type error
    }
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const FieldDescriptor* f = FindField(d, it.key());
        if (f == nullptr || f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
            continue;
        }
        bool uuid = f->message_type() == pb::UuidMsg::descriptor();
        auto one = [&](json& v) {
            return uuid ? UuidTextToJson(v, error) : Expand(v, f->message_type(), error);
        };
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
        if (f == nullptr || f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
            continue;
        }
        bool uuid = f->message_type() == pb::UuidMsg::descriptor();
        auto one = [&](json& v) {
            if (uuid) {
                v = ozy::cairndb::UuidText(Half(v, "left"), Half(v, "right"));
            } else {
                Collapse(v, f->message_type());
            }
        };
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
