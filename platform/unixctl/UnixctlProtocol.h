#pragma once
// The JSON-RPC 1.0 messages of the unixctl protocol, as ovs-appctl writes and reads them:
//   request {"method": "name", "params": ["arg", ...], "id": any non-null value}
//   reply   {"error": null or "text", "id": same id, "result": "text" or null}
// Parsing works on one framed message (MessageFramer) and never throws; the id travels as its
// JSON text so that replies echo it exactly.
#include <string>
#include <vector>

namespace ozy::jsonrpc {
class MessageFramer;
}

namespace ozy::unixctl {

using ::ozy::jsonrpc::MessageFramer;

struct Request {
    std::string method;
    std::vector<std::string> args;  // the string params, in order
    size_t paramCount = 0;          // all params, strings or not
    bool nonStringParam = false;
    std::string idJson;
};

// Fills `*request` from one message; false with a reason in `*error` when the message is not a
// request (malformed JSON, no string method, params not an array, no id).
bool ParseRequest(const std::string& text, Request* request, std::string* error);

// A reply carrying `body` as result (success) or as error. Invalid UTF-8 in the body is replaced.
std::string FormatReply(const std::string& idJson, bool success, const std::string& body);

std::string FormatRequest(const std::string& method, const std::vector<std::string>& args,
                          unsigned long id);

struct Reply {
    bool success = false;
    std::string text;  // result or error text
    std::string idJson;
};

// Fills `*reply` from one message; false with a reason when it is not a reply with a string
// result or a string error.
bool ParseReply(const std::string& text, Reply* reply, std::string* error);

}  // namespace ozy::unixctl
