// cairnctl: the tool for the cairndb configuration database (people, tests, benchmarks and the
// demo use it as the management plane).
//
//   cairnctl [--endpoint URL] [--vdb N] [--timeout SEC] [--verbose] COMMAND [ARGS]
//     init DBFILE          create a database file from the generated schema (ovsdb-tool create)
//     schema               print the database schema
//     apply FILE           write the objects of FILE ("-": standard input) as one transaction:
//                          {"vdb": 1, "LOG_SWITCH_CONFIG": [{"id": "<uuid>", "vni": 5001}], ...}
//                          (--vdb, when given, overrides the file's "vdb")
//     get TYPE [ID]        print the stored objects of a type (or one) in the same form
//     delete TYPE ID       delete one object
//     watch [TYPE...]      print every update and barrier as the agent receives them, one JSON
//                          object a line (--count N: stop after N barriers)
//     ping [TEXT]          echo round trip
//
// The endpoint is --endpoint, else OZY_CAIRNDB_ENDPOINT, else "tcp://127.0.0.1:2480".
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/cairndb/CairnDbClient.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "runtime/Logger.h"
#include "tools/cairnctl/ObjectJson.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;
using ozy::cairndb::CairnDbClient;
using ozy::cairndb::Status;

struct Options {
    std::string endpoint;
    uint16_t vdb = 1;
    bool vdbGiven = false;
    int timeoutSec = 5;
    long count = -1;
    bool verbose = false;
    std::vector<std::string> args;
};

int Fail(const std::string& text, int code = 1) {
    std::fprintf(stderr, "cairnctl: %s\n", text.c_str());
    return code;
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: cairnctl [--endpoint URL] [--vdb N] [--timeout SEC] [--count N] [--verbose] "
        "COMMAND\n"
        "  init DBFILE | schema | apply FILE | get TYPE [ID] | delete TYPE ID | watch [TYPE...] |\n"
        "  ping [TEXT]\n");
}

// A connected client on its own io thread.
class Session {
  public:
    explicit Session(const Options& opt)
        : guard_(io_.get_executor()),
          endpointText_(opt.endpoint),
          client_("cairnctl", ozy::net::Endpoint(opt.endpoint), io_, ClientOptions()) {
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Session() {
        client_.Stop();
        guard_.reset();
        io_.stop();
        thread_.join();
    }

    CairnDbClient& client() { return client_; }
    boost::asio::io_context& io() { return io_; }

    // Starts the client and waits for the channel; false (and a message) when it does not come up.
    bool Connect(int timeoutSec, std::function<void(bool)> onStatus = nullptr) {
        auto up = std::make_shared<std::promise<void>>();
        auto once = std::make_shared<std::once_flag>();
        client_.SetChannelStatusCallback([up, once, onStatus](bool isUp) {
            if (isUp)
                std::call_once(*once, [&] { up->set_value(); });
            if (onStatus)
                onStatus(isUp);
        });
        client_.StartAsync();
        if (up->get_future().wait_for(std::chrono::seconds(timeoutSec)) !=
            std::future_status::ready) {
            std::string why = client_.LastError();
            Fail("cannot reach cairndb at " + endpointText_ + (why.empty() ? "" : ": " + why));
            return false;
        }
        return true;
    }

    Status Write(std::vector<pb::ModifyRequestMsg> requests, int timeoutSec) {
        auto p = std::make_shared<std::promise<Status>>();
        auto f = p->get_future();
        client_.Write(std::move(requests), [p](const Status& s) { p->set_value(s); });
        if (f.wait_for(std::chrono::seconds(timeoutSec)) != std::future_status::ready) {
            return Status::Error("no answer from cairndb");
        }
        return f.get();
    }

    Status Get(int type, uint16_t vdb, std::optional<std::string> oid,
               std::vector<ozy::cairndb::StoredObject>* out, int timeoutSec) {
        auto p = std::make_shared<
            std::promise<std::pair<Status, std::vector<ozy::cairndb::StoredObject>>>>();
        auto f = p->get_future();
        client_.Get(type, vdb, std::move(oid),
                    [p](const Status& s, const std::vector<ozy::cairndb::StoredObject>& objs) {
                        p->set_value({s, objs});
                    });
        if (f.wait_for(std::chrono::seconds(timeoutSec)) != std::future_status::ready) {
            return Status::Error("no answer from cairndb");
        }
        auto r = f.get();
        *out = std::move(r.second);
        return r.first;
    }

  private:
    static ozy::cairndb::CairnDbClientOptions ClientOptions() {
        ozy::cairndb::CairnDbClientOptions o;
        o.reconnectMin = std::chrono::milliseconds(50);
        o.reconnectMax = std::chrono::milliseconds(500);
        return o;
    }

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::string endpointText_;
    CairnDbClient client_;
    std::thread thread_;
};

const ozy::cairndb::ObjectTypeInfo* TypeOrFail(const std::string& name) {
    const auto* info = ozy::cairndb::FindObjectType(name);
    if (info == nullptr) {
        Fail("unknown object type " + name);
    }
    return info;
}

bool ReadInput(const std::string& path, std::string* out) {
    std::ostringstream ss;
    if (path == "-") {
        ss << std::cin.rdbuf();
    } else {
        std::ifstream in(path);
        if (!in)
            return false;
        ss << in.rdbuf();
    }
    *out = ss.str();
    return true;
}

int CmdSchema() {
    std::cout << ozy::cairndb::CairndbSchemaJson();
    return 0;
}

int CmdInit(const Options& opt) {
    if (opt.args.size() != 2) {
        Usage();
        return 2;
    }
    const std::string& db = opt.args[1];
    if (access(db.c_str(), F_OK) == 0) {
        return Fail(db + " already exists");
    }
    std::string schema = db + ".ovsschema.tmp";
    {
        std::ofstream out(schema, std::ios::trunc);
        out << ozy::cairndb::CairndbSchemaJson();
        if (!out)
            return Fail("cannot write " + schema);
    }
    pid_t pid = fork();
    if (pid == 0) {
        execlp("ovsdb-tool", "ovsdb-tool", "create", db.c_str(), schema.c_str(),
               static_cast<char*>(nullptr));
        std::perror("cairnctl: ovsdb-tool");
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    unlink(schema.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return Fail("ovsdb-tool create " + db + " failed");
    }
    std::printf("created %s\n", db.c_str());
    return 0;
}

int CmdApply(const Options& opt) {
    if (opt.args.size() != 2) {
        Usage();
        return 2;
    }
    std::string text;
    if (!ReadInput(opt.args[1], &text)) {
        return Fail("cannot read " + opt.args[1]);
    }
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return Fail(opt.args[1] + ": not a JSON object");
    }
    uint32_t vdb = opt.vdb;
    // The file's "vdb" applies unless --vdb was given.
    if (doc.contains("vdb") && !opt.vdbGiven) {
        if (!doc["vdb"].is_number_unsigned() || doc["vdb"].get<uint64_t>() < 1 ||
            doc["vdb"].get<uint64_t>() > 65535) {
            return Fail("\"vdb\" must be an integer from 1 to 65535");
        }
        vdb = doc["vdb"].get<uint32_t>();
    } else if (doc.contains("vdb") && !doc["vdb"].is_number_unsigned()) {
        return Fail("\"vdb\" must be an integer from 1 to 65535");
    }
    std::vector<pb::ModifyRequestMsg> requests;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        if (it.key() == "vdb")
            continue;
        const auto* info = TypeOrFail(it.key());
        if (info == nullptr)
            return 1;
        if (!it.value().is_array()) {
            return Fail(it.key() + " must hold an array of objects");
        }
        for (size_t i = 0; i < it.value().size(); ++i) {
            std::unique_ptr<google::protobuf::Message> body(info->body->New());
            std::string error;
            if (!ozy::cairnctl::ObjectFromJson(it.value()[i], body.get(), &error)) {
                return Fail(it.key() + "[" + std::to_string(i) + "]: " + error);
            }
            const auto* idField = body->GetDescriptor()->FindFieldByName("id");
            if (!body->GetReflection()->HasField(*body, idField)) {
                return Fail(it.key() + "[" + std::to_string(i) + "]: no id");
            }
            pb::ModifyRequestMsg r;
            r.set_vdb(vdb);
            r.mutable_put()->mutable_object()->set_object_type(
                static_cast<pb::ObjectType>(info->type));
            body->SerializeToString(r.mutable_put()->mutable_object()->mutable_body());
            requests.push_back(std::move(r));
        }
    }
    Session s(opt);
    if (!s.Connect(opt.timeoutSec))
        return 1;
    size_t n = requests.size();
    Status st = s.Write(std::move(requests), opt.timeoutSec * 4);
    if (!st.ok) {
        return Fail("apply failed: " + st.error);
    }
    std::printf("applied %zu objects\n", n);
    return 0;
}

int CmdGet(const Options& opt) {
    if (opt.args.size() < 2 || opt.args.size() > 3) {
        Usage();
        return 2;
    }
    const auto* info = TypeOrFail(opt.args[1]);
    if (info == nullptr)
        return 1;
    std::optional<std::string> oid;
    if (opt.args.size() == 3) {
        uint64_t l = 0, r = 0;
        if (!ozy::cairndb::ParseUuidText(opt.args[2], &l, &r)) {
            return Fail("\"" + opt.args[2] + "\" is not a UUID");
        }
        oid = ozy::cairndb::UuidText(l, r);
    }
    Session s(opt);
    if (!s.Connect(opt.timeoutSec))
        return 1;
    std::vector<ozy::cairndb::StoredObject> objects;
    Status st = s.Get(info->type, opt.vdb, oid, &objects, opt.timeoutSec);
    if (!st.ok) {
        return Fail("get failed: " + st.error);
    }
    if (oid && objects.empty()) {
        return Fail("no " + info->name + " " + *oid + " in vdb " + std::to_string(opt.vdb));
    }
    json list = json::array();
    for (const auto& o : objects) {
        std::unique_ptr<google::protobuf::Message> body(info->body->New());
        if (!body->ParseFromString(o.body)) {
            std::fprintf(stderr, "cairnctl: stored %s %s does not parse, skipped\n",
                         info->name.c_str(), o.oid.c_str());
            continue;
        }
        list.push_back(ozy::cairnctl::ObjectToJson(*body));
    }
    json out = {{"vdb", opt.vdb}, {info->name, list}};
    std::cout << out.dump(2) << std::endl;
    return 0;
}

int CmdDelete(const Options& opt) {
    if (opt.args.size() != 3) {
        Usage();
        return 2;
    }
    const auto* info = TypeOrFail(opt.args[1]);
    if (info == nullptr)
        return 1;
    uint64_t l = 0, r = 0;
    if (!ozy::cairndb::ParseUuidText(opt.args[2], &l, &r)) {
        return Fail("\"" + opt.args[2] + "\" is not a UUID");
    }
    Session s(opt);
    if (!s.Connect(opt.timeoutSec))
        return 1;
    std::vector<ozy::cairndb::StoredObject> objects;
    Status st = s.Get(info->type, opt.vdb, ozy::cairndb::UuidText(l, r), &objects, opt.timeoutSec);
    if (!st.ok)
        return Fail("delete failed: " + st.error);
    if (objects.empty()) {
        return Fail("no " + info->name + " " + ozy::cairndb::UuidText(l, r) + " in vdb " +
                    std::to_string(opt.vdb));
    }
    pb::ModifyRequestMsg req;
    req.set_vdb(opt.vdb);
    req.mutable_delete_()->set_object_type(static_cast<pb::ObjectType>(info->type));
    req.mutable_delete_()->mutable_id()->set_left(l);
    req.mutable_delete_()->mutable_id()->set_right(r);
    st = s.Write({req}, opt.timeoutSec * 4);
    if (!st.ok)
        return Fail("delete failed: " + st.error);
    std::printf("deleted %s %s\n", info->name.c_str(), ozy::cairndb::UuidText(l, r).c_str());
    return 0;
}

json UpdateToJson(const pb::MonitorUpdateMsg& u) {
    const auto* info = ozy::cairndb::FindObjectType(u.object_type());
    json j = {{"type", info != nullptr ? info->name : std::to_string(u.object_type())},
              {"vdb", u.vdb()}};
    if (info == nullptr)
        return j;
    std::unique_ptr<google::protobuf::Message> op(info->op->New());
    if (op->ParseFromString(u.op_msg()))
        j["op"] = ozy::cairnctl::ObjectToJson(*op);
    std::unique_ptr<google::protobuf::Message> body(info->body->New());
    if (!u.object_body().empty() && body->ParseFromString(u.object_body())) {
        j["body"] = ozy::cairnctl::ObjectToJson(*body);
    }
    if (!u.old_object_body().empty() && body->ParseFromString(u.old_object_body())) {
        j["old_body"] = ozy::cairnctl::ObjectToJson(*body);
    }
    if (u.has_span_context())
        j["span"] = ozy::cairnctl::ObjectToJson(u.span_context());
    return j;
}

std::atomic<bool> g_interrupted{false};

int CmdWatch(const Options& opt) {
    std::vector<pb::MonitorStatementMsg> statements;
    for (size_t i = 1; i < opt.args.size(); ++i) {
        const auto* info = TypeOrFail(opt.args[i]);
        if (info == nullptr)
            return 1;
        pb::MonitorStatementMsg st;
        st.mutable_statement()->set_object_type(static_cast<pb::ObjectType>(info->type));
        statements.push_back(st);
    }
    if (statements.empty()) {
        for (const auto& info : ozy::cairndb::AllObjectTypes()) {
            pb::MonitorStatementMsg st;
            st.mutable_statement()->set_object_type(static_cast<pb::ObjectType>(info.type));
            statements.push_back(st);
        }
    }
    Session s(opt);
    std::mutex outMutex;
    auto print = [&](const json& j) {
        std::lock_guard<std::mutex> lock(outMutex);
        std::cout << j.dump() << std::endl;
    };
    std::atomic<long> barriers{0};
    std::promise<void> enough;
    std::once_flag once;
    auto& c = s.client();
    if (opt.vdb != 1)
        c.AddMonitorSession(opt.vdb);
    c.RegisterMonitorCallbacks(
        1, opt.vdb,
        [&](const pb::MonitorUpdateMsg& u) {
            print({{"update", UpdateToJson(u)}});
        },
        [&] {
            long n = ++barriers;
            print({{"barrier", n}});
            if (opt.count > 0 && n >= opt.count)
                std::call_once(once, [&] { enough.set_value(); });
        });
    if (!c.ConfigureMonitor(statements, {}, 1, opt.vdb)) {
        return Fail("cannot configure the monitor");
    }
    if (!s.Connect(opt.timeoutSec, [&](bool up) { print({{"status", up ? "up" : "down"}}); }))
        return 1;
    auto f = enough.get_future();
    while (!g_interrupted &&
           f.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    }
    c.Stop();
    return 0;
}

int CmdPing(const Options& opt) {
    std::string text = opt.args.size() > 1 ? opt.args[1] : "ping";
    Session s(opt);
    if (!s.Connect(opt.timeoutSec))
        return 1;
    auto p = std::make_shared<std::promise<std::pair<Status, std::string>>>();
    auto f = p->get_future();
    s.client().Echo(text, [p](const Status& st, const std::string& r) { p->set_value({st, r}); });
    if (f.wait_for(std::chrono::seconds(opt.timeoutSec)) != std::future_status::ready) {
        return Fail("no answer from cairndb");
    }
    auto r = f.get();
    if (!r.first.ok)
        return Fail("echo failed: " + r.first.error);
    std::printf("%s\n", r.second.c_str());
    return 0;
}

bool ParseArgs(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                Fail(std::string(name) + " needs a value");
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--endpoint") {
            const char* v = value("--endpoint");
            if (v == nullptr)
                return false;
            opt->endpoint = v;
        } else if (a == "--vdb") {
            const char* v = value("--vdb");
            if (v == nullptr)
                return false;
            long n = std::strtol(v, nullptr, 10);
            if (n < 1 || n > 65535) {
                Fail("--vdb must be from 1 to 65535");
                return false;
            }
            opt->vdb = static_cast<uint16_t>(n);
            opt->vdbGiven = true;
        } else if (a == "--timeout") {
            const char* v = value("--timeout");
            if (v == nullptr)
                return false;
            opt->timeoutSec = std::max(1, std::atoi(v));
        } else if (a == "--count") {
            const char* v = value("--count");
            if (v == nullptr)
                return false;
            opt->count = std::atol(v);
        } else if (a == "--verbose") {
            opt->verbose = true;
        } else if (a.rfind("--", 0) == 0 && opt->args.empty()) {
            Fail("unknown option " + a);
            return false;
        } else {
            opt->args.push_back(a);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, &opt) || opt.args.empty()) {
        Usage();
        return 2;
    }
    if (opt.endpoint.empty()) {
        opt.endpoint = ozy::cairndb::CairndbEndpointText("tcp://127.0.0.1:2480");
    }
    std::string why;
    if (!ozy::net::Endpoint::Parse(opt.endpoint, &why)) {
        return Fail("bad endpoint " + opt.endpoint + ": " + why, 2);
    }
    // The library's records go to standard error, never to the system log.
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::Logger::setConsole(false);
    ozy::cairndb::library_log_level = opt.verbose ? CfgAgent::kLogDebug : CfgAgent::kLogError;
    CfgAgent::Logger::addSink(
        [](const CfgAgent::LogEntry& e) { std::fprintf(stderr, "%s\n", e.message.c_str()); });
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, [](int) { g_interrupted = true; });
    signal(SIGTERM, [](int) { g_interrupted = true; });

    const std::string& cmd = opt.args[0];
    if (cmd == "schema")
        return CmdSchema();
    if (cmd == "init")
        return CmdInit(opt);
    if (cmd == "apply")
        return CmdApply(opt);
    if (cmd == "get")
        return CmdGet(opt);
    if (cmd == "delete")
        return CmdDelete(opt);
    if (cmd == "watch")
        return CmdWatch(opt);
    if (cmd == "ping")
        return CmdPing(opt);
    Usage();
    return Fail("unknown command " + cmd, 2);
}
