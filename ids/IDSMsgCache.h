#pragma once
// IDSMsgCache (component IDS): the intrusion-detection part of the desired state. The dispatcher
// hands it IDS rule sections and rules, IDS context profiles, signature bundles, thresholds, the
// two IDS mode toggles, the oversubscription value of the global configuration and barriers; it
// keeps them, installs signature files through IDSSignature, and raises change flags that IDSApp's
// loop takes with TakeFlags.
//
// Rules:
// - TakeFlags swaps the flags out and snapshots what they announce (mode, oversubscription, the
//   rule and profile updates, the barrier, the batch status) under the cache's lock, in one step:
//   a batch landing meanwhile raises flags for the next take, never lost between a read and a
//   clear.
// - Updates carry deletions: the rule update lists removed ids (a full one is the whole map, an
//   empty full one clears it) and the profile update names removed profiles or is full.
// - A full sync is staged: it fills a fresh state that replaces the cache only when the whole
//   batch was taken; a failing full sync keeps the old state and owes the engine a full resend.
//   A failing incremental batch keeps what it could take and owes a full resend too.
// - A mode delete is honoured only from the message that set the mode.
// - Files: bundles are installed by IDSSignature on the dispatcher thread; a bad bundle leaves the
//   previous one in place.
//
// Threads: UpdateDesiredState on the dispatcher thread; TakeFlags and the queries on any thread.
// Everything is under the cache's mutex; the change callback (IDSApp::setHasUpdate) runs after it
// is released.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ids/IDSProfile.h"
#include "ids/IDSSignature.h"
#include "intake/Component.h"
#include "proto/idps.pb.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class IDSMsgCache : public ozy::RefCounted<IDSMsgCache, Component> {
  public:
    enum Flag : uint32_t {
        kFullSync = 1,
        kMode = 2,
        kProfiles = 8,
        kSignatures = 16,
        kOversubscription = 32,
        kRules = 64,
        kAll = kFullSync | kMode | kProfiles | kSignatures | kOversubscription | kRules,
    };
    // RUNTIME_STATUS code and text of a batch that could not be taken.
    static constexpr uint32_t kUpdateErrorCode = 8001;
    static constexpr const char* kUpdateErrorText =
        "failed to process idps config message, to see the failure details, please refer "
        "/var/log/ozy-syslog.log file on host";
    static constexpr uint32_t kIdsRuleType = 6;
    static constexpr uint32_t kActionDetect = 21;
    static constexpr uint32_t kActionPrevent = 24;
    static constexpr uint32_t kIdsSectionKind = 4;

    struct Paths {
        std::string confDir;  // host paths (ozy::hostPath applied)
        std::string ruleFile;
        std::string sigDumpDir;
        uint64_t maxInflatedBytes = 512ull << 20;
    };

    // What one TakeFlags hands the loop.
    struct Changes {
        uint32_t flags = 0;
        bool idsMode = false;
        uint32_t oversubscription = 0;
        bool hasOversubscription = false;
        orvane::ozy::lcp::idps::RuleUpdateMsg rules;        // when kRules
        orvane::ozy::lcp::idps::ProfileUpdateMsg profiles;  // when kProfiles
        uint64_t barrier = 0;
        bool updateFailed = false;  // the last batch could not be taken (RUNTIME_STATUS 8001)
    };

    using ChangedFn = std::function<void()>;

    IDSMsgCache();

    // Creates the configuration tree and placeholders; false (logged) when it cannot.
    bool Initialize(const Paths& paths);
    void SetChangedCallback(ChangedFn fn);

    void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) override;

    Changes TakeFlags();
    // The loop could not apply `flags`: the next take carries them again, as a full resend.
    void OweFullResend();
    // The engine restarted: its next update is a full one. False (nothing owed) before the first
    // full sync.
    bool EngineRestarted();

    bool primed() const;
    uint32_t PendingFlags() const;
    // Queries (CLI, tests).
    std::map<std::string, uint32_t> Rules() const;
    std::set<std::string> Sections() const;
    std::map<std::string, IDSProfile::Record> Profiles() const;
    bool IdsMode() const;
    std::optional<uint32_t> Oversubscription() const;
    uint64_t Barrier() const;
    bool DumpProfiles(const std::string& name, std::string* error) const;
    bool DumpSignatures() const;
    size_t SignatureCount() const;

  private:
    struct ModeSource {
        bool set = false;
        bool value = false;
        std::string msgId;
    };
    // Everything a full sync replaces.
    struct State {
        std::set<std::string> sections;
        std::map<std::string, uint32_t> rules;
        std::map<std::string, std::string> profileNames;  // context profile id -> profile name
        IDSProfile profiles;
        std::set<std::string> customBundles;  // ids of installed custom bundles
        ModeSource hostCfg;
        ModeSource toggle;
        std::optional<uint32_t> oversubscription;
        uint64_t barrier = 0;
        bool Mode() const;
    };
    // One batch's effect on a state: the flags it raises and the rule ids it touched.
    struct Delta {
        uint32_t flags = 0;
        std::set<std::string> rulesTouched;
        bool failed = false;
        bool relevant = false;
    };

    void Apply(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleSection(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleRule(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleProfile(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleMode(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleGlobal(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleBarrier(State& s, const CairnDBUpdateMsg& u);
    bool HandleSignatures(State& s, Delta& d, const CairnDBUpdateMsg& u);
    bool HandleThresholds(Delta& d, const CairnDBUpdateMsg& u);

    mutable std::mutex mutex_;
    ChangedFn changed_;
    Paths paths_;
    IDSSignature signatures_;
    State state_;
    bool primed_ = false;
    uint32_t flags_ = 0;
    // Rule ids changed since the last take (incremental updates only).
    std::set<std::string> rulesTouched_;
    bool updateFailed_ = false;
};

}  // namespace CfgAgent
