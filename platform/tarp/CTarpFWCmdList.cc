#include "platform/tarp/CTarpFWCmdList.h"

#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

namespace {
constexpr size_t kMaxSegmentsPerRuleSet = 1u << 20;
}

void CTarpFWCmdList::addCreateAddrSet(std::shared_ptr<const CTarpFWAddrSet> set) {
    if (!set)
        detail::Refuse("no address set");
    Command c{Op::kCreateAddrSet, set->name(), std::move(set), {}, {}, {}, {}, 0};
    commands_.push_back(std::move(c));
}

void CTarpFWCmdList::addCreateContainer(std::shared_ptr<const CTarpFWContainer> container) {
    if (!container)
        detail::Refuse("no container");
    Command c{Op::kCreateContainer, container->name(), {}, std::move(container), {}, {}, {}, 0};
    commands_.push_back(std::move(c));
}

void CTarpFWCmdList::addDestroyRuleSet(const std::string& name) {
    detail::CheckName(name, ozy::tarp::kMaxRuleSetName, "rule set");
    commands_.push_back(Command{Op::kDestroyRuleSet, name, {}, {}, {}, {}, {}, 0});
}

void CTarpFWCmdList::addCreateRuleSet(const std::string& name,
                                      std::vector<std::shared_ptr<const CTarpFWSegment>> segments) {
    detail::CheckName(name, ozy::tarp::kMaxRuleSetName, "rule set");
    if (segments.size() > kMaxSegmentsPerRuleSet)
        detail::Refuse("rule set " + name + " has too many segments");
    for (const auto& s : segments) {
        if (!s)
            detail::Refuse("rule set " + name + " has a null segment");
    }
    commands_.push_back(Command{Op::kCreateRuleSet, name, {}, {}, std::move(segments), {}, {}, 0});
}

void CTarpFWCmdList::addSetRootRuleSets(std::vector<std::string> names) {
    if (names.size() > 2)
        detail::Refuse("more than two root rule sets");
    for (const auto& n : names)
        detail::CheckName(n, ozy::tarp::kMaxRuleSetName, "rule set");
    commands_.push_back(Command{Op::kSetRootRuleSets, {}, {}, {}, {}, std::move(names), {}, 0});
}

void CTarpFWCmdList::addDestroyAddrSet(const std::string& name) {
    detail::CheckName(name, ozy::tarp::kMaxContainerName, "address set");
    commands_.push_back(Command{Op::kDestroyAddrSet, name, {}, {}, {}, {}, {}, 0});
}

void CTarpFWCmdList::addCreateIpRepChunk(std::shared_ptr<const CTarpFWIpRepChunk> chunk) {
    if (!chunk)
        detail::Refuse("no IP-reputation chunk");
    if (chunk->entries.size() > chunk->capacity)
        detail::Refuse("IP-reputation chunk " + std::to_string(chunk->id) + " holds " +
                       std::to_string(chunk->entries.size()) + " entries, capacity " +
                       std::to_string(chunk->capacity));
    uint32_t id = chunk->id;
    commands_.push_back(Command{Op::kCreateIpRepChunk, {}, {}, {}, {}, {}, std::move(chunk), id});
}

void CTarpFWCmdList::addDestroyIpRepChunk(uint32_t id) {
    commands_.push_back(Command{Op::kDestroyIpRepChunk, {}, {}, {}, {}, {}, {}, id});
}

void CTarpFWCmdList::clear() {
    commands_.clear();
    commands_.shrink_to_fit();
    configFile_.clear();
    configFile_.shrink_to_fit();
}

}  // namespace TarpFirewall
