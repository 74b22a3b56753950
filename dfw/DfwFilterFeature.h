#pragma once
// The base of the firewall's per-port settings that follow profiles: flood protection
// (DfwFloodFeature), session timeouts (DfwTimeoutFeature) and DNS (DfwDnsProfileConfigFeature).
// Each member names its profile type, resolves a profile (or, without one, the defaults) into a
// list of values, checks their ranges and sets them on a filter with its firewall-library call.
//
// Profiles arrive per logical switch port from the profile service (SetConfig, on the service's
// thread): the callback only keeps the newest body per port in the request map under `mutex_`
// and wakes the process loop. processConfig runs on the process loop (DfwMain's pass) with the
// repository's firewall filters: it moves the requests out under `mutex_`, then, without it,
// resolves them into the wanted values per port and sets every filter whose applied values differ
// from its port's wanted ones. A body out of range is refused (LCP01153): its port keeps what it
// had and nothing of it is applied.
//
// What a filter holds is kept per (vif, filter name): a filter re-created for the same vif (a new
// name, or its old name with the repository reporting it found again) is new and gets its port's
// values again; a filter whose port changed is new as well. (A vif has one filter at a time: the
// record is found by vif and holds only while the name is the same.) A
// full sync of the profile service replaces what it had: a port it does not list reverts to the
// defaults. A failed set is tried again on the next pass. Filters without a logical switch port
// are never configured.
//
// Cost of a pass over a thousand filters: the filters and the records are walked together in vif
// order (no lookup per filter), a port's id is parsed only when its text changed, the wanted
// values are found by the port's parsed id, the CLI's view is updated in place, entry by entry,
// when something changed, and the sets of the pass go to the device together with the library's
// call for many filters (FW_SetFloodCfgs, ...): one wait for the device's answers instead of one
// per filter, each filter still with its own status and lines.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dfw/DfwFilterRepo.h"
#include "runtime/RefCounted.h"

struct FW_Handle;

namespace orvane::ozy::cairndb {
class ProfileMsg;
}
namespace ozy::upm {
class UPMService;
struct ProfileUpdate;
}  // namespace ozy::upm

namespace CfgAgent {

class DfwFilterFeature : public ozy::RefCounted<DfwFilterFeature, ozy::IRefCountable> {
  public:
    struct Options {
        FW_Handle* handle = nullptr;
        std::function<void()> wake;  // wakes the process loop; may be empty
    };
    // What one filter holds (the CLI's view).
    struct Applied {
        std::string filter;
        std::string lsp;
        std::string profile;  // the profile id; empty: the defaults
        std::vector<uint32_t> values;
        bool ok = false;  // false: the last set failed (tried again on the next pass)
    };

    ~DfwFilterFeature() override;

    // Unregisters the callback; requests received later are not taken.
    virtual void stop();
    // Registers the profile callback with `upm` (null: no profiles, every filter gets the
    // defaults).
    virtual bool start(ozy::upm::UPMService* upm);
    // The profile service's callback: the newest body per port joins the request map.
    virtual void SetConfig(const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync);
    // Sets the wanted values on the firewall filters (`filters`, by vif) that do not hold them;
    // false when some set failed. `added`: filters the repository found since the last pass (vif
    // to filter name), set again whatever they held (a filter deleted and created again under its
    // old name between two passes); `all`: the device may be new, every filter is set again.
    virtual bool processConfig(const DfwFilterRepo::FilterMap& filters,
                               const std::map<std::string, std::string>& added, bool all);

    uint32_t profileType() const { return words_.type; }
    // "flood", "timeout", "dns": the CLI's key.
    const char* key() const { return words_.key; }
    const std::vector<const char*>& valueNames() const { return words_.names; }
    // What each filter holds, by vif, as of the last pass.
    std::map<std::string, Applied> AppliedByVif() const;
    // Requests received and not yet processed.
    size_t Pending() const;
    // Whether the filter holds a profile's values (not the defaults); the process loop's.
    bool Profiled(const std::string& vif, const std::string& filter) const;

  protected:
    // The lines and names that tell the members apart.
    struct Words {
        const char* cls;  // "DfwTimeoutFeature"
        const char* key;
        uint32_t type;
        const char* what;  // "timeout" in the generic lines
        const char* callback;
        const char* updated;
        const char* bad;
        const char* realizing;
        const char* failed;
        const char* stopped;
        std::vector<const char*> names;  // of the values, in order
    };

    DfwFilterFeature(Options options, Words words);

    // The values of `profile` (null: the defaults) in the order of `names`; false with `why`
    // naming the first value out of its range.
    virtual bool Resolve(const orvane::ozy::cairndb::ProfileMsg* profile,
                         std::vector<uint32_t>* values, std::string* why) const = 0;
    // Sets values[i] on filters[i] for each filter of a pass, sent together; statuses[i]
    // receives filter i's library status (0 success).
    virtual void Set(FW_Handle* handle, const std::vector<const char*>& filters,
                     const std::vector<const std::vector<uint32_t>*>& values,
                     int* statuses) const = 0;

  private:
    struct Request {
        std::string profileId;
        // Serialized ProfileMsg, shared by the ports of one profile; null: the port has none now.
        std::shared_ptr<const std::string> body;
    };
    struct Wanted {
        std::string profileId;  // empty: the defaults
        std::vector<uint32_t> values;
    };
    // A port id parsed (left and right halves).
    using PortKey = std::pair<uint64_t, uint64_t>;
    // What one filter holds, with its port as last seen: the repository's text and what it
    // parses to (`hasPort` false: no port id).
    struct Held {
        Applied applied;
        std::string portText;
        PortKey port{};
        bool hasPort = false;
    };

    // Resolves the requests into `ports_`.
    void TakeRequests(std::map<std::string, Request> requests, bool fullSync);
    // The values of one request's body; none when it is refused (logged).
    std::optional<Wanted> Resolved(const Request& req) const;
    // A filter of the pass whose values are to be set.
    struct ToSet {
        const std::string* vif;
        const Wanted* want;
        Applied* entry;
        bool isNew;
    };
    // Sets the values of `sets` on their filters, sent together, and records what each filter
    // holds now; false when some set failed.
    bool Configure(const std::vector<ToSet>& sets);
    // The CLI's view follows `held_`, entry by entry.
    void Publish();

    Options options_;
    Words words_;
    ozy::upm::UPMService* upm_ = nullptr;
    int callbackId_ = 0;

    mutable std::mutex mutex_;                 // the requests and what the CLI reads
    std::map<std::string, Request> requests_;  // by port
    bool fullSync_ = false;                    // the requests start a full sync
    bool stopped_ = false;
    std::map<std::string, Applied> published_;  // by vif

    // The process loop's own.
    Wanted defaults_;
    std::map<PortKey, Wanted> ports_;                // ports with a profile
    std::map<std::string, Held, std::less<>> held_;  // by vif
};

}  // namespace CfgAgent
