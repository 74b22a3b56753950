#include "platform/unixctl/UnixctlProtocol.h"

#include <nlohmann/json.hpp>

namespace ozy::unixctl {
namespace {

using nlohmann::json;

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Parses one message into an object; false with a reason otherwise.
bool ParseObject(const std::string& text, json* out, std::string* error) {
    *out = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (out->is_discarded()) {
        *error = "malformed JSON";
        return false;
    }
    if (!out->is_object()) {
        *error = "message is not a JSON object";
        return false;
    }
    return true;
}

}  // namespace

bool ParseRequest(const std::string& text, Request* request, std::string* error) {
    json msg;
    if (!ParseObject(text, &msg, error)) {
        return false;
    }
    auto method = msg.find("method");
    if (method == msg.end() || !method->is_string()) {
        *error = "request without a string method";
        return false;
    }
    auto params = msg.find("params");
    if (params == msg.end() || !params->is_array()) {
        *error = "request params are not an array";
        return false;
    }
    auto id = msg.find("id");
    if (id == msg.end() || id->is_null()) {
        *error = "request without an id";
        return false;
    }
    Request r;
    r.method = method->get<std::string>();
    r.paramCount = params->size();
    for (const json& p : *params) {
        if (p.is_string()) {
            r.args.push_back(p.get<std::string>());
        } else {
            r.nonStringParam = true;
        }
    }
    r.idJson = Dump(*id);
    *request = std::move(r);
    return true;
}

std::string FormatReply(const std::string& idJson, bool success, const std::string& body) {
    std::string bodyJson = Dump(json(body));
    std::string out = "{\"error\":";
    out += success ? "null" : bodyJson;
    out += ",\"id\":";
    out += idJson;
    out += ",\"result\":";
    out += success ? bodyJson : "null";
    out += "}";
    return out;
}

std::string FormatRequest(const std::string& method, const std::vector<std::string>& args,
                          unsigned long id) {
    json msg = json::object();
    msg["id"] = id;
    msg["method"] = method;
    msg["params"] = args;
    return Dump(msg);
}

bool ParseReply(const std::string& text, Reply* reply, std::string* error) {
    json msg;
    if (!ParseObject(text, &msg, error)) {
        return false;
    }
    auto id = msg.find("id");
    auto result = msg.find("result");
    auto err = msg.find("error");
    bool hasResult = result != msg.end() && !result->is_null();
    bool hasError = err != msg.end() && !err->is_null();
    if (id == msg.end() || hasResult == hasError) {
        *error = "message is not a reply";
        return false;
    }
    const json& body = hasResult ? *result : *err;
    if (!body.is_string()) {
        *error = "reply body is not a string";
        return false;
    }
    reply->success = hasResult;
    reply->text = body.get<std::string>();
    reply->idJson = Dump(*id);
    return true;
}

}  // namespace ozy::unixctl
