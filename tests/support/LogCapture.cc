#include "tests/support/LogCapture.h"

#include "tests/support/Await.h"

namespace CfgAgent::test {

LogCapture::LogCapture(int level, bool quietConsole)
    : savedLevel_(Logger::level()), savedConsole_(Logger::console()) {
    Logger::setLevel(level);
    Logger::setSyslog(false);
    if (quietConsole)
        Logger::setConsole(false);
    sinkId_ = Logger::addSink([this](const LogEntry& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(e);
    });
}

LogCapture::~LogCapture() {
    Logger::removeSink(sinkId_);
    Logger::setLevel(savedLevel_);
    Logger::setConsole(savedConsole_);
}

std::vector<LogEntry> LogCapture::Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

size_t LogCapture::Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : entries_) {
        if (e.message.find(text) != std::string::npos)
            ++n;
    }
    return n;
}

bool LogCapture::ContainsWithCode(const std::string& text, const std::string& code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& e : entries_) {
        if (e.message.find(text) == std::string::npos)
            continue;
        for (const auto& t : e.tags) {
            if (t == "errorCode:" + code)
                return true;
        }
    }
    return false;
}

int LogCapture::IndexOf(const std::string& text, size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = from; i < entries_.size(); ++i) {
        if (entries_[i].message.find(text) != std::string::npos)
            return static_cast<int>(i);
    }
    return -1;
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    return AwaitTrue([&] { return Contains(text); }, timeout);
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

std::string LogCapture::Dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& e : entries_) {
        out += e.structuredData + ' ' + e.message + '\n';
    }
    return out;
}

}  // namespace CfgAgent::test
