#pragma once
// IpDiscovery: the discovered IP/MAC bindings of every VIF, from two sources, merged.
//
// - The dataplane's own discovery (ARP, DHCP, ND snooping) arrives in KCP VIF updates, which
//   ConfigApp hands over (ProcessVifUpdate for the connection state, ProcessIpDiscList for the
//   bindings), as deltas or, when the dataplane's full sync ends, as the complete lists.
// - The guest tools' bindings arrive as DA_VIF objects from the database (UpdateDesiredState).
//   A DA_VIF object is identified by its VIF's UUID.
// The effective bindings of a VIF are the dataplane's followed by the guest tools' that are not
// already among them. Whenever they may have changed, the owner (ConfigApp) is told through
// OnIpDiscoveryReady and writes them into the VIF's runtime state.
//
// It also owns the switch-security kernel link (key "features.ipdisc.krnlink.path", default
// "swsec_krnlink"): the dataplane solicits the guest-tool bindings of a VIF, which are read from
// the database (ICairndbClient::getObject) and sent back (dataplane/SwsecProtocol.h).
//
// Threads: every operation except the link handlers is called by ConfigApp under the global agent
// lock; the link handlers and the database lookup's completion take that lock themselves. VIFs are
// keyed by VifKey (UUID texts in lower case).
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "apps/switching/PackedId.h"
#include "apps/switching/VifState.h"
#include "dataplane/KrnlinkFactory.h"
#include "intake/CairnDBUpdateMsg.h"
#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class IpDiscoveryProfileMsg;
}
namespace ozy::upm {
class UPMService;
}

namespace CfgAgent {

class ICairndbClient;

// One VIF of a KCP VIF update, as IpDiscovery sees it.
struct IpDiscVifUpdate {
    std::string vifId;
    bool deleted = false;
    bool connected = false;
    bool hasBindings = false;  // the report carried the VIF's discovered bindings
    std::vector<IpBinding> bindings;
};

// The effective bindings of one VIF.
struct IpDiscResult {
    std::string vifId;  // VifKey
    std::vector<IpBinding> bindings;
};

class IIpDiscoveryOwner {
  public:
    virtual ~IIpDiscoveryOwner() = default;
    // `vifConnectionUpdate`: the change came from the dataplane's VIF reports (not from DA_VIF).
    virtual void OnIpDiscoveryReady(bool vifConnectionUpdate,
                                    const std::vector<IpDiscResult>& updates, bool fullSync) = 0;
};

// The key of a VIF: the canonical lower-case text of a UUID VIF ID, any other ID as it is.
std::string VifKey(const std::string& vifId);

class IpDiscovery : public ozy::RefCounted<IpDiscovery> {
  public:
    static constexpr const char* kLinkKey = "features.ipdisc.krnlink.path";
    static constexpr const char* kDefaultLinkName = "swsec_krnlink";
    static constexpr int kLinkBufferSize = 4096;

    // `cairndb` may be null (solicitations then fail); `makeLink` defaults to the system links.
    IpDiscovery(IIpDiscoveryOwner* owner, ICairndbClient* cairndb,
                KrnlinkFactory makeLink = KrnlinkFactory());
    ~IpDiscovery() override;
    IpDiscovery(const IpDiscovery&) = delete;
    IpDiscovery& operator=(const IpDiscovery&) = delete;

    // Creates and starts the switch-security link.
    void Start(const boost::property_tree::ptree& config);
    // Stops the link; the owner is not called any more.
    void Stop();

    // DA_VIF records of a desired-state batch.
    void UpdateDesiredState(const CairnDBUpdateList& msgs, bool fullSync);
    // Connection state of VIFs; a full sync replaces the whole set.
    void ProcessVifUpdate(const std::vector<IpDiscVifUpdate>& upds, bool fullSync);
    // Dataplane-discovered bindings; a full sync replaces them all. Tells the owner when done.
    void ProcessIpDiscList(const std::vector<IpDiscVifUpdate>& upds, bool fullSync);

    // Follows the ports' IP discovery profiles from the profile service (before it starts).
    void AttachProfileService(ozy::upm::UPMService* upm);
    // The IP discovery profile in effect for a logical switch port, from the profile service;
    // false when the port has none (or there is no profile service).
    bool SelectEffectiveProfile(const std::string& portId,
                                orvane::ozy::cairndb::IpDiscoveryProfileMsg* profile) const;
    // Ports with an IP discovery profile, as last delivered by the profile service.
    size_t ProfiledPortCount() const;

    std::vector<IpBinding> EffectiveBindings(const std::string& vifKey) const;
    bool Connected(const std::string& vifKey) const;
    size_t GuestToolVifCount() const { return daBindings_.size(); }
    // Heap bytes of the per-VIF tables (the connected VIFs and both sources' bindings), in
    // allocator chunks; part of ConfigApp's account.
    size_t TableBytes() const;

    // Kernel-link handlers (public for the link and tests).
    void HandleSwsecMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);
    bool LinkUp() const;

  private:
    void HandleSolicitation(const std::string& vifId);
    void AnswerSolicitation(const std::string& vifId, int result, const std::string& body);
    std::vector<IpDiscResult> Results(const std::set<std::string>& keys) const;

    IIpDiscoveryOwner* owner_;
    ICairndbClient* cairndb_;
    KrnlinkFactory makeLink_;
    ozy::RefPtr<DataplaneLink> link_;
    std::atomic<bool> linkUp_{false};
    bool stopped_ = false;

    // The connected VIFs by key (a hash-table node of 32 bytes each, the UUID keys packed).
    std::unordered_set<dvs::PackedId, dvs::PackedId::Hasher> connected_;
    std::map<std::string, std::vector<IpBinding>> dpBindings_;
    std::map<std::string, std::vector<IpBinding>> daBindings_;

    // The profile service and the ports' IP discovery profiles (text form), guarded by
    // profileMutex_ alone: deliveries come on the database's io threads.
    ozy::upm::UPMService* upm_ = nullptr;
    int upmCallback_ = 0;
    mutable std::mutex profileMutex_;
    std::map<std::string, std::string> portProfiles_;
};

}  // namespace CfgAgent
