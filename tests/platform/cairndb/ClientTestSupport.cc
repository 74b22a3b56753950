#include "tests/platform/cairndb/ClientTestSupport.h"

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "proto/UuidText.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {

IoThreads::IoThreads(int n) : guard_(io_.get_executor()) {
    for (int i = 0; i < n; ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

IoThreads::~IoThreads() {
    guard_.reset();
    io_.stop();
    for (auto& t : threads_)
        t.join();
}

void Recorder::Enter() {
    int now = ++inside_;
    int prev = maxConcurrent_.load();
    while (now > prev && !maxConcurrent_.compare_exchange_weak(prev, now)) {
    }
    // Give a second callback a chance to overlap if the library let it.
    std::this_thread::yield();
}

void Recorder::Leave() {
    --inside_;
}

ozy::cairndb::MonitorUpdateCallback Recorder::UpdateCb() {
    return [this](const pb::MonitorUpdateMsg& u) {
        Enter();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({MonitorEvent::kUpdate, u, false});
        }
        Leave();
    };
}

ozy::cairndb::MonitorBarrierCallback Recorder::BarrierCb() {
    return [this] {
        Enter();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({MonitorEvent::kBarrier, {}, false});
        }
        Leave();
    };
}

ozy::cairndb::ChannelStatusCallback Recorder::StatusCb() {
    return [this](bool up) {
        Enter();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({MonitorEvent::kStatus, {}, up});
        }
        Leave();
    };
}

std::vector<MonitorEvent> Recorder::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t Recorder::Barriers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : events_)
        n += e.kind == MonitorEvent::kBarrier;
    return n;
}

bool Recorder::WaitBarriers(size_t n) const {
    return AwaitTrue([&] { return Barriers() >= n; });
}

bool Recorder::WaitStatus(bool up, size_t occurrences) const {
    return AwaitTrue([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& e : events_)
            n += e.kind == MonitorEvent::kStatus && e.up == up;
        return n >= occurrences;
    });
}

std::vector<pb::MonitorUpdateMsg> Recorder::UpdatesOfTransaction(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<pb::MonitorUpdateMsg> out;
    size_t barrier = 0;
    for (const auto& e : events_) {
        if (e.kind == MonitorEvent::kBarrier) {
            if (barrier == index)
                return out;
            ++barrier;
            out.clear();
        } else if (e.kind == MonitorEvent::kUpdate && barrier == index) {
            out.push_back(e.update);
        }
    }
    return out;
}

size_t Recorder::UpdatesAfterLastBarrier() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : events_) {
        if (e.kind == MonitorEvent::kBarrier)
            n = 0;
        if (e.kind == MonitorEvent::kUpdate)
            ++n;
    }
    return n;
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg id;
    id.set_left(0x1111222233334444ull);
    id.set_right(n);
    return id;
}

std::string UuidTextOf(const pb::UuidMsg& id) {
    return ozy::cairndb::UuidText(id.left(), id.right());
}

std::string OidOf(const google::protobuf::Message& body) {
    const auto* f = body.GetDescriptor()->FindFieldByName("id");
    if (f == nullptr || !body.GetReflection()->HasField(body, f))
        return std::string();
    return UuidTextOf(static_cast<const pb::UuidMsg&>(body.GetReflection()->GetMessage(body, f)));
}

pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni) {
    pb::LogSwitchConfigMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_vni(vni);
    m.set_switch_name("ls-" + std::to_string(n));
    return m;
}

pb::LogSwitchFibMsg SwitchFib(uint64_t n, const std::vector<uint64_t>& macs) {
    pb::LogSwitchFibMsg m;
    *m.mutable_id() = Uuid(n);
    for (uint64_t mac : macs) {
        auto* e = m.add_mac_entries();
        e->set_mac(mac);
        e->mutable_vtep_ip()->set_ipv4(0x0a000001);
    }
    return m;
}

pb::ModifyRequestMsg Put(const google::protobuf::Message& body, int type, uint32_t vdb) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_put()->mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
    body.SerializeToString(r.mutable_put()->mutable_object()->mutable_body());
    return r;
}

pb::ModifyRequestMsg Delete(int type, const pb::UuidMsg& id, uint32_t vdb) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_delete_()->set_object_type(static_cast<pb::ObjectType>(type));
    *r.mutable_delete_()->mutable_id() = id;
    return r;
}

pb::ModifyRequestMsg Flush(int type, uint32_t vdb) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_flush()->set_object_type(static_cast<pb::ObjectType>(type));
    return r;
}

pb::ModifyRequestMsg Patch(int type, const pb::UuidMsg& id, const google::protobuf::Message& op,
                           const google::protobuf::Message& partial, uint32_t vdb) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    auto* p = r.mutable_patch();
    p->set_object_type(static_cast<pb::ObjectType>(type));
    *p->mutable_id() = id;
    op.SerializeToString(p->mutable_op());
    partial.SerializeToString(p->mutable_body());
    return r;
}

pb::LogSwitchStateMsg LearnedMacsRow(uint64_t firstMac, int macs, uint64_t id) {
    pb::LogSwitchStateMsg row;
    *row.mutable_id() = Uuid(id);
    for (int i = 0; i < macs; ++i) {
        pb::LogSwitchMacEntryMsg* e = row.add_mac_entries();
        e->set_mac(firstMac + uint64_t(i));
        e->mutable_vtep_ip()->set_ipv4(0x0a000001u);
    }
    return row;
}

pb::ModifyRequestMsg AppendLearnedMacs(uint64_t firstMac, int macs, uint64_t id) {
    pb::LogSwitchStateOpMsg op;
    op.mutable_mac_entries()->set_op(pb::APPEND);
    return Patch(pb::LOG_SWITCH_STATE, Uuid(id), op, LearnedMacsRow(firstMac, macs, id));
}

std::vector<std::string> Kinds(const nlohmann::json& ops) {
    std::vector<std::string> k;
    for (const auto& o : ops)
        k.push_back(o["op"]);
    return k;
}

pb::MonitorStatementMsg Statement(int type) {
    pb::MonitorStatementMsg s;
    s.mutable_statement()->set_object_type(static_cast<pb::ObjectType>(type));
    return s;
}

std::string InsertOp(const std::string& table, const google::protobuf::Message& body,
                     uint32_t vdb) {
    const auto* idField = body.GetDescriptor()->FindFieldByName("id");
    const auto& id =
        static_cast<const pb::UuidMsg&>(body.GetReflection()->GetMessage(body, idField));
    nlohmann::json op = {{"op", "insert"},
                         {"table", table},
                         {"row",
                          {{"oid", UuidTextOf(id)},
                           {"vdb", vdb},
                           {"body", ozy::cairndb::Base64Encode(body.SerializeAsString())}}}};
    return op.dump();
}

}  // namespace CfgAgent::test
