#pragma once
// SIApp (component SIAPP, application "si"): service insertion. Keeps the redirection policies,
// service chains and service paths of the database, chooses for each chain which paths fill its 7
// dataplane slots (SIPathSelector), and programs the dataplane through SI_Ioctl: chain entries,
// NSH entries ((SPI, service index) -> MAC of each hop), FAIL_SPI / UNFAIL_SPI marks, and the
// hops' MACs in the overlay MAC table. SIAlarmReporter, polled from the loop, raises the
// service-insertion infrastructure alarm.
//
// Rules:
// - Caches hold each object with a delete flag; the loop sends the deletes and then drops the
//   entries. An add of a uuid whose entry is flagged replaces the entry (the delete is not sent);
//   an add of a live policy or chain is ignored ("updates not allowed"); paths are updated.
// - A path update sends the NSH entries of its hops and deletes those of hops it no longer has. A
//   path some of whose hops have no MAC yet is not selected and its SPIs are marked failed until
//   every hop has one. A chain without a usable path has its chain entry deleted.
// - A full sync deletes the cached objects it does not list. The link coming up (the dataplane
//   restarted) sends everything again.
// - A batch the dataplane refuses stays owed and is sent again after the retry interval (or with
//   the next change), newer changes of the same entries winning.
//
// Threads: the dispatcher (UpdateDesiredState) and the kernel link's receiver only fill the
// caches under the application's mutex and wake the loop; only the loop (a work item, or the
// caller of ProcessUpdates in tests) talks to the dataplane, never holding the mutex while it
// does. CLI handlers run under the global agent lock and take the mutex.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "cli/CliPages.h"
#include "dataplane/DataplaneLink.h"
#include "dataplane/KrnlinkFactory.h"
#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "services/si/SIObjects.h"
#include "services/si/SIPathSelector.h"

namespace CfgAgent {

class IStateCacheConfigTable;
class MsgDispatcher;

namespace si {
class ISIDataplane;
class SIAlarmReporter;
}  // namespace si

struct SIAppOptions {
    MsgDispatcher* dispatcher = nullptr;
    IStateCacheConfigTable* configTable = nullptr;     // the transport node of the alarm
    KrnlinkFactory makeLink;                           // default: the system's kernel links
    std::shared_ptr<si::ISIDataplane> dataplane;       // default: SIDeviceDataplane
    std::shared_ptr<si::ISIDataplane> alarmDataplane;  // default: another SIDeviceDataplane
    si::SIPathSelector::Random random;                 // default: a seeded mt19937
    // Post the loop at start; tests leave it off and call ProcessUpdates and PollAlarms.
    bool postLoop = true;
};

class SIApp : public ozy::RefCounted<SIApp, Component> {
  public:
    static constexpr const char* kLinkName = "ozy_tarp_si_krnlink";
    static constexpr const char* kLinkPathKey = "krnlink.path";
    static constexpr const char* kAlarmPollKey = "default.alarm_poll_interval_ms";
    static constexpr const char* kRetryKey = "default.retry_interval_ms";
    static constexpr int kLinkBufferSize = 4096;
    // Entries per SI_Ioctl or overlay request (each stays far below the device's frame limit).
    static constexpr size_t kMaxBatch = 16384;

    explicit SIApp(SIAppOptions options);
    ~SIApp() override;

    // False (logged) when it cannot start.
    bool Start(const boost::property_tree::ptree& config);
    void Stop();

    void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) override;
    void HandleDpMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);

    // One pass of the loop: false when some batch failed (it stays owed).
    bool ProcessUpdates();
    void PollAlarms();

    // CLI pages "si/get-ordered-service-paths" and "si/get-selected-service-paths".
    void RegisterCliPages(CliPages& pages);
    CliReply OrderedPaths(const CliPages::Args& args) const;
    CliReply SelectedPaths(const CliPages::Args& args) const;

    // Tests: the chain's slots (path uuids), counts of live cache entries, the reporter.
    std::vector<std::string> Slots(const std::string& chainUuid) const;
    size_t PolicyCount() const;
    size_t ChainCount() const;
    size_t PathCount() const;
    si::SIAlarmReporter* AlarmReporter() { return alarms_.get(); }

  private:
    struct PolicyEntry {
        si::Policy policy;
        bool deleted = false;
    };
    struct ChainEntry {
        si::Chain chain;
        bool deleted = false;
        bool programmed = false;
        std::vector<std::string> slots;
    };
    using Ovl2Key = std::tuple<std::string, uint32_t, ozy::device::Mac>;
    struct PathEntry {
        si::Path path;
        bool deleted = false;
        bool failed = false;                       // its SPIs are marked failed
        std::map<uint32_t, ozy::device::Mac> nsh;  // (SPI << 8 | SI) -> MAC, as sent
        std::set<Ovl2Key> ovl2;                    // overlay entries it holds
    };
    // What one pass sends, taken from the owed state under the mutex.
    struct Batch {
        std::set<std::string> chainDeletes;
        std::map<uint32_t, ozy::device::Mac> nshSets;
        std::vector<ozy::device::SiChainEntry> chainSets;
        std::map<uint32_t, ozy::device::Mac> nshDeletes;
        std::map<uint32_t, uint8_t> failOps;
        std::set<Ovl2Key> ovl2Adds;
        std::set<Ovl2Key> ovl2Deletes;
        bool Empty() const;
    };

    void Run();
    void Wake();
    bool HandlePolicy(const CairnDBUpdateMsg& u, std::set<std::string>* seen);
    bool HandleChain(const CairnDBUpdateMsg& u, std::set<std::string>* seen);
    bool HandlePath(const CairnDBUpdateMsg& u, std::set<std::string>* seen);
    bool DeleteAbsent(const std::set<std::string>& policies, const std::set<std::string>& chains,
                      const std::set<std::string>& paths);

    // Under the mutex: the owed state of one pass.
    void BuildPath(const std::string& uuid);
    void BuildChainDelete(const std::string& uuid);
    void BuildPolicyDelete(const std::string& uuid);
    void BuildChain(uint16_t number, Batch* batch);
    void QueueNshSet(uint32_t key, const ozy::device::Mac& mac);
    void QueueNshDelete(uint32_t key, const ozy::device::Mac& mac);
    void Resync();
    // Under the mutex: a batch that failed is owed again unless newer changes replaced it.
    void Restore(Batch& failed);

    // Without the mutex.
    bool Send(Batch& batch);
    bool SendSi(uint32_t command, size_t entrySize, const std::vector<uint8_t>& entries,
                size_t count, const char* okText, const char* failText, const char* codeTag);
    bool SendOvl2(bool add, const std::set<Ovl2Key>& keys);

    std::vector<const si::Path*> ChainPaths(uint16_t number, bool usableOnly) const;
    std::string TransportNode() const;
    // The chain of a CLI argument; nullptr with the error reply set.
    const ChainEntry* CliChain(const std::string& arg, CliReply* error) const;

    SIAppOptions options_;
    si::SIPathSelector selector_;
    std::unique_ptr<si::SIAlarmReporter> alarms_;
    ozy::RefPtr<DataplaneLink> link_;
    std::chrono::milliseconds pollInterval_{30000};
    std::chrono::milliseconds retryInterval_{1000};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;
    bool stopping_ = false;
    bool work_ = false;
    bool registered_ = false;

    // Under mutex_.
    std::unordered_map<std::string, PolicyEntry> policies_;
    std::unordered_map<std::string, ChainEntry> chains_;
    std::unordered_map<uint16_t, std::string> chainByNumber_;
    std::unordered_map<std::string, PathEntry> paths_;
    std::unordered_map<uint16_t, std::set<std::string>> pathsByChain_;
    std::set<std::string> dirtyPaths_;
    std::set<uint16_t> dirtyChains_;
    std::set<std::string> deletedChains_;
    std::set<std::string> deletedPolicies_;
    std::map<Ovl2Key, size_t> ovl2Refs_;
    Batch owed_;
};

}  // namespace CfgAgent
