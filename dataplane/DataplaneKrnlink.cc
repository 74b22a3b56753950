#include "dataplane/DataplaneKrnlink.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/krnlink/KrnlinkSockets.h"
#include "runtime/AsyncTimer.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"

namespace CfgAgent {

namespace {
constexpr int kPollTimeoutMs = 1000;
constexpr auto kDownWait = std::chrono::seconds(5);

std::string ErrnoText(int err) {
    return std::strerror(err);
}
}  // namespace

// One open connection. The descriptor is closed when the last holder lets go, so that a loop
// still using a connection closed by another thread never reads from a descriptor number that
// was reused for a newer one.
struct DataplaneKrnlink::Conn {
    Conn(ozy::krnlink::IKrnlinkSockets& s, int f) : sockets(s), fd(f) {}
    ~Conn() {
        if (sockets.Close(fd) < 0 && errno == EINTR) {
            // On Linux the descriptor is released even when close() is interrupted; closing it
            // again could close a descriptor another thread has just been given.
            CFG_ERROR_CODE("LCP00126", "Could not close netlink connection: %1, retry",
                           ErrnoText(EINTR));
        }
    }
    ozy::krnlink::IKrnlinkSockets& sockets;
    const int fd;
    std::atomic<bool> closed{false};
};

DataplaneKrnlink::DataplaneKrnlink(std::string name, ReceiveHandler receiveHandler,
                                   LinkStatusHandler linkStatusHandler, LinkCheck linkCheck,
                                   int bufferSize, ozy::krnlink::IKrnlinkSockets* sockets)
    : name_(std::move(name)),
      receiveHandler_(std::move(receiveHandler)),
      linkStatusHandler_(std::move(linkStatusHandler)),
      linkCheck_(std::move(linkCheck)),
      sockets_(sockets != nullptr ? *sockets : ozy::krnlink::SystemKrnlinkSockets()),
      bufferSize_(bufferSize),
      queue_(MsgQueue<DpMsg>::kUnbounded, false, true) {}

DataplaneKrnlink::~DataplaneKrnlink() = default;

bool DataplaneKrnlink::Connected() const {
    std::lock_guard<std::mutex> lock(linkMutex_);
    return connected_;
}

DataplaneKrnlink::ConnPtr DataplaneKrnlink::CurrentConn() const {
    std::lock_guard<std::mutex> lock(linkMutex_);
    return connected_ ? conn_ : nullptr;
}

// --- life cycle ---

bool DataplaneKrnlink::Start() {
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        if (started_ || stopped_) {
            CFG_ERROR("KrnLink: %1: start refused, the link was already started", name_);
            return false;
        }
        started_ = true;
    }
    Open();
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        timer_ = std::make_shared<AsyncTimer<DataplaneKrnlink>>(
            IoContext(), &DataplaneKrnlink::OnReopenTimer, this);
        timer_->start(kReopenIntervalMicros);
    }
    bool ok = WorkGroups::Post(
        MakeWorkItem(&DataplaneKrnlink::ReceiverLoop, this, "DataplaneKrnlink receiver"));
    ok = WorkGroups::Post(
             MakeWorkItem(&DataplaneKrnlink::SenderLoop, this, "DataplaneKrnlink sender")) &&
         ok;
    return ok;
}

void DataplaneKrnlink::Stop() {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        if (timer_) {
            timer_->stop();
            timer_.reset();
        }
    }
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        stopped_ = true;
        receiverRunning_ = false;
        senderRunning_ = false;
        CloseLocked(nullptr);
    }
    linkChanged_.notify_all();
    queue_.stop();
    DeliverStatus();
}

void DataplaneKrnlink::ScheduleReopen() {
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        if (stopped_)
            return;
    }
    std::lock_guard<std::mutex> lock(timerMutex_);
    if (timer_) {
        timer_->stop();
    }
    timer_ = std::make_shared<AsyncTimer<DataplaneKrnlink>>(IoContext(),
                                                            &DataplaneKrnlink::OnReopenTimer, this);
    timer_->start(kReopenIntervalMicros);
    CFG_DEBUG("dataplane krnlink reopen scheduled");
}

void DataplaneKrnlink::OnReopenTimer() {
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        if (stopped_)
            return;
        if (connected_ && conn_ && linkCheck_ && !linkCheck_(conn_->fd)) {
            CloseLocked(conn_);
        }
        OpenLocked();
    }
    DeliverStatus();
    std::lock_guard<std::mutex> lock(timerMutex_);
    if (timer_) {
        timer_->start(kReopenIntervalMicros);
    }
}

// --- open and close ---

void DataplaneKrnlink::Open() {
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        OpenLocked();
    }
    DeliverStatus();
}

void DataplaneKrnlink::OpenLocked() {
    const char* family = ozy::krnlink::kFamilyName;
    if (stopped_) {
        return;
    }
    if (connected_ && socket_ >= 0) {
        CFG_TRACE("Connection of %1 is OK", family);
        return;
    }
    int fd = sockets_.Socket();
    if (fd < 0) {
        CFG_ERROR_CODE("LCP00121", "Could not open %1 socket: %2, error: %3", family, fd,
                       ErrnoText(errno));
        return;
    }
    if (sockets_.Connect(fd, name_) < 0) {
        int err = errno;
        CFG_ERROR_CODE("LCP00122", "Could not connect to %1 socket (\"%2\"), error: %3", family,
                       name_, ErrnoText(err));
        sockets_.Close(fd);
        return;
    }
    CFG_DEBUG("connected to %1 socket %2", family, name_);
    if (sockets_.SetSendBufferSize(fd, bufferSize_) == 0) {
        CFG_INFO("%1 send buffer set to %2 bytes", family, bufferSize_);
    } else {
        CFG_ERROR_CODE("LCP00123", "Could not set %1 send buffer size: %2", family,
                       ErrnoText(errno));
    }
    if (sockets_.SetReceiveBufferSize(fd, bufferSize_) == 0) {
        CFG_INFO("%1 receive buffer set to %2 bytes", family, bufferSize_);
    } else {
        CFG_ERROR_CODE("LCP00123", "Could not set %1 receive buffer size: %2", family,
                       ErrnoText(errno));
    }
    conn_ = std::make_shared<Conn>(sockets_, fd);
    socket_ = fd;
    connected_ = true;
    pendingStatus_.push_back(kLinkUp);
    linkChanged_.notify_all();
}

void DataplaneKrnlink::Close(const ConnPtr& expected) {
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        CloseLocked(expected);
    }
    DeliverStatus();
}

void DataplaneKrnlink::CloseLocked(const ConnPtr& expected) {
    if (!connected_ || !conn_) {
        return;
    }
    if (expected && expected != conn_) {
        return;  // that connection was already replaced
    }
    conn_->closed = true;
    // Wakes a loop blocked on the socket; the descriptor goes when the last holder lets go.
    sockets_.Shutdown(conn_->fd);
    conn_.reset();
    connected_ = false;
    socket_ = -1;
    pendingStatus_.push_back(kLinkDown);
}

void DataplaneKrnlink::DeliverStatus() {
    std::unique_lock<std::mutex> lock(linkMutex_);
    if (delivering_) {
        return;  // the thread delivering now picks ours up too, in order
    }
    delivering_ = true;
    while (!pendingStatus_.empty()) {
        int status = pendingStatus_.front();
        pendingStatus_.pop_front();
        lock.unlock();
        if (linkStatusHandler_) {
            try {
                linkStatusHandler_(this, status);
            } catch (const std::bad_alloc&) {
                ExitOnAllocFailure();
            } catch (const std::exception& e) {
                CFG_ERROR("KrnLink: %1: link-status handler failed: %2", name_, e.what());
            }
        }
        lock.lock();
    }
    delivering_ = false;
}

void DataplaneKrnlink::WaitForLink(const bool& running) {
    std::unique_lock<std::mutex> lock(linkMutex_);
    linkChanged_.wait_for(lock, kDownWait, [&] { return !running || connected_; });
}

// --- sending ---

bool DataplaneKrnlink::Send(DpMsg msg) {
    // A length field that does not match the buffer would make the sender read past it.
    if (msg.size() < kDpMsgHeaderSize ||
        (DpMsgLength(msg.data()) != 0 &&
         (DpMsgLength(msg.data()) < kDpMsgHeaderSize || DpMsgLength(msg.data()) > msg.size()))) {
        CFG_ERROR_CODE("LCP00128", "KrnLink: %1: invalid message length %2, buffer of %3 bytes",
                       name_, msg.size() >= kDpMsgHeaderSize ? DpMsgLength(msg.data()) : 0,
                       msg.size());
        return false;
    }
    if (!queue_.put(std::move(msg))) {
        CFG_ERROR_CODE("LCP00008", "KrnLink: failed to put a message into queue");
        return false;
    }
    return true;
}

void DataplaneKrnlink::SenderLoop() {
    std::optional<DpMsg> pending;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(linkMutex_);
            if (!senderRunning_)
                break;
        }
        ConnPtr conn = CurrentConn();
        if (!conn) {
            WaitForLink(senderRunning_);
            continue;
        }
        if (!pending) {
            pending = queue_.get();
            if (!pending)
                continue;
            // The link may have gone down while we waited; then the message waits for it.
            conn = CurrentConn();
            if (!conn)
                continue;
        }
        const uint8_t* data = pending->data();
        size_t length = DpMsgLength(data);
        CFG_DEBUG("KrnLink: %1: get a message from controller: %2, length: %3", name_,
                  static_cast<const void*>(data), length);
        size_t offset = 0;
        size_t left = length;
        while (left > 0) {
            ssize_t n = sockets_.Send(conn->fd, data + offset, left);
            if (n < 0) {
                if (errno == EINTR) {
                    CFG_DEBUG("KrnLink: %1: hit signal, continue", name_);
                    continue;
                }
                bool running;
                {
                    std::lock_guard<std::mutex> lock(linkMutex_);
                    running = senderRunning_;
                }
                if (running) {
                    CFG_ERROR_CODE("LCP00127", "KrnLink: %1: link down", name_);
                }
                Close(conn);
                break;
            }
            left -= static_cast<size_t>(n);
            offset += static_cast<size_t>(n);
            CFG_DEBUG("KrnLink: %1: sending %2 bytes to kernel, left %3, offset %4", name_, n, left,
                      offset);
        }
        pending.reset();
    }
}

// --- receiving ---

bool DataplaneKrnlink::RecvAll(const ConnPtr& conn, uint8_t* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = sockets_.Recv(conn->fd, buf + got, size - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        int err = errno;
        if (n < 0 && err == EINTR) {
            continue;
        }
        bool quiet;
        {
            std::lock_guard<std::mutex> lock(linkMutex_);
            // Nothing to report when we closed it ourselves or are stopping.
            quiet = !receiverRunning_ || conn->closed;
        }
        if (!quiet) {
            CFG_ERROR_CODE("LCP00125", "krnlink %1: recv error: %2:%3", name_, n,
                           n == 0 ? std::string("connection closed by peer") : ErrnoText(err));
        }
        Close(conn);
        return false;
    }
    return true;
}

bool DataplaneKrnlink::ReceivePending(int waitMs) {
    ConnPtr conn = CurrentConn();
    return conn && sockets_.PollIn(conn->fd, waitMs < 0 ? 0 : waitMs) > 0;
}

void DataplaneKrnlink::ReceiverLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(linkMutex_);
            if (!receiverRunning_)
                break;
        }
        ConnPtr conn = CurrentConn();
        if (!conn) {
            WaitForLink(receiverRunning_);
            continue;
        }
        int rc = sockets_.PollIn(conn->fd, kPollTimeoutMs);
        if (rc == 0) {
            continue;
        }
        if (rc < 0) {
            int err = errno;
            if (err == EINTR)
                continue;
            CFG_ERROR_CODE("LCP00124", "krnlink %1: poll error: %2:%3", name_, rc, ErrnoText(err));
            Close(conn);
            continue;
        }
        uint8_t header[kDpMsgHeaderSize];
        if (!RecvAll(conn, header, sizeof header)) {
            continue;
        }
        size_t length = DpMsgLength(header);
        if (length < kDpMsgHeaderSize) {
            CFG_ERROR_CODE("LCP00128", "krnlink %1: invalid message length %2", name_, length);
            Close(conn);
            continue;
        }
        DpMsg msg;
        try {
            msg.assign(length, 0);
        } catch (const std::bad_alloc&) {
            ExitOnAllocFailure();
        }
        std::memcpy(msg.data(), header, sizeof header);
        if (!RecvAll(conn, msg.data() + kDpMsgHeaderSize, length - kDpMsgHeaderSize)) {
            continue;
        }
        CFG_DEBUG("krnLink %1: received %2 byte from kernel", name_, length);
        if (receiveHandler_) {
            try {
                receiveHandler_(msg.data(), length);
            } catch (const std::bad_alloc&) {
                ExitOnAllocFailure();
            } catch (const std::exception& e) {
                CFG_ERROR("KrnLink: %1: receive handler failed: %2", name_, e.what());
            }
        }
    }
}

}  // namespace CfgAgent
