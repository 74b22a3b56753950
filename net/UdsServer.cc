#include "net/UdsServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/bind_executor.hpp>
#include <boost/system/system_error.hpp>

#include "net/NetLog.h"

namespace Common {

namespace {

bool TransientAcceptError(const boost::system::error_code& ec) {
    if (ec.category() != boost::system::system_category())
        return false;
    switch (ec.value()) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EINTR:
        case EAGAIN:
        case EPROTO:
            return true;
        default:
            return false;
    }
}

[[noreturn]] void ThrowStep(int err, const char* step) {
    throw boost::system::system_error(
        boost::system::error_code(err, boost::system::system_category()), step);
}

}  // namespace

UdsServer::UdsServer(boost::asio::io_context& io, std::string path, std::string label,
                     UdsConnectionListener* listener, ConnectionFactory factory, Options options)
    : io_(io),
      strand_(boost::asio::make_strand(io)),
      path_(std::move(path)),
      description_("UdsServer(" + label + "):"),
      listener_(listener),
      factory_(std::move(factory)),
      options_(options),
      acceptor_(io),
      retry_(io) {}

UdsServer::~UdsServer() {
    Close();
}

void UdsServer::Start() {
    // Only a socket left by an earlier run is replaced: a regular file or a link at the path is
    // somebody else's, and removing it could be used to delete any file this process may delete.
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            ThrowStep(EEXIST, "unlink");
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
            ThrowStep(errno, "unlink");
    } else if (errno != ENOENT) {
        ThrowStep(errno, "unlink");
    }
    boost::system::error_code ec;
    acceptor_.open(boost::asio::local::stream_protocol(), ec);
    if (ec)
        throw boost::system::system_error(ec, "open");
    boost::asio::local::stream_protocol::endpoint endpoint;
    try {
        endpoint = boost::asio::local::stream_protocol::endpoint(path_);
    } catch (const boost::system::system_error& e) {
        ec = e.code();  // a path longer than a socket address holds
    }
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (ec) {
        acceptor_.close();
        throw boost::system::system_error(ec, "bind");
    }
    if (options_.socketMode != 0 && ::chmod(path_.c_str(), options_.socketMode) != 0) {
        int err = errno;
        acceptor_.close();
        ::unlink(path_.c_str());
        ThrowStep(err, "chmod");
    }
    struct stat bound;
    if (::lstat(path_.c_str(), &bound) == 0) {
        boundDev_ = bound.st_dev;
        boundIno_ = bound.st_ino;
    }
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec) {
        acceptor_.close();
        ::unlink(path_.c_str());
        throw boost::system::system_error(ec, "listen");
    }
    NET_LOG(CfgAgent::kLogInfo).put("%s started to accept connections", description_.c_str());
    auto self = shared_from_this();
    boost::asio::post(strand_, [self] { self->DoAccept(); });
}

void UdsServer::DoAccept() {
    if (closed_ || !acceptor_.is_open())
        return;
    auto self = shared_from_this();
    acceptor_.async_accept(boost::asio::bind_executor(
        strand_, [self](const boost::system::error_code& ec, Socket socket) {
            self->OnAccept(ec, std::move(socket));
        }));
}

void UdsServer::OnAccept(const boost::system::error_code& ec, Socket socket) {
    NET_LOG(CfgAgent::kLogDebug).put("%s connection request received", description_.c_str());
    if (ec) {
        if (ec == boost::asio::error::operation_aborted || closed_)
            return;
        if (TransientAcceptError(ec)) {
            NET_LOG(CfgAgent::kLogWarn)
                .put("%s accept error %s, retry in %lld ms", description_.c_str(),
                     ec.message().c_str(), static_cast<long long>(options_.acceptRetry.count()));
            retry_.expires_after(options_.acceptRetry);
            auto self = shared_from_this();
            retry_.async_wait(boost::asio::bind_executor(
                strand_, [self](const boost::system::error_code& e) { self->OnRetryTimer(e); }));
            return;
        }
        NET_LOG(CfgAgent::kLogError)
            .put("%s accept error %s, abort", description_.c_str(), ec.message().c_str());
        return;
    }
    if (closed_ || !acceptor_.is_open()) {
        NET_LOG(CfgAgent::kLogWarn).put("%s acceptor closed on new conn", description_.c_str());
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    uint32_t id = NextId();
    std::shared_ptr<UdsConnection> conn = factory_(std::move(socket), strand_, id, listener_);
    std::weak_ptr<UdsServer> weak = weak_from_this();
    conn->SetClosedHandler([weak](uint32_t closedId) {
        if (auto server = weak.lock())
            server->Forget(closedId);
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[id] = conn;
    }
    conn->Start();
    NET_LOG(CfgAgent::kLogInfo)
        .put("%s%s conn %d status %d", description_.c_str(), "DoUdsConnectionNotify",
             static_cast<int>(id), 1);
    listener_->OnConnectionStatusChanged(id, 1);
    DoAccept();
}

void UdsServer::OnRetryTimer(const boost::system::error_code& ec) {
    if (ec || closed_)
        return;
    DoAccept();
}

uint32_t UdsServer::NextId() {
    std::lock_guard<std::mutex> lock(mutex_);
    do {
        ++nextId_;
    } while (nextId_ == 0 || connections_.count(nextId_) != 0);
    return nextId_;
}

void UdsServer::Forget(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(id);
}

std::shared_ptr<UdsConnection> UdsServer::Find(uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(id);
    return it != connections_.end() ? it->second : nullptr;
}

bool UdsServer::StopConnection(uint32_t id) {
    std::shared_ptr<UdsConnection> conn = Find(id);
    if (!conn) {
        NET_LOG(CfgAgent::kLogWarn)
            .put("%s%s, cannot find %d", description_.c_str(), "Stop", static_cast<int>(id));
        return false;
    }
    conn->Stop();
    return true;
}

size_t UdsServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

void UdsServer::Close() {
    if (closed_ && !acceptor_.is_open())
        return;
    closed_ = true;
    boost::system::error_code ignored;
    retry_.cancel(ignored);
    bool wasOpen = acceptor_.is_open();
    acceptor_.close(ignored);
    std::map<uint32_t, std::shared_ptr<UdsConnection>> conns;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conns.swap(connections_);
    }
    for (auto& [id, conn] : conns)
        conn->CloseNow();
    // Remove the socket file only if it is still the one this server bound (a newer process may
    // have replaced it).
    struct stat st;
    if (wasOpen && ::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == boundDev_ && st.st_ino == boundIno_)
        ::unlink(path_.c_str());
}

}  // namespace Common
