#pragma once
// The host firewall's ruleset for IPFIX collectors: the UDP destination ports the host may send
// flow records to. Apply() writes "/etc/orvane/firewall/ipfixRuleset.xml" (under the host root)
// with one rule per port and has the host's firewall enable and refresh it through `hostcli`;
// an empty set disables the ruleset instead and then removes its file (a ruleset file on disk
// always means ports the firewall was asked to open). Every failure is logged with LCP01601.
//
// The file is written beside its final name and renamed over it, so the host firewall never reads
// half a ruleset. `hostcli` runs through the host command runner (no shell, output discarded, a
// time limit). Apply blocks: call it from a loop of its own, never under the global agent lock.
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/host/HostCommand.h"

namespace CfgAgent {

class IpfixFirewall {
  public:
    using Runner = std::function<ozy::host::HostCommandResult(
        const std::string& program, const std::vector<std::string>& args,
        const ozy::host::HostCommandOptions& options)>;

    static constexpr const char* kRulesetPath = "/etc/orvane/firewall/ipfixRuleset.xml";
    static constexpr const char* kHostcli = "/bin/hostcli";

    struct Options {
        Runner run;  // default: ozy::host::RunHostCommand
        std::chrono::milliseconds timeout{10000};
    };

    explicit IpfixFirewall(Options options);

    // True when the ruleset now holds `ports` (enabled), or is disabled and its file gone for an
    // empty set.
    bool Apply(const std::set<uint16_t>& ports);

    // Whether a ruleset file is on disk (one left by an earlier run, at start).
    static bool RulesetPresent();

    // The ruleset file's contents for `ports`.
    static std::string RulesetXml(const std::set<uint16_t>& ports);

  private:
    bool SetIpfixFirewall(const std::set<uint16_t>& ports);
    bool EnableIpfixFirewall();
    bool DisableIpfixFirewall();
    bool RemoveRuleset();
    bool Hostcli(const std::vector<std::string>& args);

    Options options_;
};

}  // namespace CfgAgent
