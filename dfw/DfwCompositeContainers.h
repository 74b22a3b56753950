#pragma once
// Containers the rule conversion generates: address lists (several direct addresses of one rule
// side, "rsrc<id>" and the like) and composite containers (several containers of one side, or
// containers with direct addresses). Two sides naming the same member containers and the same
// addresses (in any order, with the same extended-source-IP flag) share one composite, counted.
//
// A composite's sets are hashed over packed bytes (16 bytes a member uuid; 20 bytes an address:
// its 16 bytes, then its kind and prefix in 32 bits), chained with jhash64 from 0; equal hashes
// are confirmed by comparing the sets. Owned by the cache build; cleared on each rebuild. Not
// thread-safe.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dfw/DfwMsgSnapshot.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWAddress.h"
#include "platform/tarp/CTarpFWContainer.h"

namespace CfgAgent {

class DfwCompositeContainers {
  public:
    struct Composite {
        std::string name;
        std::vector<DfwUuid> members;                         // sorted, unique
        std::vector<TarpFirewall::CTarpFWAddress> addresses;  // sorted by packed bytes, unique
        uint64_t memberHash = 0;
        uint64_t addressHash = 0;
        bool extSourceIp = false;
        uint32_t refs = 1;
        std::shared_ptr<const TarpFirewall::CTarpFWContainer> container;
    };

    // One Acquire or AddAddressList call, as the cache build records it to repeat it later.
    struct Acquisition {
        bool list = false;
        std::string requested;
        std::vector<DfwUuid> members;
        std::vector<TarpFirewall::CTarpFWAddress> addresses;
        bool extSourceIp = false;
        bool exclude = false;
        std::string got;  // the name Acquire returned
    };

    // Every Acquire and AddAddressList from now on is appended to `journal` (nullptr: none).
    void SetJournal(std::vector<Acquisition>* journal) { journal_ = journal; }
    // Repeats the calls of `journal` in order; false as soon as an Acquire returns another name
    // than it did (another rule now creates that composite first): the caller builds afresh.
    bool Replay(const std::vector<Acquisition>& journal);

    // The composite of these members and addresses: an existing equal one (its count raised) or
    // a new one named `name`, whose elements are the members' address sets (by `memberName`) and
    // the addresses. Returns the composite's name. `exclude` only changes the log line.
    const std::string& Acquire(const std::string& name, std::vector<DfwUuid> members,
                               std::vector<TarpFirewall::CTarpFWAddress> addresses,
                               bool extSourceIp, bool exclude);
    // An address list of one rule side.
    void AddAddressList(const std::string& name,
                        const std::vector<TarpFirewall::CTarpFWAddress>& addresses);

    // The library name of a cached container (its uuid text, 36 characters).
    static std::string ContainerName(const DfwUuid& id) { return id.Text(); }

    const std::map<std::string, Composite>& composites() const { return composites_; }
    const std::map<std::string, std::shared_ptr<const TarpFirewall::CTarpFWAddrSet>>& addressLists()
        const {
        return addressLists_;
    }
    void Clear();

  private:
    std::map<std::string, Composite> composites_;
    // (member hash ^ address hash) to the names of the composites with those hashes.
    std::unordered_multimap<uint64_t, std::string> byHash_;
    std::map<std::string, std::shared_ptr<const TarpFirewall::CTarpFWAddrSet>> addressLists_;
    std::vector<Acquisition>* journal_ = nullptr;
};

}  // namespace CfgAgent
