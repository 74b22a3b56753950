#include "tests/support/EmuClient.h"

namespace CfgAgent::test {

bool EmuClient::Call(const std::string& method, const std::vector<std::string>& args,
                     std::string* out) {
    if (!client_.connected() && client_.Connect(socket_) != 0)
        return false;
    ozy::unixctl::Reply reply;
    if (client_.Transact(method, args, &reply, 60000) != 0 || !reply.success)
        return false;
    if (out != nullptr)
        *out = reply.text;
    return true;
}

nlohmann::json EmuClient::Json(const std::string& method, const std::vector<std::string>& args) {
    std::string text;
    if (!Call(method, args, &text))
        return nullptr;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    return j.is_discarded() ? nlohmann::json(nullptr) : j;
}

}  // namespace CfgAgent::test
