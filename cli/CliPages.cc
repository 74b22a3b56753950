#include "cli/CliPages.h"

#include "runtime/Logger.h"

namespace CfgAgent {

void CliPages::Add(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
                   Handler handler, Mode mode) {
    if (pages_.count(name) != 0)
        CFG_WARN("CliPages: command %1 registered twice; the later registration answers", name);
    pages_[name] = Page{usage, minArgs, maxArgs, std::move(handler), mode};
}

void CliPages::AddOutOfSync(const std::string& vertical, std::function<void()> fn) {
    if (outOfSync_.count(vertical) != 0)
        CFG_WARN(
            "CliPages: out-of-sync vertical %1 registered twice; the later registration "
            "answers",
            vertical);
    outOfSync_[vertical] = std::move(fn);
}

const CliPages::Page* CliPages::Find(const std::string& name) const {
    auto it = pages_.find(name);
    return it == pages_.end() ? nullptr : &it->second;
}

const std::function<void()>* CliPages::FindOutOfSync(const std::string& vertical) const {
    auto it = outOfSync_.find(vertical);
    return it == outOfSync_.end() ? nullptr : &it->second;
}

}  // namespace CfgAgent
