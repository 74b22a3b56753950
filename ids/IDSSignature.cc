#include "ids/IDSSignature.h"

#include <nlohmann/json.hpp>

#include "ids/IdsLog.h"

namespace CfgAgent {

bool IDSSignature::SidOf(std::string_view rule, uint64_t* sid) {
    for (size_t pos = rule.find("sid:"); pos != std::string_view::npos;
         pos = rule.find("sid:", pos + 4)) {
        // The option itself: at the start, or after ';', '(' or a space (not "gid:"-like words).
        char before = pos == 0 ? ' ' : rule[pos - 1];
        if (before != ' ' && before != ';' && before != '(' && before != '\t') {
            continue;
        }
        size_t d = pos + 4;
        while (d < rule.size() && rule[d] == ' ') {
            ++d;
        }
        uint64_t v = 0;
        size_t digits = 0;
        for (; d < rule.size() && rule[d] >= '0' && rule[d] <= '9'; ++d, ++digits) {
            if (digits == 19) {
                return false;
            }
            v = v * 10 + static_cast<uint64_t>(rule[d] - '0');
        }
        if (digits == 0) {
            return false;
        }
        *sid = v;
        return true;
    }
    return false;
}

bool IDSSignature::ParseSignatureJSON(std::string_view json) {
    const char* fn = "ParseSignatureJSON";
    auto list = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (list.is_discarded() || !list.is_array()) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB",
                       "ids: IDSSignature::Invalid JSON signature list received");
        return false;
    }
    IDS_INFO("ids: IDSSignature::%1: Total sigs in input json str: %2", fn, list.size());
    for (const auto& entry : list) {
        const nlohmann::json* text = nullptr;
        if (entry.is_object()) {
            auto it = entry.find("signature");
            if (it != entry.end() && it->is_string()) {
                text = &*it;
            }
        }
        uint64_t sid = 0;
        if (text == nullptr || !SidOf(text->get_ref<const std::string&>(), &sid)) {
            IDS_WARN("ids: IDSSignature::%1: Unable to parse sign: %2", fn,
                     entry.dump().substr(0, 200));
            continue;
        }
        const std::string& rule = text->get_ref<const std::string&>();
        size_t first = rule.find_first_not_of(" \t");
        if (first != std::string::npos && rule[first] == '#') {
            ++commentedOut_;
        }
        signatures_[sid] = rule;
    }
    IDS_INFO(
        "ids: IDSSignature::%1: New signature data stored successfully, total sign count: %2, "
        "total commented out sigs: %3",
        fn, signatures_.size(), commentedOut_);
    return true;
}

}  // namespace CfgAgent
