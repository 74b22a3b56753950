#include "ids/IDSProfile.h"

#include <fstream>

#include "ids/IdsLog.h"

namespace CfgAgent {

namespace pb = orvane::ozy::lcp::idps;

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool ParseNumber(const std::string& s, uint64_t* v) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *v = std::stoull(s);
    return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos; (pos = s.find(sep, start)) != std::string::npos; start = pos + 1) {
        out.push_back(s.substr(start, pos - start));
    }
    out.push_back(s.substr(start));
    return out;
}

}  // namespace

void IDSProfile::Initialize(std::string dumpDir) {
    dumpDir_ = std::move(dumpDir);
    ClearCache();
}

void IDSProfile::ClearCache() {
    profiles_.clear();
    modified_.clear();
    deleted_.clear();
}

bool IDSProfile::SafeName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos &&
           name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

bool IDSProfile::ParseOverrides(const std::string& value, std::map<uint64_t, std::string>* out) {
    std::string v = Trim(value);
    if (v.size() < 2 || v.front() != '[' || v.back() != ']') {
        return false;
    }
    v = Trim(v.substr(1, v.size() - 2));
    if (v.empty()) {
        return true;
    }
    for (const std::string& entry : Split(v, ',')) {
        std::vector<std::string> f = Split(Trim(entry), ':');
        uint64_t sid = 0;
        uint64_t gid = 0;
        if (f.size() != 3 || !ParseNumber(f[0], &sid) || !ParseNumber(f[1], &gid) ||
            (f[2] != "alert" && f[2] != "reject")) {
            return false;
        }
        (*out)[sid] = f[2];
    }
    return true;
}

bool IDSProfile::ParsePcap(const std::string& value, Record* out) {
    std::vector<std::string> f = Split(Trim(value), ':');
    if (f.size() != 3 || (f[0] != "true" && f[0] != "false") ||
        !ParseNumber(f[1], &out->pcapByteCount) || !ParseNumber(f[2], &out->pcapPacketCount)) {
        return false;
    }
    out->pcapEnabled = f[0] == "true";
    return true;
}

bool IDSProfile::UpdateProfileAttributes(const std::string& name,
                                         const std::vector<std::string>& ids,
                                         const std::vector<std::string>* pcap) {
    Record rec;
    bool ok = SafeName(name) && (pcap == nullptr || pcap->size() <= 1);
    for (size_t i = 0; ok && i < ids.size(); ++i) {
        ok = ParseOverrides(ids[i], &rec.sidActions);
    }
    if (ok) {
        ok = ParsePcap(pcap != nullptr && !pcap->empty() ? pcap->front() : "false:0:0", &rec);
    }
    if (!ok) {
        IDS_ERROR_CODE("IDSERR_INTERNAL",
                       "ids: IDSProfile::Inputs for updating profile signature attr are invalid");
        return false;
    }
    size_t tuples = rec.sidActions.size();
    profiles_[name] = std::move(rec);
    modified_.insert(name);
    deleted_.erase(name);
    IDS_DEBUG(
        "ids: IDSProfile::%1: SID-Action tuples added to map: %2, profile name: %3, profiles map "
        "size: %4",
        "UpdateProfileAttributes", tuples, name, profiles_.size());
    return true;
}

bool IDSProfile::DeleteProfile(const std::string& name) {
    if (profiles_.erase(name) == 0) {
        return false;
    }
    modified_.erase(name);
    deleted_.insert(name);
    return true;
}

pb::ProfileUpdateMsg IDSProfile::GetModifiedProfiles(bool fullSync) {
    pb::ProfileUpdateMsg update;
    update.set_sync_type(fullSync ? pb::PROFILE_SYNC_FULL : pb::PROFILE_SYNC_INCREMENTAL);
    for (const auto& [name, rec] : profiles_) {
        if (!fullSync && modified_.count(name) == 0) {
            continue;
        }
        pb::ProfileInfoMsg* p = update.add_profiles();
        p->set_name(name);
        for (const auto& [sid, action] : rec.sidActions) {
            pb::SignInfoMsg* s = p->add_signs();
            s->set_sid(sid);
            s->set_action(action);
        }
        p->set_pcap_enabled(rec.pcapEnabled);
        p->set_pcap_byte_count(rec.pcapByteCount);
        p->set_pcap_packet_count(rec.pcapPacketCount);
        IDS_DEBUG(
            "ids: IDSProfile::%1, profile_name: %2, is_pcap_enabled: %3, is_pcap_byte_count: %4, "
            "is_pcap_packet_count: %5",
            "GetModifiedProfiles", name, rec.pcapEnabled, rec.pcapByteCount, rec.pcapPacketCount);
    }
    if (!fullSync) {
        for (const std::string& name : deleted_) {
            update.add_removed_profiles(name);
        }
    }
    if (update.profiles_size() == 0 && update.removed_profiles_size() == 0) {
        IDS_DEBUG("ids: IDSProfile: Profiles diff list empty.");
    }
    modified_.clear();
    deleted_.clear();
    return update;
}

bool IDSProfile::DumpProfile(const std::string& name) const {
    auto it = profiles_.find(name);
    if (dumpDir_.empty() || it == profiles_.end() || !SafeName(name)) {
        return false;
    }
    std::ofstream out(dumpDir_ + "/dump_" + name, std::ios::trunc);
    if (it->second.sidActions.empty()) {
        out << "Profile is empty, no SID <-> action info present \n";
    }
    for (const auto& [sid, action] : it->second.sidActions) {
        out << sid << " " << action << "\n";
    }
    if (!out) {
        return false;
    }
    IDS_DEBUG("ids: IDSProfile:: Ctxt profile for %1 stored successfully", name);
    return true;
}

}  // namespace CfgAgent
