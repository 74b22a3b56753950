#include "dfw/DfwCompositeContainers.h"

#include <algorithm>
#include <array>

#include "dfw/DfwLog.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/JHash64.h"
#include "platform/tarp/TarpWire.h"

namespace CfgAgent {

using TarpFirewall::CTarpFWAddress;

namespace {

using Packed = std::array<uint8_t, 20>;

void PutBe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

Packed Pack(const CTarpFWAddress& a) {
    Packed out{};
    std::copy(a.bytes().begin(), a.bytes().end(), out.begin());
    out[16] = 0;
    out[17] = static_cast<uint8_t>(a.kind());
    out[18] = 0;
    out[19] = a.prefix();
    return out;
}

uint64_t HashMembers(const std::vector<DfwUuid>& members) {
    uint64_t h = 0;
    for (const DfwUuid& m : members) {
        uint8_t bytes[16];
        PutBe64(bytes, m.left);
        PutBe64(bytes + 8, m.right);
        h = jhash64(bytes, sizeof(bytes), h);
    }
    return h;
}

uint64_t HashAddresses(const std::vector<CTarpFWAddress>& addresses) {
    uint64_t h = 0;
    for (const CTarpFWAddress& a : addresses) {
        Packed p = Pack(a);
        h = jhash64(p.data(), p.size(), h);
    }
    return h;
}

}  // namespace

const std::string& DfwCompositeContainers::Acquire(const std::string& name,
                                                   std::vector<DfwUuid> members,
                                                   std::vector<CTarpFWAddress> addresses,
                                                   bool extSourceIp, bool exclude) {
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    auto byBytes = [](const CTarpFWAddress& a, const CTarpFWAddress& b) {
        return Pack(a) < Pack(b);
    };
    std::sort(addresses.begin(), addresses.end(), byBytes);
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    Acquisition* record = nullptr;
    if (journal_ != nullptr) {
        journal_->push_back(
            Acquisition{false, name, members, addresses, extSourceIp, exclude, std::string()});
        record = &journal_->back();
    }
    uint64_t mh = HashMembers(members);
    uint64_t ah = HashAddresses(addresses);
    DFW_DEBUG(
        "dfw: Potential composite container has %1 containers (hash %2) %3 addresses (hash "
        "%4)",
        members.size(), mh, addresses.size(), ah);
    auto range = byHash_.equal_range(mh ^ ah);
    for (auto it = range.first; it != range.second; ++it) {
        Composite& c = composites_.at(it->second);
        if (c.memberHash == mh && c.addressHash == ah && c.extSourceIp == extSourceIp &&
            c.members == members && c.addresses == addresses) {
            ++c.refs;
            DFW_DEBUG("dfw: Composite container %1 matches existing %2", name, c.name);
            if (record != nullptr)
                record->got = c.name;
            return c.name;
        }
    }
    if (exclude)
        DFW_DEBUG("dfw: Creating new exclude composite container %1", name);
    else
        DFW_DEBUG("dfw: Creating new composite container %1", name);
    auto container = std::make_shared<TarpFirewall::CTarpFWContainer>(
        name, TarpFirewall::CTarpFWContainer::Type::kAddresses);
    for (const DfwUuid& m : members)
        container->addElement(TarpFirewall::CTarpFWElement::AddrSet(ContainerName(m)));
    for (const CTarpFWAddress& a : addresses)
        container->addElement(TarpFirewall::CTarpFWElement::Address(a));
    Composite c;
    c.name = name;
    c.members = std::move(members);
    c.addresses = std::move(addresses);
    c.memberHash = mh;
    c.addressHash = ah;
    c.extSourceIp = extSourceIp;
    c.container = std::move(container);
    auto [it, inserted] = composites_.emplace(name, std::move(c));
    if (!inserted) {
        // Generated names are unique per rule side; a clash is a fault of the caller.
        throw TarpFirewall::CTarpFWException("composite container name " + name + " taken",
                                             ozy::tarp::kStatusInvalidConfig);
    }
    byHash_.emplace(mh ^ ah, name);
    if (record != nullptr)
        record->got = it->second.name;
    return it->second.name;
}

void DfwCompositeContainers::AddAddressList(const std::string& name,
                                            const std::vector<CTarpFWAddress>& addresses) {
    DFW_DEBUG("dfw: creating container for multiple addresses");
    if (journal_ != nullptr)
        journal_->push_back(Acquisition{true, name, {}, addresses, false, false, name});
    auto set = std::make_shared<TarpFirewall::CTarpFWAddrSet>(name);
    for (const CTarpFWAddress& a : addresses)
        set->addAddress(a);
    addressLists_[name] = std::move(set);
}

bool DfwCompositeContainers::Replay(const std::vector<Acquisition>& journal) {
    std::vector<Acquisition>* saved = journal_;
    journal_ = nullptr;
    bool same = true;
    for (const Acquisition& a : journal) {
        if (a.list) {
            AddAddressList(a.requested, a.addresses);
            continue;
        }
        try {
            if (Acquire(a.requested, a.members, a.addresses, a.extSourceIp, a.exclude) != a.got) {
                same = false;
                break;
            }
        } catch (const TarpFirewall::CTarpFWException&) {
            same = false;
            break;
        }
    }
    journal_ = saved;
    return same;
}

void DfwCompositeContainers::Clear() {
    DFW_DEBUG("dfw: Clearing %1 composite container", composites_.size());
    composites_.clear();
    byHash_.clear();
    addressLists_.clear();
}

}  // namespace CfgAgent
