#include "platform/cairndb/CairnDbClient.h"

#include <google/protobuf/message.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string_view>

#include "platform/cairndb/JsonText.h"
#include "platform/cairndb/LibraryLog.h"
#include "platform/cairndb/MemberHealth.h"
#include "platform/cairndb/MonitorReplica.h"
#include "platform/cairndb/MonitorReplyStream.h"
#include "platform/cairndb/ReconnectSchedule.h"
#include "platform/cairndb/RowCache.h"
#include "platform/cairndb/RowDirectory.h"
#include "platform/cairndb/StoredRowStream.h"
#include "platform/cairndb/TransactReplies.h"
#include "platform/cairndb/WritePlan.h"
#include "platform/cairndb/WriteQueue.h"
#include "platform/jsonrpc/MessageFramer.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "runtime/MemoryAccounts.h"

namespace ozy::cairndb {

std::atomic<int> library_log_level{CfgAgent::kLogInfo};

namespace asio = boost::asio;
namespace pb = orvane::ozy::cairndb;
using tcp = asio::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using MonitorKey = std::pair<uint32_t, uint16_t>;

namespace {

const char* const kConnectionLost = "connection lost";
// The json-rpc monitor id of the `_Server` monitor.
const char* const kMemberMonitor = "ozy-member";

int64_t SteadySeconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Reads a JSON-RPC message only as far as its id, when the id comes before its result or params
// (a reply or notification is not read past either), so that the parser that suits the reply can
// be chosen: the id when it is read and is unsigned. A message that does not parse is left to the
// parser that reports it.
class ReplyIdPeek {
  public:
    std::optional<uint64_t> id;

    bool null() { return Value(json()); }
    bool boolean(bool v) { return Value(json(v)); }
    bool number_integer(json::number_integer_t v) { return Value(json(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return Value(json(v)); }
    bool number_float(json::number_float_t v, const json::string_t&) { return Value(json(v)); }
    bool string(json::string_t& v) { return Value(json(v)); }
    bool binary(json::binary_t& v) { return Value(json(v)); }
    bool key(json::string_t& k) {
        if (open_ == 1) {
            idNext_ = k == "id";
            if (k == "result" || k == "params")
                return false;
        }
        return true;
    }
    bool start_object(std::size_t) { return Open(); }
    bool start_array(std::size_t) { return Open(); }
    bool end_object() { return --open_ > 0; }
    bool end_array() { return --open_ > 0; }
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception&) {
        return false;
    }

  private:
    bool Value(const json& v) {
        if (open_ == 1 && idNext_) {
            if (v.is_number_unsigned())
                id = v.get<uint64_t>();
            return false;
        }
        return open_ > 0;
    }
    bool Open() {
        if (open_ == 1 && idNext_)
            return false;
        return ++open_ > 0;
    }

    int open_ = 0;
    bool idNext_ = false;
};

std::optional<uint64_t> PeekReplyId(std::string_view text) {
    ReplyIdPeek peek;
    json::sax_parse(text.begin(), text.end(), &peek);
    return peek.id;
}

}  // namespace

class CairnDbClient::Impl : public std::enable_shared_from_this<Impl> {
  public:
    Impl(std::string name, net::Endpoint endpoint, asio::io_context& io,
         CairnDbClientOptions options)
        : name_(std::move(name)),
          endpoint_(std::move(endpoint)),
          io_(io),
          options_(options),
          strand_(asio::make_strand(io)),
          socket_(strand_),
          resolver_(strand_),
          reconnectTimer_(strand_),
          probeTimer_(strand_),
          framer_(options.maxMessageBytes),
          schedule_(endpoint_.remotes().size(), options.reconnectMin, options.reconnectMax,
                    options.steadySession),
          writes_(options.maxPendingWrites) {}

    // ---- configuration (any thread) ----

    void SetStatusCallback(ChannelStatusCallback cb) {
        std::lock_guard<std::mutex> lock(mutex_);
        statusCb_ = std::move(cb);
    }

    bool AddSession(uint16_t vdb) {
        if (vdb == 0) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03011",
                             "CairnDbClient: monitor session for vdb 0 refused");
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.insert(vdb);
        return true;
    }

    void RemoveSession(uint16_t vdb) {
        std::vector<MonitorKey> keys;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sessions_.erase(vdb);
            for (auto it = monitors_.begin(); it != monitors_.end();) {
                if (it->first.second == vdb) {
                    keys.push_back(it->first);
                    it = monitors_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        asio::post(strand_, [self = shared_from_this(), keys] {
            for (const auto& k : keys) {
                self->Subscribe(k, false);
            }
        });
    }

    bool RegisterCallbacks(uint32_t monitorId, uint16_t vdb, MonitorUpdateCallback onUpdate,
                           MonitorBarrierCallback onBarrier) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sessions_.count(vdb) == 0) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03011",
                             "CairnDbClient: no monitor session for vdb %1 (monitor %2)", vdb,
                             monitorId);
            return false;
        }
        auto& m = monitors_[{monitorId, vdb}];
        m.onUpdate = std::move(onUpdate);
        m.onBarrier = std::move(onBarrier);
        return true;
    }

    bool Configure(const std::vector<pb::MonitorStatementMsg>& add,
                   const std::vector<pb::MonitorStatementMsg>& remove, uint32_t monitorId,
                   uint16_t vdb) {
        std::map<int, MonitorStatement> adds;
        for (const auto& st : add) {
            int type = st.statement().object_type();
            const ObjectTypeInfo* info = FindObjectType(type);
            if (info == nullptr) {
                CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03011",
                                 "CairnDbClient: monitor %1 vdb %2: unknown object type %3",
                                 monitorId, vdb, type);
                return false;
            }
            MonitorStatement ms;
            ms.type = type;
            ms.option = st.option();
            if (st.statement().has_select()) {
                std::shared_ptr<google::protobuf::Message> tmpl(info->op->New());
                if (!tmpl->ParseFromString(st.statement().select().op_template())) {
                    CAIRNDB_LOG_CODE(
                        CfgAgent::kLogError, "LCP03011",
                        "CairnDbClient: monitor %1 vdb %2: select template of %3 is not a %4",
                        monitorId, vdb, info->name, info->op->GetDescriptor()->name());
                    return false;
                }
                ms.selectTemplate = std::move(tmpl);
            }
            adds[type] = std::move(ms);
        }
        MonitorKey key{monitorId, vdb};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = monitors_.find(key);
            if (it == monitors_.end() || !it->second.onUpdate || !it->second.onBarrier) {
                CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03011",
                                 "CairnDbClient: monitor %1 vdb %2 has no callbacks", monitorId,
                                 vdb);
                return false;
            }
            for (const auto& st : remove) {
                it->second.statements.erase(st.statement().object_type());
            }
            for (auto& [type, ms] : adds) {
                it->second.statements[type] = std::move(ms);
            }
        }
        asio::post(strand_, [self = shared_from_this(), key] { self->Subscribe(key, false); });
        return true;
    }

    void Start() {
        asio::post(strand_, [self = shared_from_this()] {
            if (self->started_ || self->stopped_) {
                return;
            }
            self->started_ = true;
            if (!self->endpoint_.valid()) {
                CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03001",
                                 "CairnDbClient: %1 has no valid endpoint", self->name_);
                return;
            }
            self->Connect();
        });
    }

    void Stop() {
        if (stopped_.exchange(true)) {
            return;
        }
        if (strand_.running_in_this_thread() || io_.stopped()) {
            Shutdown();
            return;
        }
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> f = done->get_future();
        asio::post(strand_, [self = shared_from_this(), done] {
            self->Shutdown();
            done->set_value();
        });
        if (f.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            CAIRNDB_LOG(CfgAgent::kLogWarn,
                        "CairnDbClient: %1 stopped without its io context running", name_);
        }
    }

    void Write(std::vector<pb::ModifyRequestMsg> requests, WriteCallback done) {
        auto w = std::make_shared<QueuedWrite>();
        w->requests = std::move(requests);
        w->done = std::move(done);
        asio::post(strand_, [self = shared_from_this(), w] {
            if (!self->stopped_) {
                self->EnqueueWrite(std::move(*w));
            }
        });
    }

    void Get(int type, uint16_t vdb, std::optional<std::string> oid, GetCallback done) {
        asio::post(strand_, [self = shared_from_this(), type, vdb, oid = std::move(oid),
                             done = std::move(done)] { self->DoGet(type, vdb, oid, done); });
    }

    void GetRows(int type, uint16_t vdb, GetRowsCallback rows, GetDoneCallback done) {
        asio::post(strand_, [self = shared_from_this(), type, vdb, rows = std::move(rows),
                             done = std::move(done)] { self->DoGetRows(type, vdb, rows, done); });
    }

    void Echo(std::string text, EchoCallback done) {
        asio::post(strand_, [self = shared_from_this(), text = std::move(text),
                             done = std::move(done)] {
            if (!self->connected_) {
                self->Invoke("echo", [&] { done(Status::Error("not connected"), std::string()); });
                return;
            }
            self->Request(
                "echo", json::array({text}), [self, done](const json* r, const std::string& e) {
                    if (r == nullptr) {
                        self->Invoke("echo", [&] { done(Status::Error(e), std::string()); });
                    } else if (!r->is_array() || r->empty() || !(*r)[0].is_string()) {
                        self->Invoke("echo", [&] {
                            done(Status::Error("malformed echo reply"), std::string());
                        });
                    } else {
                        self->Invoke("echo",
                                     [&] { done(Status::Ok(), (*r)[0].get<std::string>()); });
                    }
                });
        });
    }

    int64_t LastExchange() const { return lastExchange_.load(); }
    uint64_t MemoryReleases() const { return releases_.load(std::memory_order_relaxed); }
    // What the replicas take, counted on the strand (the CLI asks from its own thread); the last
    // count when the strand does not answer within a second.
    size_t ReplicaBytes() {
        if (!stopped_ && !io_.stopped() && !strand_.running_in_this_thread()) {
            auto counted = std::make_shared<std::promise<void>>();
            std::future<void> f = counted->get_future();
            asio::post(strand_, [self = shared_from_this(), counted] {
                self->CountReplicaBytes();
                counted->set_value();
            });
            f.wait_for(std::chrono::seconds(1));
        }
        return replicaBytes_.load(std::memory_order_relaxed);
    }
    bool Connected() const { return connectedFlag_.load(); }
    std::string LastError() const {
        std::lock_guard<std::mutex> lock(errMutex_);
        return lastError_;
    }
    MemberStatus Member() const {
        std::lock_guard<std::mutex> lock(errMutex_);
        return member_;
    }

  private:
    // `result` may be consumed by the handler (a monitor reply frees its rows once decoded).
    using Reply = std::function<void(json* result, const std::string& error)>;

    struct MonitorConfig {
        MonitorUpdateCallback onUpdate;
        MonitorBarrierCallback onBarrier;
        std::map<int, MonitorStatement> statements;
    };

    struct Active {
        explicit Active(uint16_t vdb) : replica(vdb) {}
        MonitorReplica replica;
        uint64_t generation = 0;
        std::string jsonId;
        bool subscribed = false;
        bool needFullResync = true;
    };

    template <typename F>
    void Invoke(const char* what, F&& f) {
        if (stopped_) {
            return;
        }
        try {
            f();
        } catch (const std::exception& e) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03010",
                             "CairnDbClient: %1 callback threw: %2", what, e.what());
        } catch (...) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03010", "CairnDbClient: %1 callback threw",
                             what);
        }
    }

    void SetLastError(const std::string& e) {
        std::lock_guard<std::mutex> lock(errMutex_);
        lastError_ = e;
    }

    std::string RemoteText() const {
        const auto& r = endpoint_.remotes()[remoteIndex_ % endpoint_.remotes().size()];
        return "tcp://" + r.host + ":" + std::to_string(r.port);
    }

    // ---- connection (strand) ----

    void Connect() {
        if (stopped_) {
            return;
        }
        const auto& r = endpoint_.remotes()[remoteIndex_ % endpoint_.remotes().size()];
        // A numeric address needs no name resolution; Asio resolves asynchronously on a private
        // thread of the io context that would outlive the client (the process's io context lives
        // until exit).
        boost::system::error_code numeric;
        asio::ip::address address = asio::ip::make_address(r.host, numeric);
        if (!numeric) {
            socket_.async_connect(tcp::endpoint(address, r.port),
                                  [self = shared_from_this()](const boost::system::error_code& ec) {
                                      if (self->stopped_)
                                          return;
                                      if (ec) {
                                          self->ConnectFailed(ec.message());
                                      } else {
                                          self->OnConnected();
                                      }
                                  });
            return;
        }
        resolver_.async_resolve(r.host, std::to_string(r.port),
                                [self = shared_from_this()](const boost::system::error_code& ec,
                                                            tcp::resolver::results_type results) {
                                    if (self->stopped_)
                                        return;
                                    if (ec) {
                                        self->ConnectFailed(ec.message());
                                        return;
                                    }
                                    asio::async_connect(self->socket_, results,
                                                        [self](const boost::system::error_code& ec2,
                                                               const tcp::endpoint&) {
                                                            if (self->stopped_)
                                                                return;
                                                            if (ec2) {
                                                                self->ConnectFailed(ec2.message());
                                                            } else {
                                                                self->OnConnected();
                                                            }
                                                        });
                                });
    }

    void ConnectFailed(const std::string& reason) {
        boost::system::error_code ignored;
        socket_.close(ignored);
        SetLastError(reason);
        if (!failureLogged_) {
            failureLogged_ = true;
            CAIRNDB_LOG_CODE(CfgAgent::kLogWarn, "LCP03001",
                             "CairnDbClient: %1 cannot connect to %2: %3", name_, RemoteText(),
                             reason);
        } else {
            CAIRNDB_LOG(CfgAgent::kLogDebug, "CairnDbClient: %1 cannot connect to %2: %3", name_,
                        RemoteText(), reason);
        }
        ++remoteIndex_;
        ScheduleReconnect(schedule_.AttemptFailed());
    }

    void ScheduleReconnect(ReconnectSchedule::Next next) {
        if (next.roundEnded) {
            const int level = roundLogged_ ? CfgAgent::kLogDebug : CfgAgent::kLogInfo;
            roundLogged_ = true;
            CAIRNDB_LOG(level, "CairnDbClient: %1 tried every member; next try in %2 ms", name_,
                        next.wait.count());
        }
        reconnectTimer_.expires_after(next.wait);
        reconnectTimer_.async_wait(
            [self = shared_from_this()](const boost::system::error_code& ec) {
                if (!ec && !self->stopped_) {
                    self->Connect();
                }
            });
    }

    // The session is usable once the member says it is (a clustered member connected to its
    // cluster and not behind what this client has seen): only then is it reported up and are the
    // monitors subscribed and writes sent.
    void OnConnected() {
        connected_ = true;
        ++connGen_;
        failureLogged_ = false;
        boost::system::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        framer_ = jsonrpc::MessageFramer(options_.maxMessageBytes);
        // The rows of a streamed read leave the framer as they arrive: {"id":N,"result":[{"rows":[
        framer_.SetElementCut(4, [this](std::string_view prefix) { return CutsRows(prefix); });
        Touch();
        SetLastError("");
        CAIRNDB_LOG(CfgAgent::kLogInfo, "CairnDbClient: %1 connected to %2", name_, RemoteText());
        StartRead();
        StartProbe();
        health_.NewSession();
        Request("monitor_cond",
                json::array({MemberHealth::ServerDatabase(), json::array({kMemberMonitor}),
                             health_.MonitorRequests()}),
                [self = shared_from_this(), gen = connGen_](json* r, const std::string& e) {
                    self->OnMemberReport(gen, r, e);
                });
    }

    void OnMemberReport(uint64_t gen, const json* result, const std::string& error) {
        if (stopped_ || gen != connGen_ || !connected_) {
            return;
        }
        std::string why;
        if (result == nullptr) {
            // A server without the `_Server` database says nothing about a cluster.
            CAIRNDB_LOG(CfgAgent::kLogInfo, "CairnDbClient: %1 gets no member report from %2: %3",
                        name_, RemoteText(), error);
        } else if (!health_.Apply(*result, &why)) {
            ProtocolError("member report: " + why);
            return;
        }
        if (!health_.Usable(&why)) {
            Leave(why);
            return;
        }
        MemberReady();
    }

    void OnMemberUpdate(const json& updates) {
        std::string why;
        if (!health_.Apply(updates, &why)) {
            ProtocolError("member report: " + why);
            return;
        }
        if (!health_.Usable(&why)) {
            Leave(why);
            return;
        }
        if (ready_) {
            health_.Use();
        }
        PublishMember();
    }

    void Leave(const std::string& why) {
        CAIRNDB_LOG_CODE(CfgAgent::kLogWarn, "LCP03012", "CairnDbClient: %1 leaves %2: %3", name_,
                         RemoteText(), why);
        Disconnect("left " + RemoteText() + ": " + why, false);
    }

    void PublishMember() {
        std::lock_guard<std::mutex> lock(errMutex_);
        member_.member = ready_ ? RemoteText() : std::string();
        member_.role = ready_ ? health_.Role() : std::string("none");
        member_.cluster = health_.Describe();
    }

    void MemberReady() {
        ready_ = true;
        connectedFlag_ = true;
        readySince_ = Clock::now();
        roundLogged_ = false;
        health_.Use();
        PublishMember();
        CAIRNDB_LOG(CfgAgent::kLogInfo, "CairnDbClient: %1 uses %2 (%3)", name_, RemoteText(),
                    health_.Role());
        ReportStatus(true);
        if (!connected_ || stopped_) {
            return;
        }
        std::vector<MonitorKey> keys;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [k, m] : monitors_) {
                keys.push_back(k);
            }
        }
        for (auto it = active_.begin(); it != active_.end();) {
            if (std::find(keys.begin(), keys.end(), it->first) == keys.end()) {
                it = active_.erase(it);
            } else {
                it->second->needFullResync = true;
                ++it;
            }
        }
        for (const auto& k : keys) {
            Subscribe(k, true);
        }
        MaybeStartWrite();
    }

    // `log`: false when the caller logged why it leaves.
    void Disconnect(const std::string& reason, bool log = true) {
        if (!connected_) {
            return;
        }
        directory_.Clear();
        kept_.Clear();
        const bool wasReady = ready_;
        ready_ = false;
        connected_ = false;
        connectedFlag_ = false;
        ++connGen_;
        pendingDisconnect_.clear();
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        probeTimer_.cancel();
        framer_ = jsonrpc::MessageFramer(options_.maxMessageBytes);
        outQueue_.clear();
        sending_ = false;
        probeOutstanding_ = false;
        SetLastError(reason);
        if (log) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogWarn, "LCP03001",
                             "CairnDbClient: %1 lost the session with %2: %3", name_, RemoteText(),
                             reason);
        }
        PublishMember();
        byJsonId_.clear();
        for (auto& [k, a] : active_) {
            a->subscribed = false;
            a->needFullResync = true;
        }
        writeInFlight_ = false;
        auto pending = std::move(pending_);
        pending_.clear();
        for (auto& [id, handler] : pending) {
            handler(nullptr, kConnectionLost);
        }
        if (reportedUp_) {
            ReportStatus(false);
        }
        ++remoteIndex_;
        // A session that was in use moves on to the next member at once; a member refused while
        // the session was being set up is one failed try of the round.
        ScheduleReconnect(
            wasReady ? schedule_.SessionLost(std::chrono::duration_cast<std::chrono::milliseconds>(
                           Clock::now() - readySince_))
                     : schedule_.AttemptFailed());
    }

    void Shutdown() {
        boost::system::error_code ignored;
        resolver_.cancel();
        reconnectTimer_.cancel();
        probeTimer_.cancel();
        socket_.close(ignored);
        connected_ = false;
        ready_ = false;
        connectedFlag_ = false;
        ++connGen_;
        pending_.clear();
        monitorReplies_.clear();
        writes_.Clear();
        outQueue_.clear();
        active_.clear();
        byJsonId_.clear();
    }

    void ReportStatus(bool up) {
        reportedUp_ = up;
        ChannelStatusCallback cb;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cb = statusCb_;
        }
        if (cb) {
            Invoke("channel status", [&] { cb(up); });
        }
    }

    void Touch() {
        auto now = Clock::now();
        lastRx_ = now;
        lastExchange_ = SteadySeconds(now);
    }

    void StartRead() {
        socket_.async_read_some(
            asio::buffer(readBuf_),
            [self = shared_from_this(), gen = connGen_](const boost::system::error_code& ec,
                                                        size_t n) { self->OnRead(gen, ec, n); });
    }

    void OnRead(uint64_t gen, const boost::system::error_code& ec, size_t n) {
        if (stopped_ || gen != connGen_ || !connected_) {
            return;
        }
        if (ec) {
            Disconnect(ec == asio::error::eof ? std::string("server closed the connection")
                                              : ec.message());
            return;
        }
        framer_.Append(readBuf_.data(), n);
        // Any bytes count as the server being alive: a large reply (a full monitor of many rows
        // on a busy server) may take longer than the probe allows to arrive whole, and dropping
        // the session in the middle of it would only ask for the same reply again.
        if (n > 0)
            lastRx_ = Clock::now();
        for (;;) {
            std::string message;
            jsonrpc::MessageFramer::Status st = framer_.Next(&message);
            if (st == jsonrpc::MessageFramer::Status::kMessage) {
                OnMessage(&message);
                if (stopped_ || gen != connGen_ || !pendingDisconnect_.empty())
                    break;
                continue;
            }
            if (st != jsonrpc::MessageFramer::Status::kNeedMore) {
                std::string error = jsonrpc::MessageFramer::StatusText(st);
                CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03002",
                                 "CairnDbClient: protocol error from %1: %2", RemoteText(), error);
                if (pendingDisconnect_.empty())
                    pendingDisconnect_ = error;
            }
            break;
        }
        if (!stopped_ && gen == connGen_ && pendingDisconnect_.empty())
            TakeStreamedRows();
        if (stopped_ || gen != connGen_) {
            return;
        }
        if (!pendingDisconnect_.empty()) {
            Disconnect(pendingDisconnect_);
            return;
        }
        StartRead();
    }

    // Whether the message that starts with `prefix` is the reply to a streamed read whose rows
    // array `prefix` opens: its rows are then decoded as they arrive.
    bool CutsRows(std::string_view prefix) {
        cutStream_.reset();
        const std::optional<uint64_t> id = streams_.empty() ? std::nullopt : PeekReplyId(prefix);
        auto s = id ? streams_.find(*id) : streams_.end();
        if (s == streams_.end() || !StoredRowStream::OpensRows(prefix))
            return false;
        cutStream_ = s->second;
        return true;
    }

    // Hands the rows of the streamed reply being received, complete so far, to their stream.
    void TakeStreamedRows() {
        std::string rows(1, '[');
        if (!framer_.TakeElements(&rows))
            return;
        rows.back() = ']';  // the last row's comma
        auto stream = cutStream_.lock();
        if (stream == nullptr)
            return;  // the read is gone; its rows are no one's
        try {
            stream->AddRows(rows);
        } catch (const json::exception& e) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03002",
                             "CairnDbClient: malformed JSON from %1: %2", RemoteText(), e.what());
            pendingDisconnect_ = "malformed JSON";
        }
    }

    void ProtocolError(const std::string& what) {
        CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03003",
                         "CairnDbClient: malformed message from %1: %2", RemoteText(), what);
        if (pendingDisconnect_.empty())
            pendingDisconnect_ = what;
    }

    // `text` is consumed: its bytes are released once parsed, before the rows are delivered.
    void OnMessage(std::string* text) {
        if (stopped_ || !pendingDisconnect_.empty() || !connected_) {
            return;
        }
        json msg;
        // The monitor reply stream the message's result went to.
        MonitorReplyStream* monitorReply = nullptr;
        try {
            msg = ParseMessage(*text, &monitorReply);
        } catch (const json::exception& e) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03002",
                             "CairnDbClient: malformed JSON from %1: %2", RemoteText(), e.what());
            pendingDisconnect_ = "malformed JSON";
            return;
        }
        std::string().swap(*text);
        Touch();
        if (!msg.is_object()) {
            ProtocolError("message is not an object");
            return;
        }
        auto method = msg.find("method");
        const bool notification = method != msg.end() && !method->is_null();
        if (monitorReply != nullptr) {
            auto id = msg.find("id");
            auto s = id != msg.end() && id->is_number_unsigned()
                         ? monitorReplies_.find(id->get<uint64_t>())
                         : monitorReplies_.end();
            if (notification || s == monitorReplies_.end() || s->second.get() != monitorReply) {
                // Not the reply after all: what it carried is no one's.
                monitorReply->Clear();
                if (!notification) {
                    ProtocolError("monitor reply with another id after its result");
                    return;
                }
            }
        }
        if (notification) {
            if (!method->is_string()) {
                ProtocolError("method is not a string");
                return;
            }
            auto params = msg.find("params");
            if (*method == "echo") {
                auto id = msg.find("id");
                Send(json{{"id", id != msg.end() ? *id : json()},
                          {"result", params != msg.end() ? *params : json::array()},
                          {"error", nullptr}});
            } else if (*method == "update2") {
                if (params == msg.end()) {
                    ProtocolError("update2 without params");
                    return;
                }
                OnUpdate2(*params);
            } else {
                CAIRNDB_LOG(CfgAgent::kLogDebug, "CairnDbClient: ignoring notification %1",
                            method->get<std::string>());
            }
            return;
        }
        auto id = msg.find("id");
        if (id == msg.end() || !id->is_number_unsigned()) {
            CAIRNDB_LOG(CfgAgent::kLogDebug, "CairnDbClient: ignoring reply without a known id");
            return;
        }
        auto p = pending_.find(id->get<uint64_t>());
        if (p == pending_.end()) {
            CAIRNDB_LOG(CfgAgent::kLogDebug, "CairnDbClient: ignoring reply to unknown request %1",
                        id->get<uint64_t>());
            return;
        }
        Reply handler = std::move(p->second);
        pending_.erase(p);
        auto err = msg.find("error");
        if (err != msg.end() && !err->is_null()) {
            handler(nullptr, err->dump());
            return;
        }
        auto res = msg.find("result");
        if (res == msg.end()) {
            handler(nullptr, "reply without result");
            return;
        }
        handler(&*res, std::string());
    }

    // Parses a message as json::parse does; the result of a reply to a streamed read or to a
    // monitor request is handed to its stream as it is parsed (`*monitorReply` names a monitor
    // reply's stream that took it).
    json ParseMessage(const std::string& text, MonitorReplyStream** monitorReply) {
        *monitorReply = nullptr;
        const std::optional<uint64_t> id =
            streams_.empty() && monitorReplies_.empty() ? std::nullopt : PeekReplyId(text);
        if (id && streams_.count(*id) != 0) {
            return StoredRowStream::ParseMessage(text, [this](const json& v) {
                auto s = v.is_number_unsigned() ? streams_.find(v.get<uint64_t>()) : streams_.end();
                return s != streams_.end() ? s->second.get() : nullptr;
            });
        }
        if (id && monitorReplies_.count(*id) != 0) {
            return MonitorReplyStream::ParseMessage(
                text,
                [this](const json& v) {
                    auto s = v.is_number_unsigned() ? monitorReplies_.find(v.get<uint64_t>())
                                                    : monitorReplies_.end();
                    return s != monitorReplies_.end() ? s->second.get() : nullptr;
                },
                monitorReply);
        }
        return json::parse(text.begin(), text.end());
    }

    // Queues the text of `msg`, its spliced strings (see JsonText.h) sent from `texts` as they
    // are.
    void Send(json msg, const SplicedTexts& texts = {}) {
        auto message = std::make_shared<Pieces>();
        if (texts.empty()) {
            message->texts.push_back(std::make_shared<const std::string>(JsonText(msg)));
        } else {
            message->texts = JsonPieces(msg, texts);
        }
        for (const auto& t : message->texts)
            message->buffers.emplace_back(t->data(), t->size());
        outQueue_.push_back(std::move(message));
        if (!sending_) {
            SendNext();
        }
    }

    void SendNext() {
        if (outQueue_.empty() || !connected_) {
            sending_ = false;
            return;
        }
        sending_ = true;
        auto buf = outQueue_.front();
        asio::async_write(socket_, buf->buffers,
                          [self = shared_from_this(), buf, gen = connGen_](
                              const boost::system::error_code& ec, size_t) {
                              if (self->stopped_ || gen != self->connGen_)
                                  return;
                              if (ec) {
                                  self->Disconnect(ec.message());
                                  return;
                              }
                              self->outQueue_.pop_front();
                              self->SendNext();
                          });
    }

    // The request's id; 0 when it failed at once.
    uint64_t Request(const std::string& method, json params, Reply handler,
                     const SplicedTexts& texts = {}) {
        if (!connected_) {
            handler(nullptr, kConnectionLost);
            return 0;
        }
        uint64_t id = nextId_++;
        pending_[id] = std::move(handler);
        Send(json{{"method", method}, {"params", std::move(params)}, {"id", id}}, texts);
        return id;
    }

    void StartProbe() {
        if (options_.probeInterval.count() <= 0) {
            return;
        }
        probeTimer_.expires_after(options_.probeInterval / 2);
        probeTimer_.async_wait(
            [self = shared_from_this(), gen = connGen_](const boost::system::error_code& ec) {
                if (ec || self->stopped_ || gen != self->connGen_)
                    return;
                self->OnProbe();
            });
    }

    void OnProbe() {
        auto idle = Clock::now() - lastRx_;
        if (idle >= 2 * options_.probeInterval) {
            Disconnect("no message from the server for " +
                       std::to_string(
                           std::chrono::duration_cast<std::chrono::milliseconds>(idle).count()) +
                       " ms");
            return;
        }
        if (idle >= options_.probeInterval && !probeOutstanding_) {
            probeOutstanding_ = true;
            Request("echo", json::array({"ozy-probe"}),
                    [self = shared_from_this()](const json*, const std::string&) {
                        self->probeOutstanding_ = false;
                    });
        }
        StartProbe();
    }

    // ---- monitors (strand) ----

    void Subscribe(const MonitorKey& key, bool fullResync) {
        if (stopped_) {
            return;
        }
        std::map<int, MonitorStatement> statements;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = monitors_.find(key);
            if (it != monitors_.end()) {
                statements = it->second.statements;
            }
        }
        auto& slot = active_[key];
        if (!slot) {
            slot = std::make_shared<Active>(key.second);
        }
        Active& a = *slot;
        if (a.subscribed) {
            Request("monitor_cancel", json::array({json::parse(a.jsonId)}),
                    [](const json*, const std::string&) {});
            byJsonId_.erase(a.jsonId);
            a.subscribed = false;
        }
        if (statements.empty()) {
            active_.erase(key);
            return;
        }
        a.replica.SetStatements(std::move(statements));
        if (!ready_) {
            return;  // subscribed once the session is usable
        }
        if (fullResync) {
            a.needFullResync = true;
        }
        ++a.generation;
        json id = json::array({"ozy-monitor", key.first, key.second, a.generation});
        a.jsonId = id.dump();
        byJsonId_[a.jsonId] = key;
        a.subscribed = true;
        uint64_t gen = a.generation;
        // Owned by this object (monitorReplies_ and the pending reply's handler).
        auto reply = std::make_shared<MonitorReplyStream>();
        const uint64_t rid =
            Request("monitor_cond", json::array({kDatabaseName, id, a.replica.MonitorRequests()}),
                    [self = shared_from_this(), key, gen, reply](json* r, const std::string& e) {
                        for (auto s = self->monitorReplies_.begin();
                             s != self->monitorReplies_.end(); ++s) {
                            if (s->second == reply) {
                                self->monitorReplies_.erase(s);
                                break;
                            }
                        }
                        self->OnMonitorReply(key, gen, r, e, reply.get());
                    });
        if (rid != 0)
            monitorReplies_.emplace(rid, std::move(reply));
    }

    // `reply` holds the result when it was streamed.
    void OnMonitorReply(const MonitorKey& key, uint64_t gen, json* result, const std::string& error,
                        MonitorReplyStream* reply) {
        auto it = active_.find(key);
        if (it == active_.end() || it->second->generation != gen || !it->second->subscribed) {
            return;
        }
        const std::shared_ptr<Active> held = it->second;
        Active& a = *held;
        if (result == nullptr) {
            if (error != kConnectionLost) {
                CAIRNDB_LOG_CODE(
                    CfgAgent::kLogError, "LCP03007",
                    "CairnDbClient: monitor %1 on vdb %2 was refused by the server: %3", key.first,
                    key.second, error);
                byJsonId_.erase(a.jsonId);
                a.subscribed = false;
            }
            return;
        }
        std::vector<pb::MonitorUpdateMsg> updates;
        std::string why;
        // The complete contents reach the readers in runs while the reply is decoded, the barrier
        // after the last run; the readers are those of the first run throughout.
        size_t early = 0;
        std::optional<Readers> readers;
        auto deliverRun = [&](std::vector<pb::MonitorUpdateMsg>* run) {
            early += run->size();
            if (!readers)
                readers = ReadersOf(key);
            DeliverUpdates(*readers, run);
        };
        if (!reply->Taken()) {
            // Parsed whole (its id came after its result): collected as a streamed one is.
            reply->Collect(*result);
            *result = json();
        }
        // A large reply's text was freed once parsed, its rows are freed as they are applied:
        // their pages go back to the system before the readers build their copies and after.
        const bool large = reply->RowCount() >= MonitorReplica::kEarlyRun;
        if (large)
            ozy::ReleaseFreedMemory();
        const bool applied =
            a.replica.ApplyInitial(reply, a.needFullResync, &updates, &why, deliverRun);
        // The rows are in the replica and in `updates` now: what is left of the reply goes before
        // the readers build their own copies.
        reply->Clear();
        if (large)
            ozy::ReleaseFreedMemory();
        if (!applied) {
            ProtocolError("monitor reply: " + why);
            return;
        }
        a.needFullResync = false;
        CAIRNDB_LOG(CfgAgent::kLogDebug,
                    "CairnDbClient: monitor %1 vdb %2 synchronised, %3 updates", key.first,
                    key.second, early + updates.size());
        Deliver(key, std::move(updates), readers ? &*readers : nullptr);
    }

    // `params` is consumed: the parsed rows are released once the replica has them, before the
    // readers build their own copies.
    void OnUpdate2(json& params) {
        if (!params.is_array() || params.size() != 2) {
            ProtocolError("update2 params are not [monitor id, updates]");
            return;
        }
        if (params[0] == json::array({kMemberMonitor})) {
            OnMemberUpdate(params[1]);
            return;
        }
        auto k = byJsonId_.find(params[0].dump());
        if (k == byJsonId_.end()) {
            CAIRNDB_LOG(CfgAgent::kLogDebug,
                        "CairnDbClient: update for a cancelled monitor %1 ignored",
                        params[0].dump());
            return;
        }
        MonitorKey key = k->second;
        Active& a = *active_.at(key);
        std::vector<pb::MonitorUpdateMsg> updates;
        std::string why;
        if (!a.replica.ApplyUpdate(params[1], &updates, &why)) {
            ProtocolError("update2: " + why);
            return;
        }
        params = json();
        if (!updates.empty()) {
            Deliver(key, std::move(updates));
        }
    }

    void CountReplicaBytes() {
        size_t n = 0;
        for (const auto& [k, a] : active_) {
            n += a->replica.Bytes();
        }
        replicaBytes_.store(n, std::memory_order_relaxed);
    }

    // A monitor's callbacks as they were when its delivery started.
    struct Readers {
        bool found = false;  // the monitor was still configured
        MonitorUpdateCallback onUpdate;
        MonitorBarrierCallback onBarrier;
    };

    Readers ReadersOf(const MonitorKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = monitors_.find(key);
        if (it == monitors_.end()) {
            return Readers();
        }
        return Readers{true, it->second.onUpdate, it->second.onBarrier};
    }

    // Each update is freed once its reader has it, so that a full sync does not hold the whole
    // list beside what the readers build from it. `readers`: those that got the earlier runs of
    // the same delivery.
    void Deliver(const MonitorKey& key, std::vector<pb::MonitorUpdateMsg> updates,
                 const Readers* readers = nullptr) {
        const Readers current = readers != nullptr ? *readers : ReadersOf(key);
        if (!DeliverUpdates(current, &updates))
            return;
        Invoke("barrier", [&] { current.onBarrier(); });
    }

    // The updates without their barrier; false when the monitor was gone or the client stopped.
    bool DeliverUpdates(const Readers& readers, std::vector<pb::MonitorUpdateMsg>* updates) {
        if (!readers.found)
            return false;
        for (auto& u : *updates) {
            if (stopped_)
                return false;
            Invoke("update", [&] { readers.onUpdate(u); });
            u = pb::MonitorUpdateMsg();
        }
        return true;
    }

    // ---- writes and reads (strand) ----

    void EnqueueWrite(QueuedWrite w) {
        std::optional<QueuedWrite> dropped = writes_.Push(std::move(w), writeInFlight_);
        if (dropped) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03008",
                             "CairnDbClient: write queue full, dropping a list of %1 requests",
                             dropped->requests.size());
            if (dropped->done) {
                Invoke("write", [&] { dropped->done(Status::Error("write queue full")); });
            }
        }
        MaybeStartWrite();
    }

    void FinishWrite(const Status& status) {
        writeInFlight_ = false;
        size_t requests = 0;
        bool split = false;
        std::vector<WriteCallback> callbacks = writes_.Finish(status, &requests, &split);
        if (split) {
            CAIRNDB_LOG(CfgAgent::kLogInfo,
                        "CairnDbClient: writes sent together failed (%1); sending them in halves",
                        status.error);
            return;
        }
        if (!status.ok) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03008",
                             "CairnDbClient: write of %1 requests failed: %2", requests,
                             status.error);
        }
        if (requests >= CairnDbClient::kReleaseAfterRequests) {
            // Its plan, the rows read and the operations built are freed by now.
            ozy::ReleaseFreedMemory();
            releases_.fetch_add(1, std::memory_order_relaxed);
        }
        for (auto& done : callbacks) {
            Invoke("write", [&] { done(status); });
        }
    }

    void MaybeStartWrite() {
        while (ready_ && !stopped_ && !writeInFlight_ && !writes_.empty()) {
            writes_.MergeFront();
            QueuedWrite& w = writes_.front();
            if (!w.plan) {
                w.plan = std::make_shared<WritePlan>();
                std::string error;
                if (!w.plan->Prepare(w.requests, &error)) {
                    FinishWrite(Status::Error("rejected: " + error));
                    continue;
                }
            }
            if (w.plan->empty()) {
                FinishWrite(Status::Ok());
                continue;
            }
            writeInFlight_ = true;
            if (!w.inDoubt.empty() && !w.landedChecked) {
                CheckLanded(w);
                return;
            }
            ++w.attempts;
            json reads = w.plan->ReadOps(&directory_, &kept_);
            if (reads.empty()) {
                // Every row is known (or new): straight to the write.
                json noRows = json::array();
                if (SendWrite(w, &noRows))
                    return;
                continue;
            }
            json params = json::array({kDatabaseName});
            for (auto& op : reads) {
                params.push_back(std::move(op));
            }
            Request("transact", std::move(params),
                    [self = shared_from_this()](json* r, const std::string& e) {
                        self->OnWriteRead(r, e);
                    });
        }
    }

    // Builds the write transaction of `w` from what was read and sends it; true when it was sent,
    // false when the write finished here (nothing to change, or a failure). `readResult` is
    // consumed: the parsed rows are released once the operations are built, before the
    // transaction's text is made (a restart's write of every VIF reads each row first).
    bool SendWrite(QueuedWrite& w, json* readResult) {
        json ops;
        std::string why;
        // The rows' long column texts are sent from where the plan keeps them, not copied into
        // the operations and again into the request's text.
        SplicedTexts texts;
        const bool built =
            w.plan->BuildWriteOps(*readResult, &ops, &why, &directory_, &kept_, &texts);
        *readResult = json();
        if (!built) {
            directory_.Clear();
            kept_.Clear();
            FinishWrite(Status::Error(why));
            return false;
        }
        if (ops.empty()) {
            FinishWrite(Status::Ok());
            return false;
        }
        json params = json::array({kDatabaseName});
        for (auto& op : ops) {
            params.push_back(std::move(op));
        }
        Request(
            "transact", std::move(params),
            [self = shared_from_this()](const json* r, const std::string& e) {
                self->OnWriteResult(r, e);
            },
            texts);
        return true;
    }

    // Reads back the rows of the transactions in doubt.
    void CheckLanded(QueuedWrite& w) {
        json params = json::array({kDatabaseName});
        std::vector<size_t> counts;
        for (const auto& intent : w.inDoubt) {
            json ops = intent.ReadOps();
            counts.push_back(ops.size());
            for (auto& op : ops) {
                params.push_back(std::move(op));
            }
        }
        Request("transact", std::move(params),
                [self = shared_from_this(), counts](const json* r, const std::string& e) {
                    self->OnLandedRead(counts, r, e);
                });
    }

    void OnLandedRead(const std::vector<size_t>& counts, const json* result,
                      const std::string& error) {
        if (error == kConnectionLost || writes_.empty() || stopped_) {
            return;
        }
        QueuedWrite& w = writes_.front();
        if (result == nullptr || !result->is_array()) {
            FinishWrite(Status::Error("reading back an interrupted write failed: " + error));
            MaybeStartWrite();
            return;
        }
        bool landed = false;
        size_t at = 0;
        for (size_t i = 0; i < w.inDoubt.size() && !landed; ++i) {
            size_t end = std::min(result->size(), at + counts[i]);
            json slice(result->begin() + static_cast<std::ptrdiff_t>(at),
                       result->begin() + static_cast<std::ptrdiff_t>(end));
            landed = w.inDoubt[i].Landed(slice);
            at = end;
        }
        if (landed) {
            CAIRNDB_LOG(CfgAgent::kLogInfo,
                        "CairnDbClient: %1: a write interrupted by a lost session had landed; "
                        "not applied again",
                        name_);
            FinishWrite(Status::Ok());
        } else {
            w.landedChecked = true;
            writeInFlight_ = false;
        }
        MaybeStartWrite();
    }

    void OnWriteRead(json* result, const std::string& error) {
        if (error == kConnectionLost || writes_.empty() || stopped_) {
            if (!writes_.empty())
                writes_.front().landedChecked = false;
            return;  // kept queued; applied again after reconnection
        }
        QueuedWrite& w = writes_.front();
        if (result == nullptr) {
            directory_.Clear();
            kept_.Clear();
            FinishWrite(Status::Error(error));
        } else if (SendWrite(w, result)) {
            return;
        }
        MaybeStartWrite();
    }

    void OnWriteResult(const json* result, const std::string& error) {
        if (writes_.empty() || stopped_) {
            return;
        }
        if (error == kConnectionLost) {
            // It may have committed before the connection went.
            QueuedWrite& w = writes_.front();
            w.inDoubt.push_back(w.plan->intent());
            w.landedChecked = false;
            return;
        }
        QueuedWrite& w = writes_.front();
        if (result == nullptr) {
            directory_.Clear();
            kept_.Clear();
            FinishWrite(Status::Error(error));
            MaybeStartWrite();
            return;
        }
        bool raced = false;
        std::string failure = TransactFailure(*result, &raced);
        if (failure.empty()) {
            w.plan->Committed(*result, &directory_, &kept_);
        } else {
            // Another writer may have moved rows this client thought it knew, or changed rows it
            // kept as it wrote them. A run that started from kept rows is not counted: the next
            // one reads them.
            directory_.Clear();
            kept_.Clear();
            if (raced && w.plan->UsesCache())
                --w.attempts;
        }
        if (!failure.empty() && raced && w.attempts < options_.writeAttempts) {
            CAIRNDB_LOG(CfgAgent::kLogInfo,
                        "CairnDbClient: rows changed under a write, applying it again");
            writeInFlight_ = false;
            // Perhaps by the interrupted transaction itself, seen late by this member.
            w.landedChecked = false;
        } else if (!failure.empty()) {
            FinishWrite(Status::Error(failure));
        } else {
            FinishWrite(Status::Ok());
        }
        MaybeStartWrite();
    }

    void DoGet(int type, uint16_t vdb, const std::optional<std::string>& oid,
               const GetCallback& done) {
        const ObjectTypeInfo* info = FindObjectType(type);
        if (info == nullptr) {
            Invoke("get",
                   [&] { done(Status::Error("unknown object type " + std::to_string(type)), {}); });
            return;
        }
        if (!ready_) {
            Invoke("get", [&] { done(Status::Error("not connected"), {}); });
            return;
        }
        Request("transact", json::array({kDatabaseName, Select(*info, vdb, oid)}),
                [self = shared_from_this(), done, name = info->name](const json* r,
                                                                     const std::string& e) {
                    if (r == nullptr) {
                        self->Invoke("get", [&] { done(Status::Error(e), {}); });
                        return;
                    }
                    std::vector<StoredObject> objects;
                    std::string why;
                    Status status;
                    if (!ParseStoredObjects(*r, name, &objects, &why, &status.skipped)) {
                        self->Invoke("get", [&] { done(Status::Error(why), {}); });
                        return;
                    }
                    self->Invoke("get", [&] { done(status, objects); });
                });
    }

    static json Select(const ObjectTypeInfo& info, uint16_t vdb,
                       const std::optional<std::string>& oid) {
        json where = json::array({json::array({"vdb", "==", vdb})});
        if (oid) {
            where.push_back(json::array({"oid", "==", *oid}));
        }
        return {{"op", "select"},
                {"table", info.name},
                {"where", where},
                {"columns", json::array({"oid", "vdb", "body", "op", "trace"})}};
    }

    void DoGetRows(int type, uint16_t vdb, const GetRowsCallback& rows,
                   const GetDoneCallback& done) {
        const ObjectTypeInfo* info = FindObjectType(type);
        if (info == nullptr) {
            Invoke("get",
                   [&] { done(Status::Error("unknown object type " + std::to_string(type))); });
            return;
        }
        if (!ready_) {
            Invoke("get", [&] { done(Status::Error("not connected")); });
            return;
        }
        // Owned by this object (streams_ and the pending reply's handler), called on the strand.
        auto stream =
            std::make_shared<StoredRowStream>(info->name, CairnDbClient::kGetRowsBatch,
                                              [this, rows](const std::vector<StoredObject>& batch) {
                                                  Invoke("get", [&] { rows(batch); });
                                              });
        const uint64_t id =
            Request("transact", json::array({kDatabaseName, Select(*info, vdb, std::nullopt)}),
                    [self = shared_from_this(), stream, done](const json* r, const std::string& e) {
                        for (auto s = self->streams_.begin(); s != self->streams_.end(); ++s) {
                            if (s->second == stream) {
                                self->streams_.erase(s);
                                break;
                            }
                        }
                        if (r == nullptr) {
                            self->Invoke("get", [&] { done(Status::Error(e)); });
                            return;
                        }
                        std::string why;
                        if (!IsSelectResult(*r, &why)) {
                            self->Invoke("get", [&] { done(Status::Error(why)); });
                            return;
                        }
                        // Rows still here were parsed before the reply was known as this read's.
                        for (const json& row : (*r)[0]["rows"])
                            stream->AddRow(row);
                        stream->Flush();
                        Status status;
                        status.skipped = stream->Skipped();
                        self->Invoke("get", [&] { done(status); });
                    });
        if (id != 0)
            streams_.emplace(id, std::move(stream));
    }

    const std::string name_;
    const net::Endpoint endpoint_;
    asio::io_context& io_;
    const CairnDbClientOptions options_;

    // Guarded by mutex_ (written by callers' threads, read on the strand).
    mutable std::mutex mutex_;
    ChannelStatusCallback statusCb_;
    std::set<uint16_t> sessions_{1};
    std::map<MonitorKey, MonitorConfig> monitors_;

    // Strand only.
    asio::strand<asio::io_context::executor_type> strand_;
    tcp::socket socket_;
    tcp::resolver resolver_;
    asio::steady_timer reconnectTimer_;
    asio::steady_timer probeTimer_;
    jsonrpc::MessageFramer framer_;
    std::array<char, 65536> readBuf_{};
    // A message's text in pieces (shared with whoever else holds them) and its buffers.
    struct Pieces {
        std::vector<std::shared_ptr<const std::string>> texts;
        std::vector<asio::const_buffer> buffers;
    };
    std::deque<std::shared_ptr<Pieces>> outQueue_;
    bool sending_ = false;
    bool started_ = false;
    bool connected_ = false;
    // Connected and the member found usable.
    bool ready_ = false;
    MemberHealth health_{kDatabaseName};
    // Where this client's rows are, for writes that read by row UUID; forgotten with the
    // connection.
    RowDirectory directory_;
    // The rows this client last wrote with patches, as written; forgotten with the session and
    // after any failed write.
    RowCache kept_;
    bool reportedUp_ = false;
    bool failureLogged_ = false;
    bool probeOutstanding_ = false;
    uint64_t connGen_ = 0;
    size_t remoteIndex_ = 0;
    ReconnectSchedule schedule_;
    Clock::time_point readySince_{};
    // The end of a failed round is logged once per outage at info, then at debug.
    bool roundLogged_ = false;
    Clock::time_point lastRx_{};
    std::string pendingDisconnect_;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Reply> pending_;
    // Shared: a reply being delivered keeps its replica when a callback stops the client.
    std::map<MonitorKey, std::shared_ptr<Active>> active_;
    std::map<std::string, MonitorKey> byJsonId_;
    WriteQueue writes_;
    bool writeInFlight_ = false;
    // The streamed reads among pending_.
    std::map<uint64_t, std::shared_ptr<StoredRowStream>> streams_;
    // The stream whose reply's rows the framer hands out as they arrive.
    std::weak_ptr<StoredRowStream> cutStream_;
    // The monitor requests among pending_, their replies collected as they are parsed.
    std::map<uint64_t, std::shared_ptr<MonitorReplyStream>> monitorReplies_;

    // Any thread.
    std::atomic<bool> stopped_{false};
    std::atomic<bool> connectedFlag_{false};
    std::atomic<int64_t> lastExchange_{0};
    std::atomic<size_t> replicaBytes_{0};
    std::atomic<uint64_t> releases_{0};

  public:
    ozy::MemoryAccounts::Id account = 0;  // the replicas' account in the memory section
    mutable std::mutex errMutex_;
    std::string lastError_;
    MemberStatus member_{"", "none", "no report"};
};

CairnDbClient::CairnDbClient(std::string name, net::Endpoint endpoint, asio::io_context& io,
                             CairnDbClientOptions options)
    : name_(name),
      impl_(std::make_shared<Impl>(std::move(name), std::move(endpoint), io, options)) {
    // The replicas' bytes are reported in the memory section as "CairndbReplica <name>".
    std::weak_ptr<Impl> impl = impl_;
    impl_->account = MemoryAccounts::Register("CairndbReplica " + name_, [impl] {
        auto i = impl.lock();
        return i ? i->ReplicaBytes() : size_t{0};
    });
}

CairnDbClient::~CairnDbClient() {
    MemoryAccounts::Unregister(impl_->account);
    impl_->Stop();
}

void CairnDbClient::SetChannelStatusCallback(ChannelStatusCallback cb) {
    impl_->SetStatusCallback(std::move(cb));
}
bool CairnDbClient::AddMonitorSession(uint16_t vdb) {
    return impl_->AddSession(vdb);
}
void CairnDbClient::RemoveMonitorSession(uint16_t vdb) {
    impl_->RemoveSession(vdb);
}
bool CairnDbClient::RegisterMonitorCallbacks(uint32_t monitorId, uint16_t vdb,
                                             MonitorUpdateCallback onUpdate,
                                             MonitorBarrierCallback onBarrier) {
    return impl_->RegisterCallbacks(monitorId, vdb, std::move(onUpdate), std::move(onBarrier));
}
bool CairnDbClient::ConfigureMonitor(const std::vector<pb::MonitorStatementMsg>& add,
                                     const std::vector<pb::MonitorStatementMsg>& remove,
                                     uint32_t monitorId, uint16_t vdb) {
    return impl_->Configure(add, remove, monitorId, vdb);
}
void CairnDbClient::StartAsync() {
    impl_->Start();
}
void CairnDbClient::Stop() {
    impl_->Stop();
}
void CairnDbClient::Write(std::vector<pb::ModifyRequestMsg> requests, WriteCallback done) {
    impl_->Write(std::move(requests), std::move(done));
}
void CairnDbClient::Get(int objectType, uint16_t vdb, std::optional<std::string> oid,
                        GetCallback done) {
    impl_->Get(objectType, vdb, std::move(oid), std::move(done));
}
void CairnDbClient::GetRows(int objectType, uint16_t vdb, GetRowsCallback rows,
                            GetDoneCallback done) {
    impl_->GetRows(objectType, vdb, std::move(rows), std::move(done));
}
void CairnDbClient::Echo(std::string text, EchoCallback done) {
    impl_->Echo(std::move(text), std::move(done));
}
int64_t CairnDbClient::LastExchangeSeconds() const {
    return impl_->LastExchange();
}
uint64_t CairnDbClient::MemoryReleases() const {
    return impl_->MemoryReleases();
}
bool CairnDbClient::Connected() const {
    return impl_->Connected();
}
std::string CairnDbClient::LastError() const {
    return impl_->LastError();
}
MemberStatus CairnDbClient::Member() const {
    return impl_->Member();
}

}  // namespace ozy::cairndb
