#pragma once
// The per-filter configuration handed to FW_EvaluateConfigFile: an ordered list of commands,
// applied by the device whole or not at all. The agent fills it in this order: create address
// sets, create containers, destroy rule sets, create rule sets ("mainrs", "mainrs_L2"), set the
// root rule sets, destroy address sets; IP-reputation chunks are created and destroyed on the
// shared filter. Names are checked here (CTarpFWException): rule sets up to 64 characters, address
// sets and containers up to 36, never cut.
//
// The list holds shared references to the objects it names; FW_EvaluateConfigFile renders the
// "configuration file" (the bytes it sends) inside the list and FW_FreeConfigFile releases both.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWIpRepChunk.h"
#include "platform/tarp/CTarpFWSegment.h"

namespace TarpFirewall {

class CTarpFWCmdList {
  public:
    enum class Op : uint8_t {
        kCreateAddrSet = 1,
        kCreateContainer = 2,
        kDestroyRuleSet = 3,
        kCreateRuleSet = 4,
        kSetRootRuleSets = 5,
        kDestroyAddrSet = 6,
        kCreateIpRepChunk = 7,
        kDestroyIpRepChunk = 8,
    };
    struct Command {
        Op op;
        std::string name;
        std::shared_ptr<const CTarpFWAddrSet> addrSet;
        std::shared_ptr<const CTarpFWContainer> container;
        std::vector<std::shared_ptr<const CTarpFWSegment>> segments;
        std::vector<std::string> roots;
        std::shared_ptr<const CTarpFWIpRepChunk> chunk;
        uint32_t chunkId = 0;
    };

    CTarpFWCmdList() = default;
    CTarpFWCmdList(const CTarpFWCmdList&) = delete;
    CTarpFWCmdList& operator=(const CTarpFWCmdList&) = delete;

    void addCreateAddrSet(std::shared_ptr<const CTarpFWAddrSet> set);
    void addCreateContainer(std::shared_ptr<const CTarpFWContainer> container);
    void addDestroyRuleSet(const std::string& name);
    void addCreateRuleSet(const std::string& name,
                          std::vector<std::shared_ptr<const CTarpFWSegment>> segments);
    // At most two roots (layer 3 and layer 2); none leaves the filter with no rules.
    void addSetRootRuleSets(std::vector<std::string> names);
    void addDestroyAddrSet(const std::string& name);
    // Refuses a chunk with more entries than its capacity.
    void addCreateIpRepChunk(std::shared_ptr<const CTarpFWIpRepChunk> chunk);
    void addDestroyIpRepChunk(uint32_t id);

    const std::vector<Command>& commands() const { return commands_; }
    bool empty() const { return commands_.empty(); }
    // The rendered configuration of the last FW_EvaluateConfigFile (empty before and after
    // FW_FreeConfigFile).
    const std::vector<uint8_t>& configFile() const { return configFile_; }
    std::vector<uint8_t>& mutableConfigFile() { return configFile_; }
    void clear();

  private:
    std::vector<Command> commands_;
    std::vector<uint8_t> configFile_;
};

}  // namespace TarpFirewall
