#pragma once
// Fakes of the two links a dataplane service talks through: a kernel link that keeps what is
// sent, and an operations-agent link that keeps the registered handlers and what is sent (with a
// switch for "no operations agent connected"); and the configuration records a service's state
// cache lookups read.
#include <map>
#include <string>
#include <vector>

#include "cli/udslink/ICfgUdsLink.h"
#include "dataplane/DataplaneLink.h"
#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_types.pb.h"
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

inline orvane::ozy::cairndb::UuidMsg Uuid(uint64_t left, uint64_t right) {
    orvane::ozy::cairndb::UuidMsg u;
    u.set_left(left);
    u.set_right(right);
    return u;
}

// A whole-object record and one record per property the queries read, as the decoder files them.
inline void AddObject(CairnDBUpdateList* out, ObjectType type,
                      const orvane::ozy::cairndb::UuidMsg& id,
                      const google::protobuf::Message& body, std::vector<PropertyType> props) {
    props.insert(props.begin(), PropertyType::INVALID_PROPERTY);
    for (PropertyType p : props) {
        CairnDBUpdateMsg u;
        u.objType = type;
        u.id = id.SerializeAsString();
        u.property = p;
        u.data = body.SerializeAsString();
        out->push_back(u);
    }
}

}  // namespace CfgAgent::test
