#pragma once
// A family handler's link channel for tests (what the handler sends, kept per connection) and a
// command table that keeps the registered commands for the test to run.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dataplane/DpFraming.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu::test {

class RecordingChannel : public LinkChannel {
  public:
    RecordingChannel(std::string endpoint, std::set<uint64_t> connections)
        : name(std::move(endpoint)), conns(std::move(connections)) {}

    const std::string& Endpoint() const override { return name; }
    bool Send(uint64_t conn, const CfgAgent::DpMsg& msg) override {
        sent[conn].push_back(msg);
        return true;
    }
    bool Drop(uint64_t conn) override { return conns.erase(conn) > 0; }
    std::vector<uint64_t> Connections() const override {
        return std::vector<uint64_t>(conns.begin(), conns.end());
    }

    std::string name;
    std::set<uint64_t> conns;
    std::map<uint64_t, std::vector<CfgAgent::DpMsg>> sent;
};

class CommandRecorder : public CommandTable {
  public:
    void Add(const std::string& name, const std::string&, int, int, CommandFn fn) override {
        fns[name] = std::move(fn);
    }
    CommandResult Run(const std::string& name, std::vector<std::string> args) {
        return fns.at(name)(args);
    }
    std::map<std::string, CommandFn> fns;
};

}  // namespace ozy::dpemu::test
