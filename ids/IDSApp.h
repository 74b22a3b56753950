#pragma once
// IDSApp (application "ids"): keeps the host's IDS engine and the dataplane's IDS settings in line
// with IDSMsgCache. Its loop (processRequest, a work item) wakes on a cache change or an engine
// (re)connection, takes the cache's flags and applies, in this order: the IDS mode and the
// oversubscription value on the shared filter (firewall library), the signature reload, the
// profile map and the rule map (IDSEngine). After every pass, also a failed one, it reports the
// processed barrier (PROCESSED_BARRIER, vertical 10) and its runtime status (RUNTIME_STATUS,
// component 10): empty, 8001 for a batch the cache could not take, or the apply-failure text.
//
// Rules:
// - An engine connection before the cache's first full sync is ignored (that sync sends
//   everything anyway); every later one is an engine restart and resends everything.
// - A pass that failed owes a full resend: with the engine connected it is retried after the retry
//   interval; a lost engine is resent on reconnection.
// - Engine queries of the CLI run off the global agent lock, on the CLI server's worker (their
//   pages are deferred), and wait at most the request deadline; the loop never holds that lock
//   either.
//
// Threads: the dispatcher feeds the cache; IDSEngine's loop calls setIdsConnected; the CLI
// server's thread and its worker run the pages. The loop's flags are under mutex_.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "cli/CliPages.h"
#include "ids/IDSEngine.h"
#include "ids/IDSMsgCache.h"
#include "runtime/RefCounted.h"

struct FW_Handle;

namespace CfgAgent {

class ICairndbClient;
class MsgDispatcher;

struct IDSAppOptions {
    MsgDispatcher* dispatcher = nullptr;
    ICairndbClient* cairndb = nullptr;
    // The shared filter's settings (status 0 on success); default: the firewall library.
    std::function<int(uint32_t mode)> setIdsMode;
    std::function<int(uint32_t value)> setOversubscription;
    // Post the loop at start; tests leave it off and call ProcessOnce.
    bool postLoop = true;
    // Start the engine channel's connection loop; tests that adopt a connection leave it off.
    bool connectEngine = true;
};

class IDSApp : public ozy::RefCounted<IDSApp> {
  public:
    static constexpr uint32_t kVerticalId = 10;
    static constexpr uint32_t kComponentId = 10;
    static constexpr const char* kApplyErrorText =
        "failed to apply idps config to the engine, check idps process status on host using "
        "'ozycli -c get ids engine status'";

    explicit IDSApp(IDSAppOptions options);
    ~IDSApp() override;

    bool startApp(const boost::property_tree::ptree& config);
    bool stopApp();

    void setHasUpdate();
    void setIdsConnected();

    // The loop, and one pass of it (false when something failed to apply).
    void processRequest();
    bool ProcessOnce();

    void RegisterCliPages(CliPages& pages);
    // One page by name (tests; the CLI calls the registered handlers).
    CliReply Page(const std::string& name, const CliPages::Args& args);

    IDSMsgCache* cache() { return cache_.get(); }
    IDSEngine* engine() { return engine_.get(); }
    uint64_t lastSidsLoaded() const;

  private:
    bool updateMode(bool enable);
    bool updateOversubscription(uint32_t value);
    void Report(const IDSMsgCache::Changes& c, bool applied);
    int SetOnSharedFilter(bool mode, uint32_t value);

    IDSAppOptions options_;
    ozy::RefPtr<IDSMsgCache> cache_;
    ozy::RefPtr<IDSEngine> engine_;
    std::chrono::milliseconds retryInterval_{1000};

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool hasUpdate_ = false;
    bool restarted_ = false;
    bool retryOwed_ = false;
    bool stopping_ = false;
    bool running_ = false;
    bool registered_ = false;

    // Loop thread only (read by the CLI under mutex_).
    uint64_t lastBarrier_ = 0;
    bool barrierWritten_ = false;
    std::string lastStatusBody_;
    bool statusWritten_ = false;
    uint64_t sidsLoaded_ = 0;
    std::mutex fwMutex_;
    ::FW_Handle* fw_ = nullptr;  // opened on first use
};

}  // namespace CfgAgent
