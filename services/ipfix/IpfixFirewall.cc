#include "services/ipfix/IpfixFirewall.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/HostRoot.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

// Creates the directories above `path` (like mkdir -p of its dirname); 0 or an errno.
int MakeParents(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

// Writes `text` to `path` through a temporary file renamed over it; "" or what failed.
std::string WriteReplacing(const std::string& path, const std::string& text) {
    if (int rc = MakeParents(path); rc != 0)
        return std::string("cannot create its directory: ") + std::strerror(rc);
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr)
        return std::strerror(errno);
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int flushError = std::fflush(f) == 0 && ::fsync(fileno(f)) == 0 ? 0 : errno;
    if (std::fclose(f) != 0 && flushError == 0)
        flushError = errno;
    if (!written || flushError != 0) {
        std::string why = std::strerror(flushError != 0 ? flushError : EIO);
        std::remove(tmp.c_str());
        return why;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string why = std::strerror(errno);
        std::remove(tmp.c_str());
        return why;
    }
    return std::string();
}

}  // namespace

IpfixFirewall::IpfixFirewall(Options options) : options_(std::move(options)) {
    if (!options_.run)
        options_.run = ozy::host::RunHostCommand;
}

std::string IpfixFirewall::RulesetXml(const std::set<uint16_t>& ports) {
    std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    x += "<ConfigRoot>\n  <service id=\"0301\">\n";
    x += "    <id>ipfix</id>\n    <enabled>false</enabled>\n    <required>false</required>\n";
    unsigned index = 0;
    for (uint16_t port : ports) {
        char id[8];
        std::snprintf(id, sizeof id, "%04u", index++);
        x += "    <rule id=\"";
        x += id;
        x += "\">\n      <direction>outbound</direction>\n      <protocol>udp</protocol>\n";
        x += "      <porttype>dst</porttype>\n      <port>" + std::to_string(port) + "</port>\n";
        x += "    </rule>\n";
    }
    x += "  </service>\n</ConfigRoot>\n";
    return x;
}

bool IpfixFirewall::Apply(const std::set<uint16_t>& ports) {
    CFG_INFO("UpdateIpfixFireWall: collecter ports changed");
    if (ports.empty())
        return DisableIpfixFirewall() && RemoveRuleset();
    return SetIpfixFirewall(ports) && EnableIpfixFirewall();
}

bool IpfixFirewall::RulesetPresent() {
    struct stat st;
    return ::stat(ozy::hostPath(kRulesetPath).c_str(), &st) == 0;
}

bool IpfixFirewall::RemoveRuleset() {
    if (std::remove(ozy::hostPath(kRulesetPath).c_str()) != 0 && errno != ENOENT) {
        CFG_ERROR_CODE("LCP01601",
                       "DisableIpfixFirewall: Failed to remove ipfix firewall rule file %1: %2",
                       kRulesetPath, std::strerror(errno));
        return false;
    }
    CFG_INFO("DisableIpfixFirewall: Removed ipfix firewall rule file %1", kRulesetPath);
    return true;
}

bool IpfixFirewall::SetIpfixFirewall(const std::set<uint16_t>& ports) {
    std::string why = WriteReplacing(ozy::hostPath(kRulesetPath), RulesetXml(ports));
    if (!why.empty()) {
        CFG_ERROR_CODE("LCP01601",
                       "SetIpfixFirewall: Failed to write ipfix firewall rule to file %1: %2",
                       kRulesetPath, why);
        return false;
    }
    CFG_INFO("SetIpfixFirewall: Write ipfix firewall rule to file %1", kRulesetPath);
    return true;
}

bool IpfixFirewall::EnableIpfixFirewall() {
    if (!Hostcli({"network", "firewall", "ruleset", "set", "-e", "1", "-r", "ipfix"})) {
        CFG_ERROR_CODE("LCP01601", "EnableIpfixFirewall: Failed to enable ipfix firewall config");
        return false;
    }
    CFG_INFO("EnableIpfixFirewall: Enabled firewall rules for ipfix");
    if (!Hostcli({"network", "firewall", "refresh"})) {
        CFG_ERROR_CODE("LCP01601", "EnableIpfixFirewall: Failed to refresh ipfix firewall config");
        return false;
    }
    CFG_INFO("EnableIpfixFirewall: Refreshed firewall rules for ipfix");
    return true;
}

bool IpfixFirewall::DisableIpfixFirewall() {
    if (!Hostcli({"network", "firewall", "ruleset", "set", "-e", "0", "-r", "ipfix"})) {
        CFG_ERROR_CODE("LCP01601", "DisableIpfixFirewall: Failed to disable ipfix firewall config");
        return false;
    }
    CFG_INFO("DisableIpfixFirewall: Disabled firewall rules for ipfix");
    return true;
}

bool IpfixFirewall::Hostcli(const std::vector<std::string>& args) {
    ozy::host::HostCommandOptions o;
    o.timeout = options_.timeout;
    o.maxOutput = 0;  // the output is discarded
    ozy::host::HostCommandResult r = options_.run(kHostcli, args, o);
    if (!r.ok()) {
        std::string line = kHostcli;
        for (const std::string& a : args)
            line += " " + a;
        CFG_WARN("IpfixFirewall: %1: %2", line, ozy::host::DescribeOutcome(r, o));
    }
    return r.ok();
}

}  // namespace CfgAgent
