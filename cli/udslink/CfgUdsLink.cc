#include "cli/udslink/CfgUdsLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "cli/udslink/CfgUdsServerConnection.h"
#include "cli/udslink/LcpFrameLayout.h"
#include "net/UdsServer.h"
#include "platform/HostRoot.h"
#include "proto/lcp.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

uint32_t LoadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The payload's full type name: what follows the last '/' of the type URL.
std::string PayloadTypeName(const google::protobuf::Any& any) {
    const std::string& url = any.type_url();
    size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

// mkdir -p of the parents, then the link's own directory with `mode`, which must be a real
// directory (not a link) owned by this process's user.
bool MakeDirectory(const std::string& dir, mode_t mode, std::string* error) {
    for (size_t pos = 1; (pos = dir.find('/', pos)) != std::string::npos; ++pos) {
        std::string parent = dir.substr(0, pos);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "mkdir " + parent + ": " + std::strerror(errno);
            return false;
        }
    }
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
        *error = "mkdir " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        *error = dir + " is not a directory of this user";
        return false;
    }
    if ((st.st_mode & 07777) != mode && ::chmod(dir.c_str(), mode) != 0) {
        *error = "chmod " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

CfgUdsLink::CfgUdsLink(std::string logicalPath)
    : logicalPath_(logicalPath.empty() ? lcp::kLinkPath : std::move(logicalPath)) {}

CfgUdsLink::~CfgUdsLink() {
    Stop();
}

bool CfgUdsLink::RegisterHandler(const std::string& typeName, Handler handler) {
    if (started_) {
        CFG_ERROR_CODE("LCP02007", "CfgUdsLink: handler for %1 registered after start, refused",
                       typeName);
        return false;
    }
    if (!handlers_.emplace(typeName, std::move(handler)).second) {
        CFG_ERROR_CODE("LCP02007", "CfgUdsLink: handler for %1 already registered", typeName);
        return false;
    }
    return true;
}

bool CfgUdsLink::AddStatusObserver(StatusObserver observer) {
    if (started_) {
        CFG_ERROR_CODE("LCP02007", "CfgUdsLink: status observer added after start, refused");
        return false;
    }
    observers_.push_back(std::move(observer));
    return true;
}

bool CfgUdsLink::PrepareDirectory(const std::string& socketPath) {
    std::string dir = socketPath.substr(0, socketPath.rfind('/'));
    std::string error;
    if (!MakeDirectory(dir, 0750, &error)) {
        CFG_ERROR_CODE("LCP02006", "CfgUdsLink: cannot prepare the socket directory: %1", error);
        return false;
    }
    return true;
}

bool CfgUdsLink::Start() {
    CFG_INFO("CfgUdsLink: Start");
    if (started_)
        return true;
    std::string path = ozy::hostPath(logicalPath_);
    if (!PrepareDirectory(path))
        return false;
    io_ = std::make_unique<boost::asio::io_context>(1);
    Common::UdsServer::Options options;
    options.socketMode = 0660;
    server_ = std::make_shared<Common::UdsServer>(
        *io_, path, logicalPath_, this,
        [](Common::UdsServer::Socket socket, Common::ConnectionStrand strand, uint32_t id,
           Common::UdsConnectionListener* listener) {
            return std::make_shared<CfgUdsServerConnection>(std::move(socket), std::move(strand),
                                                            id, listener);
        },
        options);
    try {
        server_->Start();
    } catch (const boost::system::system_error& e) {
        CFG_ERROR_CODE("LCP02006", "CfgUdsLink: cannot listen on %1: %2", logicalPath_, e.what());
        server_.reset();
        io_.reset();
        return false;
    }
    started_ = true;
    thread_ = std::thread([io = io_.get()] {
        auto guard = boost::asio::make_work_guard(*io);
        io->run();
    });
    return true;
}

void CfgUdsLink::Stop() {
    if (!io_)
        return;
    io_->stop();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // A handler cannot wait for its own thread; the owner's Stop joins it.
            CFG_ERROR("CfgUdsLink: Stop called from the link's own thread, ignored");
            return;
        }
        thread_.join();
    }
    std::shared_ptr<Common::UdsServer> server;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        server.swap(server_);
        activeConn_ = 0;
    }
    if (server)
        server->Close();
    server.reset();
    io_.reset();  // releases the connections its handlers still held
}

uint32_t CfgUdsLink::ActiveConnection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return activeConn_;
}

size_t CfgUdsLink::MaxMessageSize() const {
    return lcp::kMaxFrameSize;
}

void CfgUdsLink::OnOversizedMessage(uint32_t connId, uint64_t announced) {
    CFG_ERROR_CODE("LCP02004",
                   "CfgUdsLink: message len %1 exceeds the limit %2, closing connection %3",
                   announced, lcp::kMaxFrameSize, connId);
}

void CfgUdsLink::OnConnectionStatusChanged(uint32_t connId, int status) {
    bool changed = false;
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CFG_INFO("Conection %1 changed its status to %2", connId, status);
        if (status != 0) {
            changed = activeConn_ == 0;
            activeConn_ = connId;
            connected = true;
        } else if (connId == activeConn_) {
            activeConn_ = 0;
            changed = true;
        }
    }
    if (changed)
        NotifyObservers(connected);
}

void CfgUdsLink::NotifyObservers(bool connected) {
    AgentLockGuard agentLock(GlobalAgentLock());
    for (const auto& observer : observers_) {
        try {
            observer(connected);
        } catch (const std::exception& e) {
            CFG_ERROR_CODE("LCP02007", "CfgUdsLink: status observer failed: %1", e.what());
        }
    }
}

void CfgUdsLink::OnMessageReceived(Common::StreamConnection& conn, const uint8_t* bytes,
                                   size_t length) {
    if (length < lcp::kFrameHeaderSize) {
        CFG_ERROR_CODE("LCP02002", "Message len %1 is smaller than header len %2", length,
                       lcp::kFrameHeaderSize);
        return;
    }
    uint32_t total = LoadBe32(bytes + 2);
    if (static_cast<int64_t>(total) - 6 != static_cast<int64_t>(length) - 6) {
        CFG_ERROR_CODE("LCP02001", "Payload len %1 does not match message header %2", length - 6,
                       static_cast<int64_t>(total) - 6);
        return;
    }
    if ((bytes[0] & lcp::kFragmentFlag) != 0 || (bytes[0] & lcp::kReservedMask) != 0 ||
        bytes[1] != lcp::kMsgTypeDpMsg) {
        CFG_ERROR_CODE("LCP02005",
                       "CfgUdsLink: unsupported DpMsg, fragment: %1, reserved: %2, type: %3",
                       (bytes[0] & lcp::kFragmentFlag) != 0 ? 1 : 0, bytes[0] & lcp::kReservedMask,
                       static_cast<unsigned>(bytes[1]));
        return;
    }
    bool becameActive;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        becameActive = activeConn_ == 0;
        activeConn_ = conn.ConnectionId();
    }
    if (becameActive)
        NotifyObservers(true);
    Dispatch(bytes + lcp::kFrameHeaderSize, length - lcp::kFrameHeaderSize);
}

void CfgUdsLink::Dispatch(const uint8_t* payload, size_t size) {
    orvane::ozy::lcp::LcpDpMsg msg;
    if (!msg.ParseFromArray(payload, static_cast<int>(size))) {
        CFG_ERROR_CODE("LCP02005", "CfgUdsLink: failed to parse LcpDpMsg of %1 bytes", size);
        return;
    }
    if (!msg.has_payload())
        return;
    auto it = handlers_.find(PayloadTypeName(msg.payload()));
    if (it == handlers_.end())
        return;
    AgentLockGuard agentLock(GlobalAgentLock());
    try {
        it->second(msg);
    } catch (const std::exception& e) {
        CFG_ERROR_CODE("LCP02007", "CfgUdsLink: handler of %1 failed: %2", it->first, e.what());
    }
}

bool CfgUdsLink::Send(const orvane::ozy::lcp::LcpDpMsg& msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t size = msg.ByteSizeLong();
    if (size == 0) {
        CFG_ERROR("Input message is empty");
        return false;
    }
    if (size + lcp::kFrameHeaderSize > lcp::kMaxFrameSize) {
        CFG_ERROR_CODE("LCP02005", "CfgUdsLink: message of %1 bytes exceeds the limit %2", size,
                       lcp::kMaxFrameSize);
        return false;
    }
    std::vector<uint8_t> buf;
    try {
        buf.assign(size + lcp::kFrameHeaderSize, 0);
    } catch (const std::bad_alloc&) {
        CFG_ERROR_CODE("LCP00021", "Failed to allocate DpMsg");
        return false;
    }
    uint32_t total = static_cast<uint32_t>(buf.size());
    buf[0] = 0;
    buf[1] = lcp::kMsgTypeDpMsg;
    buf[2] = static_cast<uint8_t>(total >> 24);
    buf[3] = static_cast<uint8_t>(total >> 16);
    buf[4] = static_cast<uint8_t>(total >> 8);
    buf[5] = static_cast<uint8_t>(total);
    msg.SerializeWithCachedSizesToArray(buf.data() + lcp::kFrameHeaderSize);
    std::shared_ptr<Common::UdsConnection> conn =
        activeConn_ != 0 && server_ ? server_->Find(activeConn_) : nullptr;
    if (!conn) {
        CFG_ERROR_CODE("LCP02003", "Active connection ID not exist");
        return false;
    }
    CFG_DEBUG("Sending DpMsg, Header of DpMsg: reserved: %1, fragment: %2, type: %3, len: %4", 0, 0,
              static_cast<unsigned>(lcp::kMsgTypeDpMsg), total);
    return conn->Write(std::move(buf));
}

bool CfgUdsLink::SendPayload(const google::protobuf::Message& payload) {
    orvane::ozy::lcp::LcpDpMsg msg;
    msg.mutable_payload()->PackFrom(payload);
    return Send(msg);
}

}  // namespace CfgAgent
