#include "runtime/Logger.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>

#include "platform/HostRoot.h"
#include "runtime/Metrics.h"
#include "runtime/OzyLogger.h"

namespace CfgAgent {

std::atomic<int> g_agentLogLevel{kLogInfo};
std::atomic<int> g_conduitLogLevel{kLogInfo};
std::atomic<int> g_dfwLogLevel{kLogInfo};
std::atomic<int> g_idsLogLevel{kLogInfo};

namespace {

// Element id of the structured-data element: product word and enterprise number.
constexpr const char* kSdId = "ozy@32473";
constexpr int kFacilityLocal6 = 22 << 3;
// Logger::setSubcomponent.
const char* g_subcomponent = "cfgAgent";

constexpr const char* kMessageIdsFile = "/opt/orvane/ozy-common/logging/message-ids.txt";
constexpr const char* kStructuredDataFile = "/opt/orvane/ozy-common/logging/structured-data.txt";

struct LoggerState {
    std::mutex outputMutex;  // serialises sinks so records never interleave
    std::atomic<bool> console{true};
    std::atomic<bool> syslog{true};
    std::mutex sinkMutex;
    std::vector<std::pair<int, Logger::Sink>> sinks;
    int nextSinkId = 1;
    Logger::SyslogHook syslogHook;
    std::atomic<bool> haveSinks{false};

    std::shared_ptr<ozy::metrics::Counter> logCount;
    std::shared_ptr<ozy::metrics::Latency> logLatency;
    std::atomic<bool> metricsOn{false};

    std::once_flag listsOnce;
    std::mutex listsMutex;
    std::vector<std::string> messageIds;
    std::set<std::string, std::less<>> sdKeys;
};

LoggerState& state() {
    static LoggerState* s = new LoggerState();  // never destroyed: logging works during exit
    return *s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> readList(const char* logicalPath) {
    std::vector<std::string> out;
    std::ifstream in(ozy::hostPath(logicalPath));
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty())
            out.push_back(line);
    }
    return out;
}

void loadLists(LoggerState& s) {
    auto ids = readList(kMessageIdsFile);
    auto keys = readList(kStructuredDataFile);
    std::lock_guard<std::mutex> lock(s.listsMutex);
    s.messageIds = std::move(ids);
    s.sdKeys = std::set<std::string, std::less<>>(keys.begin(), keys.end());
}

int severityOf(int level) {
    switch (level) {
        case kLogFatal:
        case kLogError:
            return LOG_ERR;
        case kLogWarn:
            return LOG_WARNING;
        case kLogInfo:
            return LOG_INFO;
        default:
            return LOG_DEBUG;
    }
}

// The time of a record ("2026-01-31T12:00:00.123+0000"), written into `out` without allocating.
void formatTimestamp(char (&out)[64]) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char head[32];
    strftime(head, sizeof(head), "%Y-%m-%dT%H:%M:%S", &tm);
    char zone[8];
    strftime(zone, sizeof(zone), "%z", &tm);
    snprintf(out, sizeof(out), "%s.%03ld%s", head, ts.tv_nsec / 1000000L, zone);
}

std::string timestamp() {
    char out[64];
    formatTimestamp(out);
    return out;
}

bool isConversion(char c) {
    switch (c) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
        case 's':
        case 'S':
        case 'c':
        case 'p':
        case 'f':
        case 'F':
        case 'e':
        case 'g':
            return true;
        default:
            return false;
    }
}

// Replaces "%N" (positional) and printf-style directives (sequential) by the argument texts.
std::string formatMessage(std::string_view fmt, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    size_t sequential = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%' || i + 1 >= fmt.size()) {
            out.push_back(c);
            continue;
        }
        char n = fmt[i + 1];
        if (n == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        if (n >= '1' && n <= '9') {
            size_t j = i + 1;
            size_t index = 0;
            while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9' && index < 1000) {
                index = index * 10 + static_cast<size_t>(fmt[j] - '0');
                ++j;
            }
            if (j < fmt.size() && fmt[j] == '%')
                ++j;  // "%1%" form
            if (index >= 1 && index <= args.size())
                out += args[index - 1];
            i = j - 1;
            continue;
        }
        // printf-style: flags, width, precision, length, conversion.
        size_t j = i + 1;
        while (j < fmt.size() && std::string_view("-+ #0").find(fmt[j]) != std::string_view::npos)
            ++j;
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9')
            ++j;
        if (j < fmt.size() && fmt[j] == '.') {
            ++j;
            while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9')
                ++j;
        }
        while (j < fmt.size() && std::string_view("hlLqjzt").find(fmt[j]) != std::string_view::npos)
            ++j;
        if (j < fmt.size() && isConversion(fmt[j])) {
            if (sequential < args.size()) {
                const std::string& a = args[sequential];
                if (fmt[j] == 'x' || fmt[j] == 'X') {
                    char* end = nullptr;
                    unsigned long long v = std::strtoull(a.c_str(), &end, 10);
                    if (end != nullptr && *end == '\0' && !a.empty()) {
                        char buf[32];
                        snprintf(buf, sizeof(buf), fmt[j] == 'x' ? "%llx" : "%llX", v);
                        out += buf;
                    } else {
                        out += a;
                    }
                } else {
                    out += a;
                }
            }
            ++sequential;
            i = j;
            continue;
        }
        out.push_back(c);
    }
    return out;
}

void splitTag(const std::string& tag, std::string& key, std::string& value) {
    size_t colon = tag.find(':');
    if (colon == std::string::npos) {
        key = "tag";
        value = tag;
    } else {
        key = tag.substr(0, colon);
        value = tag.substr(colon + 1);
    }
}

}  // namespace

const char* LogLevelName(int level) {
    switch (level) {
        case kLogOff:
            return "off";
        case kLogFatal:
            return "fatal";
        case kLogError:
            return "error";
        case kLogWarn:
            return "warn";
        case kLogInfo:
            return "info";
        case kLogDebug:
            return "debug";
        case kLogTrace:
            return "trace";
        default:
            return nullptr;
    }
}

int LogLevelFromName(std::string_view name) {
    for (int l = kLogOff; l <= kLogTrace; ++l) {
        if (name == LogLevelName(l))
            return l;
    }
    return -1;
}

std::string LogPointerText(const void* p) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

std::string LogDoubleText(double v) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%f", v);
    return buf;
}

Logger::Logger(int level, std::string_view format) : level_(level), format_(format) {}

Logger& Logger::addTag(std::string_view tag) {
    if (!tag.empty())
        tags_.emplace_back(tag);
    return *this;
}
Logger& Logger::s2comp(std::string_view name) {
    s2comp_ = std::string(name);
    return *this;
}
Logger& Logger::entId(std::string_view id) {
    entId_ = std::string(id);
    return *this;
}
Logger& Logger::tenant(std::string_view org, std::string_view proj, std::string_view vpc) {
    org_ = std::string(org);
    proj_ = std::string(proj);
    vpc_ = std::string(vpc);
    return *this;
}
namespace {
// The calling thread's tenant (ScopedLogTenant): organisation, project, VPC.
thread_local std::string t_tenant[3];
}  // namespace

ScopedLogTenant::ScopedLogTenant(std::string_view org, std::string_view proj,
                                 std::string_view vpc) {
    const std::string_view now[3] = {org, proj, vpc};
    for (int i = 0; i < 3; ++i) {
        saved_[i] = std::move(t_tenant[i]);
        t_tenant[i] = std::string(now[i]);
    }
}

ScopedLogTenant::~ScopedLogTenant() {
    for (int i = 0; i < 3; ++i)
        t_tenant[i] = std::move(saved_[i]);
}

Logger& Logger::markInvalid() {
    invalid_ = true;
    return *this;
}

std::string Logger::formattedMessage() const {
    return formatMessage(format_, args_);
}

void Logger::emit() {
    LoggerState& s = state();
    const char* levelName =
        (level_ >= kLogFatal && level_ <= kLogTrace) ? LogLevelName(level_) : nullptr;
    if (levelName == nullptr) {
        char buf[64];
        snprintf(buf, sizeof(buf), "Invalid log level %d", level_);
        syslogRaw(LOG_ERR, buf);
        args_.clear();
        tags_.clear();
        return;
    }
    auto start = std::chrono::steady_clock::now();
    std::call_once(s.listsOnce, [&s] { loadLists(s); });

    LogEntry entry;
    entry.level = level_;
    entry.message = formatMessage(format_, args_);

    bool invalid = invalid_;
    std::string sd;
    sd.reserve(128);
    sd += '[';
    sd += kSdId;
    sd += " comp=\"ozy-controller\" subcomp=\"";
    sd += g_subcomponent;
    sd += '"';
    if (!s2comp_.empty())
        sd += " s2comp=\"" + s2comp_ + "\"";
    if (!entId_.empty())
        sd += " entId=\"" + entId_ + "\"";
    char tid[24];
    snprintf(tid, sizeof(tid), "%lX", static_cast<long>(syscall(SYS_gettid)));
    sd += " tid=\"";
    sd += tid;
    sd += "\" level=\"";
    sd += levelName;
    sd += '"';
    const bool ownTenant = !org_.empty();
    const std::string& org = ownTenant ? org_ : t_tenant[0];
    if (!org.empty()) {
        const std::string& proj = ownTenant ? proj_ : t_tenant[1];
        const std::string& vpc = ownTenant ? vpc_ : t_tenant[2];
        sd += " org=\"" + org + "\"";
        if (!proj.empty()) {
            sd += " proj=\"" + proj + "\"";
            if (!vpc.empty())
                sd += " vpc=\"" + vpc + "\"";
        }
    }
    {
        std::lock_guard<std::mutex> lock(s.listsMutex);
        for (const std::string& t : tags_) {
            std::string key, value;
            splitTag(t, key, value);
            sd += ' ' + key + "=\"" + value + '"';
            if (!s.sdKeys.empty() && s.sdKeys.find(key) == s.sdKeys.end())
                invalid = true;
        }
    }
    if (invalid)
        sd += " invalid=\"true\"";
    sd += ']';

    entry.tags = std::move(tags_);
    entry.structuredData = std::move(sd);
    std::string ts = timestamp();
    entry.line = ts + ' ' + entry.structuredData + ' ' + entry.message;

    {
        std::lock_guard<std::mutex> lock(s.outputMutex);
        if (s.syslog.load(std::memory_order_relaxed) || s.syslogHook) {
            std::string text = "OZY " + std::to_string(getpid()) + " - " + entry.structuredData +
                               ' ' + entry.message;
            int priority = kFacilityLocal6 | severityOf(level_);
            if (s.syslogHook) {
                s.syslogHook(priority, text);
            } else {
                ::syslog(priority, "%s", text.c_str());
            }
        }
        if (s.console.load(std::memory_order_relaxed)) {
            fwrite(entry.line.data(), 1, entry.line.size(), stdout);
            fputc('\n', stdout);
            fflush(stdout);
        }
        if (s.haveSinks.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> sinkLock(s.sinkMutex);
            for (auto& [id, sink] : s.sinks) {
                sink(entry);
            }
        }
    }
    if (s.metricsOn.load(std::memory_order_acquire)) {
        s.logCount->inc();
        s.logLatency->record(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
    }
    args_.clear();
    tags_.clear();
}

void Logger::setLevel(int level) {
    g_agentLogLevel.store(level, std::memory_order_relaxed);
    ozy::Logger::logLevel.store(level, std::memory_order_relaxed);
}

void Logger::setConsole(bool on) {
    state().console.store(on);
}
bool Logger::console() {
    return state().console.load();
}
void Logger::setSubcomponent(const char* name) {
    g_subcomponent = name;
}

void Logger::setSyslog(bool on) {
    state().syslog.store(on);
}

int Logger::addSink(Sink sink) {
    LoggerState& s = state();
    std::lock_guard<std::mutex> out(s.outputMutex);
    std::lock_guard<std::mutex> lock(s.sinkMutex);
    int id = s.nextSinkId++;
    s.sinks.emplace_back(id, std::move(sink));
    s.haveSinks.store(true, std::memory_order_release);
    return id;
}

void Logger::removeSink(int id) {
    LoggerState& s = state();
    std::lock_guard<std::mutex> out(s.outputMutex);
    std::lock_guard<std::mutex> lock(s.sinkMutex);
    for (auto it = s.sinks.begin(); it != s.sinks.end(); ++it) {
        if (it->first == id) {
            s.sinks.erase(it);
            break;
        }
    }
    s.haveSinks.store(!s.sinks.empty(), std::memory_order_release);
}

void Logger::setSyslogHook(SyslogHook hook) {
    LoggerState& s = state();
    std::lock_guard<std::mutex> out(s.outputMutex);
    s.syslogHook = std::move(hook);
}

void Logger::syslogRaw(int priority, const std::string& text) {
    LoggerState& s = state();
    if (s.syslogHook) {
        s.syslogHook(priority, text);
    } else {
        ::syslog(priority, "%s", text.c_str());
    }
}

void Logger::attachMetrics(ozy::metrics::Registry* registry) {
    LoggerState& s = state();
    if (registry == nullptr) {
        s.metricsOn.store(false, std::memory_order_release);
        return;
    }
    if (s.metricsOn.load())
        return;
    s.logCount = registry->counter("log/count");
    s.logLatency = registry->latency("log/latency");
    s.metricsOn.store(true, std::memory_order_release);
}

void Logger::reloadReferenceLists() {
    LoggerState& s = state();
    std::call_once(s.listsOnce, [] {});
    loadLists(s);
}

namespace {

constexpr const char kAllocFailText[] = "CFGAGENT_ALLOC_FAIL : CfgAgent error: no memory!";

// Memory set aside at start-up and given back when an allocation fails, so that what reports the
// failure (the C library's syslog) finds some.
std::atomic<void*> g_allocReserve{nullptr};

// One error record on the console, laid out as emit() lays it out, built on the stack: nothing
// here allocates.
void WriteConsoleErrorLine(const char* text) {
    char stamp[64];
    formatTimestamp(stamp);
    char line[512];
    int n = snprintf(line, sizeof(line),
                     "%s [%s comp=\"ozy-controller\" subcomp=\"%s\" tid=\"%lX\" "
                     "level=\"error\"] %s\n",
                     stamp, kSdId, g_subcomponent, static_cast<long>(syscall(SYS_gettid)), text);
    if (n <= 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof(line) - 1);
    for (size_t done = 0; done < len;) {
        ssize_t w = ::write(STDOUT_FILENO, line + done, len - done);
        if (w <= 0)
            break;
        done += static_cast<size_t>(w);
    }
}

}  // namespace

void ReserveMemoryForAllocFailure(size_t bytes) {
    // The failure path reads the logger's settings: they must exist before memory runs out.
    (void)state();
    void* p = std::malloc(bytes);
    if (p != nullptr)
        memset(p, 0, bytes);  // resident, not just promised
    void* old = g_allocReserve.exchange(p);
    std::free(old);
}

void ExitOnAllocFailure(const char* errorLine) {
    std::free(g_allocReserve.exchange(nullptr));
    // What the logger holds is written first, then the two lines straight to their ends.
    fflush(stdout);
    const bool console = Logger::console();
    if (errorLine != nullptr && Logger::enabled(kLogError)) {
        ::syslog(kFacilityLocal6 | LOG_ERR, "OZY %d - [%s comp=\"ozy-controller\"] %s",
                 static_cast<int>(getpid()), kSdId, errorLine);
        if (console)
            WriteConsoleErrorLine(errorLine);
    }
    ::syslog(LOG_ERR, "%s", kAllocFailText);
    if (console)
        WriteConsoleErrorLine(kAllocFailText);
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    std::_Exit(1);
}

}  // namespace CfgAgent

namespace ozy {

std::atomic<int> Logger::logLevel{4};

Logger::Logger(int level) : level_(level) {}

Logger::~Logger() {
    CfgAgent::Logger rec(level_, "%1");
    rec.arg(message_);
    for (const auto& t : tags_)
        rec.addTag(t);
    if (!entId_.empty())
        rec.entId(entId_);
    if (s2comp_ != nullptr)
        rec.s2comp(s2comp_);
    rec.emit();
}

Logger& Logger::put(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n > 0) {
        std::string buf(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(buf.data(), buf.size(), format, ap);
        buf.resize(static_cast<size_t>(n));
        message_ += buf;
    }
    va_end(ap);
    return *this;
}

Logger& Logger::tag(const char* text) {
    if (text != nullptr && *text != '\0')
        tags_.emplace_back(text);
    return *this;
}
Logger& Logger::entid(const char* text) {
    if (text != nullptr && *text != '\0')
        entId_ = text;
    return *this;
}
Logger& Logger::s2comp(const char* text) {
    s2comp_ = text;
    return *this;
}

}  // namespace ozy
