#include "net/BasicConnection.h"

#include <algorithm>
#include <sstream>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "net/NetLog.h"
#include "net/TcpConnectionListener.h"

namespace Common {

namespace {

// Buffers handed to one gathered write.
constexpr size_t kMaxGather = 64;

std::string EndpointText(const boost::asio::ip::tcp::endpoint& ep) {
    std::ostringstream out;
    out << ep;
    return out.str();
}

std::string EndpointText(const boost::asio::local::stream_protocol::endpoint& ep) {
    return ep.path();
}

template <typename Socket>
std::string RemoteText(const Socket& s) {
    boost::system::error_code ec;
    auto ep = s.remote_endpoint(ec);
    return ec ? std::string() : EndpointText(ep);
}

template <typename Socket>
std::string LocalText(const Socket& s) {
    boost::system::error_code ec;
    auto ep = s.local_endpoint(ec);
    return ec ? std::string() : EndpointText(ep);
}

}  // namespace

template <typename Protocol>
BasicConnection<Protocol>::BasicConnection(const char* kind, Socket socket, ConnectionStrand strand,
                                           uint32_t id, TcpConnectionListener* listener,
                                           ConnectionLimits limits)
    : socket_(std::move(socket)),
      strand_(std::move(strand)),
      id_(id),
      listener_(listener),
      limits_(limits) {
    description_ = std::string(kind) + "(" + std::to_string(id_) +
                   ")(remote=" + RemoteText(socket_) + ",local=" + LocalText(socket_) + "):";
}

template <typename Protocol>
BasicConnection<Protocol>::~BasicConnection() = default;

template <typename Protocol>
std::string BasicConnection<Protocol>::Description() const {
    return description_;
}

template <typename Protocol>
std::string BasicConnection<Protocol>::RemoteEndpoint() const {
    return RemoteText(socket_);
}

template <typename Protocol>
size_t BasicConnection<Protocol>::AvailableBytes() const {
    boost::system::error_code ec;
    size_t n = socket_.available(ec);
    return ec ? 0 : n;
}

template <typename Protocol>
size_t BasicConnection<Protocol>::PayloadSizeFromHeader(const uint8_t* header) const {
    return (static_cast<size_t>(header[0]) << 24) | (static_cast<size_t>(header[1]) << 16) |
           (static_cast<size_t>(header[2]) << 8) | header[3];
}

template <typename Protocol>
void BasicConnection<Protocol>::Start() {
    NET_LOG(CfgAgent::kLogDebug).put("%s start", description_.c_str());
    auto self = this->shared_from_this();
    boost::asio::dispatch(strand_, [self] { self->ReadHeader(); });
}

template <typename Protocol>
void BasicConnection<Protocol>::ReadHeader() {
    if (reported_)
        return;
    headerSize_ = HeaderSize();
    readBuf_.resize(headerSize_);
    auto self = this->shared_from_this();
    boost::asio::async_read(
        socket_, boost::asio::buffer(readBuf_.data(), headerSize_),
        boost::asio::bind_executor(strand_, [self](const boost::system::error_code& ec, size_t n) {
            self->OnRead(ec, n, true);
        }));
}

template <typename Protocol>
void BasicConnection<Protocol>::OnRead(const boost::system::error_code& ec, size_t bytes,
                                       bool header) {
    if (reported_)
        return;
    if (ec) {
        // What arrived of a message cut short by the peer goes to the listener, which judges it.
        size_t received = header ? bytes : headerSize_ + bytes;
        if (ec == boost::asio::error::eof && received > 0)
            listener_->OnMessageReceived(*this, readBuf_.data(), received);
        Fail("ReadCallback", ec, bytes);
        return;
    }
    if (header) {
        size_t payload = PayloadSizeFromHeader(readBuf_.data());
        NET_LOG(CfgAgent::kLogDebug)
            .put("%s%s expected payload size=%lu", description_.c_str(), "ReadCallback",
                 static_cast<unsigned long>(payload));
        uint64_t total = static_cast<uint64_t>(headerSize_) + payload;
        if (total > listener_->MaxMessageSize()) {
            NET_LOG(CfgAgent::kLogError)
                .put("%s message of %llu bytes exceeds the limit of %lu bytes, closing",
                     description_.c_str(), static_cast<unsigned long long>(total),
                     static_cast<unsigned long>(listener_->MaxMessageSize()));
            listener_->OnOversizedMessage(id_, total);
            CloseAndReport();
            return;
        }
        if (payload > 0) {
            readBuf_.resize(headerSize_ + payload);
            auto self = this->shared_from_this();
            boost::asio::async_read(socket_,
                                    boost::asio::buffer(readBuf_.data() + headerSize_, payload),
                                    boost::asio::bind_executor(
                                        strand_, [self](const boost::system::error_code& e,
                                                        size_t n) { self->OnRead(e, n, false); }));
            return;
        }
    }
    listener_->OnMessageReceived(*this, readBuf_.data(), readBuf_.size());
    ReadHeader();
}

template <typename Protocol>
bool BasicConnection<Protocol>::Write(std::vector<uint8_t> buffer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            NET_LOG(CfgAgent::kLogWarn)
                .put("%s write on a closed connection", description_.c_str());
            return false;
        }
        if (queuedBytes_ + buffer.size() > limits_.maxQueuedBytes) {
            NET_LOG(CfgAgent::kLogError)
                .put("%s outgoing queue full (%lu bytes queued), message of %lu bytes dropped",
                     description_.c_str(), static_cast<unsigned long>(queuedBytes_),
                     static_cast<unsigned long>(buffer.size()));
            return false;
        }
        queuedBytes_ += buffer.size();
        queue_.push_back(std::move(buffer));
        if (writing_)
            return true;
        writing_ = true;
    }
    auto self = this->shared_from_this();
    boost::asio::post(strand_, [self] { self->StartWrite(); });
    return true;
}

template <typename Protocol>
void BasicConnection<Protocol>::StartWrite() {
    std::vector<boost::asio::const_buffer> buffers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || queue_.empty()) {
            writing_ = false;
            return;
        }
        // References to deque elements stay valid while others are appended.
        size_t n = std::min(queue_.size(), kMaxGather);
        buffers.reserve(n);
        for (size_t i = 0; i < n; ++i)
            buffers.emplace_back(queue_[i].data(), queue_[i].size());
        inFlight_ = n;
    }
    auto self = this->shared_from_this();
    boost::asio::async_write(
        socket_, buffers,
        boost::asio::bind_executor(strand_, [self](const boost::system::error_code& ec, size_t n) {
            self->OnWrite(ec, n);
        }));
}

template <typename Protocol>
void BasicConnection<Protocol>::OnWrite(const boost::system::error_code& ec, size_t bytes) {
    if (ec) {
        if (!reported_)
            Fail("WriteCallback", ec, bytes);
        return;
    }
    bool more;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < inFlight_ && !queue_.empty(); ++i) {
            queuedBytes_ -= queue_.front().size();
            queue_.pop_front();
        }
        inFlight_ = 0;
        more = !closed_ && !queue_.empty();
        if (!more)
            writing_ = false;
    }
    if (more)
        StartWrite();
}

template <typename Protocol>
void BasicConnection<Protocol>::Fail(const char* op, const boost::system::error_code& ec,
                                     size_t bytes) {
    bool aborted = ec == boost::asio::error::operation_aborted;
    int level = aborted ? CfgAgent::kLogDebug : CfgAgent::kLogInfo;
    NET_LOG(level).put("%s%s error=%s, bytes=%lu", description_.c_str(), op, ec.message().c_str(),
                       static_cast<unsigned long>(bytes));
    NET_LOG(level).put(
        std::string(op) == "WriteCallback" ? "%s write error %s" : "%s read error %s",
        description_.c_str(), ec.message().c_str());
    CloseAndReport();
}

template <typename Protocol>
void BasicConnection<Protocol>::CloseAndReport() {
    if (reported_)
        return;
    reported_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        queue_.clear();
        queuedBytes_ = 0;
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
    listener_->OnConnectionStatusChanged(id_, 0);
    if (closedHandler_)
        closedHandler_(id_);
}

template <typename Protocol>
void BasicConnection<Protocol>::Stop() {
    auto self = this->shared_from_this();
    boost::asio::post(strand_, [self] {
        NET_LOG(CfgAgent::kLogDebug).put("%s Stop()", self->description_.c_str());
        boost::system::error_code ec;
        self->socket_.cancel(ec);
        if (ec && ec != boost::asio::error::bad_descriptor) {
            NET_LOG(CfgAgent::kLogWarn)
                .put("%s stop error %s", self->description_.c_str(), ec.message().c_str());
        }
        self->CloseAndReport();
    });
}

template <typename Protocol>
void BasicConnection<Protocol>::CloseNow() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        queue_.clear();
        queuedBytes_ = 0;
    }
    reported_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
}

template <typename Protocol>
bool BasicConnection<Protocol>::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

template <typename Protocol>
size_t BasicConnection<Protocol>::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queuedBytes_;
}

template class BasicConnection<boost::asio::ip::tcp>;
template class BasicConnection<boost::asio::local::stream_protocol>;

}  // namespace Common
