#pragma once
// Fakes of the two links a dataplane service talks through: a kernel link that keeps what is
// sent, and an operations-agent link that keeps the registered handlers and what is sent (with a
// switch for "no operations agent connected").
#include <map>
#include <string>
#include <vector>

#include "cli/udslink/ICfgUdsLink.h"
#include "dataplane/DataplaneLink.h"
#include "proto/lcp.pb.h"

namespace CfgAgent::test {

class FakeDpLink : public DataplaneLink {
  public:
    bool Start() override { return true; }
    void Stop() override {}
    void ScheduleReopen() override {}
    bool Send(DpMsg msg) override {
        sent.push_back(std::move(msg));
        return true;
    }
    std::vector<DpMsg> sent;
};

class FakeOpsLink : public ICfgUdsLink {
  public:
    bool RegisterHandler(const std::string& type, Handler h) override {
        handlers[type] = std::move(h);
        return true;
    }
    bool AddStatusObserver(StatusObserver) override { return true; }
    bool Send(const orvane::ozy::lcp::LcpDpMsg& m) override {
        if (!connected)
            return false;
        sent.push_back(m);
        return true;
    }
    bool SendPayload(const google::protobuf::Message& payload) override {
        orvane::ozy::lcp::LcpDpMsg m;
        m.mutable_payload()->PackFrom(payload);
        return Send(m);
    }
    // Hands `payload` to the handler of its type, as the link does.
    void Deliver(const google::protobuf::Message& payload) {
        orvane::ozy::lcp::LcpDpMsg m;
        m.mutable_payload()->PackFrom(payload);
        handlers.at(payload.GetDescriptor()->full_name())(m);
    }
    template <typename T>
    std::vector<T> Sent() const {
        std::vector<T> out;
        for (const auto& m : sent) {
            T t;
            if (m.payload().UnpackTo(&t))
                out.push_back(t);
        }
        return out;
    }
    std::map<std::string, Handler> handlers;
    std::vector<orvane::ozy::lcp::LcpDpMsg> sent;
    bool connected = true;
};

}  // namespace CfgAgent::test
