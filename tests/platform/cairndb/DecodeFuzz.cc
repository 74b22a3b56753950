// Fuzz target for the client's decoding of server bytes: stream splitting, JSON parsing, monitor
// notifications and initial contents (row decoding, base64, protobuf bodies, op derivation), a
// monitor reply collected as it is parsed, and the reading of rows for writes.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/cairndb/LibraryLog.h"
#include "platform/cairndb/MonitorReplica.h"
#include "platform/cairndb/MonitorReplyStream.h"
#include "platform/cairndb/WritePlan.h"
#include "platform/jsonrpc/MessageFramer.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_types.pb.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

ozy::cairndb::MonitorReplica& Replica(int which = 0) {
    static ozy::cairndb::MonitorReplica* replicas[2] = {nullptr, nullptr};
    ozy::cairndb::MonitorReplica*& r = replicas[which];
    if (r != nullptr)
        return *r;
    r = [] {
        ozy::cairndb::library_log_level = 0;
        auto* rep = new ozy::cairndb::MonitorReplica(1);
        std::map<int, ozy::cairndb::MonitorStatement> st;
        st[pb::LOG_SWITCH_CONFIG] = {pb::LOG_SWITCH_CONFIG, nullptr, false};
        auto tmpl = std::make_shared<pb::LogSwitchFibOpMsg>();
        tmpl->mutable_mac_entries()->set_op(pb::SELECT);
        st[pb::LOG_SWITCH_FIB] = {pb::LOG_SWITCH_FIB, tmpl, false};
        st[pb::FIB] = {pb::FIB, nullptr, false};
        rep->SetStatements(st);
        return rep;
    }();
    return *r;
}

// The same text as the reply to a monitor request, whatever its id.
void Collect(const std::string& text) {
    ozy::cairndb::MonitorReplyStream stream;
    ozy::cairndb::MonitorReplyStream* taker = nullptr;
    try {
        ozy::cairndb::MonitorReplyStream::ParseMessage(
            text, [&](const json&) { return &stream; }, &taker);
    } catch (const json::exception&) {
        return;
    }
    if (taker == nullptr)
        return;
    std::vector<pb::MonitorUpdateMsg> out;
    std::string error;
    auto& replica = Replica(1);
    replica.ApplyInitial(&stream, text.size() % 2 == 0, &out, &error);
    if (replica.RowCount() > 10000)
        replica.Clear();
}

void Decode(const json& msg) {
    std::vector<pb::MonitorUpdateMsg> out;
    std::string error;
    auto& replica = Replica();
    if (msg.is_object() && msg.contains("params") && msg["params"].is_array() &&
        msg["params"].size() == 2) {
        replica.ApplyUpdate(msg["params"][1], &out, &error);
    } else if (msg.is_object() && msg.contains("result")) {
        replica.ApplyInitial(msg["result"], out.size() % 2 == 0, &out, &error);
        ozy::cairndb::WritePlan plan;
        pb::ModifyRequestMsg put;
        put.set_vdb(1);
        put.mutable_flush()->set_object_type(pb::LOG_SWITCH_FIB);
        pb::ModifyRequestMsg patch;
        patch.set_vdb(1);
        patch.mutable_patch()->set_object_type(pb::LOG_SWITCH_FIB);
        pb::LogSwitchFibOpMsg op;
        op.mutable_mac_entries()->set_op(pb::APPEND);
        op.SerializeToString(patch.mutable_patch()->mutable_op());
        if (plan.Prepare({put, patch}, &error)) {
            json ops;
            plan.BuildWriteOps(msg["result"], &ops, &error);
        }
    }
    if (replica.RowCount() > 10000) {
        replica.Clear();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ozy::jsonrpc::MessageFramer framer(1 << 20);
    framer.Append(reinterpret_cast<const char*>(data), size);
    std::string text;
    while (framer.Next(&text) == ozy::jsonrpc::MessageFramer::Status::kMessage) {
        Collect(text);
        json msg = json::parse(text, nullptr, false);
        if (!msg.is_discarded()) {
            Decode(msg);
        }
    }
    return 0;
}
