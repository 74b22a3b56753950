#include "intake/SNTable.h"

#include "intake/DumpText.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {
using Lock = std::lock_guard<std::recursive_mutex>;
}

SNTable::Change SNTable::Update(const std::string& hostSwitch, const Backing& backing) {
    Lock lock(mutex_);
    Change change;
    Backing entry = backing;
    entry.version = version_;
    auto it = backing_.find(hostSwitch);
    if (it == backing_.end()) {
        CFG_INFO(
            "smartnicTable: Add backing table with hostSwitchId %1, vdbId %2active sn %3, standby "
            "sn %4, current active sn %5, version %6",
            hostSwitch, entry.vdb, entry.activeSn, entry.standbySn, entry.currentActiveSn,
            entry.version);
        change.added = true;
        backing_.emplace(hostSwitch, entry);
        byVdb_[entry.vdb].insert(hostSwitch);
        return change;
    }
    Backing& old = it->second;
    CFG_INFO(
        "smartnicTable: Update backing table with hostSwitchId %1, new vdb %2, old vdb %3, active "
        "sn %4, standby sn %5, current active sn %6",
        hostSwitch, entry.vdb, old.vdb, entry.activeSn, entry.standbySn, entry.currentActiveSn);
    if (old.activeSn != entry.activeSn) {
        CFG_INFO("smartnicTable: The active dpu config is changed from %1 to %2.", old.activeSn,
                 entry.activeSn);
    }
    if (old.standbySn != entry.standbySn) {
        CFG_INFO("smartnicTable: The standby dpu config is changed from %1 to %2.", old.standbySn,
                 entry.standbySn);
    }
    if (old.vdb != entry.vdb) {
        change.oldVdb = old.vdb;
        Unindex(hostSwitch, old.vdb);
        byVdb_[entry.vdb].insert(hostSwitch);
    }
    old = entry;
    return change;
}

std::optional<uint16_t> SNTable::Remove(const std::string& hostSwitch) {
    Lock lock(mutex_);
    auto it = backing_.find(hostSwitch);
    if (it == backing_.end()) {
        CFG_INFO("smartnicTable: Failed to find host switch id %1 in deleting, do nothing",
                 hostSwitch);
        return std::nullopt;
    }
    const uint16_t vdb = it->second.vdb;
    Unindex(hostSwitch, vdb);
    backing_.erase(it);
    CFG_INFO("smartnicTable: Host switch id %1 is removed", hostSwitch);
    return vdb;
}

bool SNTable::Restamp(const std::string& hostSwitch) {
    Lock lock(mutex_);
    auto it = backing_.find(hostSwitch);
    if (it == backing_.end())
        return false;
    it->second.version = version_;
    return true;
}

std::vector<SNTable::Removed> SNTable::Sweep() {
    Lock lock(mutex_);
    std::vector<Removed> removed;
    for (auto it = backing_.begin(); it != backing_.end();) {
        if (it->second.version >= version_) {
            ++it;
            continue;
        }
        CFG_INFO("smartnicTable: Delete backing entry with host switch %1, fullsync version %2,",
                 it->first, it->second.version);
        removed.push_back(Removed{it->first, it->second.vdb});
        Unindex(it->first, it->second.vdb);
        it = backing_.erase(it);
    }
    return removed;
}

uint32_t SNTable::Version() const {
    Lock lock(mutex_);
    return version_;
}

void SNTable::SetVersion(uint32_t version) {
    Lock lock(mutex_);
    version_ = version;
    CFG_INFO("smartnicTable: Update fullsync version to %1", version);
}

std::optional<SNTable::Backing> SNTable::Find(const std::string& hostSwitch) const {
    Lock lock(mutex_);
    auto it = backing_.find(hostSwitch);
    if (it == backing_.end())
        return std::nullopt;
    return it->second;
}

std::set<std::string> SNTable::HostSwitchesOf(uint16_t vdb) const {
    Lock lock(mutex_);
    auto it = byVdb_.find(vdb);
    return it == byVdb_.end() ? std::set<std::string>() : it->second;
}

size_t SNTable::HostSwitchCount(uint16_t vdb) const {
    Lock lock(mutex_);
    auto it = byVdb_.find(vdb);
    return it == byVdb_.end() ? 0 : it->second.size();
}

std::vector<std::pair<std::string, SNTable::Backing>> SNTable::Entries() const {
    Lock lock(mutex_);
    return {backing_.begin(), backing_.end()};
}

size_t SNTable::Size() const {
    Lock lock(mutex_);
    return backing_.size();
}

std::vector<std::string> SNTable::Dump() const {
    Lock lock(mutex_);
    std::vector<std::string> lines;
    lines.push_back(
        DumpText("smartnicTable: Got hostswitch mapping table size %1, backingTable_ size %2",
                 byVdb_.size(), backing_.size()));
    for (const auto& [hs, b] : backing_) {
        lines.push_back(DumpText(
            "smartnicTable: Got hostswitch %1, active %2, standy %3, current active %4, vdb %5, "
            "version %6",
            hs, b.activeSn, b.standbySn, b.currentActiveSn, b.vdb, b.version));
    }
    for (const std::string& l : lines)
        CFG_DEBUG("%1", l);
    return lines;
}

void SNTable::Unindex(const std::string& hostSwitch, uint16_t vdb) {
    auto it = byVdb_.find(vdb);
    if (it == byVdb_.end())
        return;
    it->second.erase(hostSwitch);
    if (it->second.empty())
        byVdb_.erase(it);
}

}  // namespace CfgAgent
