#include "tools/ozy-dpemu/SiDevices.h"

#include <cerrno>
#include <vector>

#include <nlohmann/json.hpp>

#include "dataplane/DpFraming.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

using namespace ozy::device;

IoctlResult SpfDevice::Ioctl(uint32_t command, const uint8_t*, size_t size) {
    if (command != kSpfGetStatus) {
        ++refused_;
        return IoctlResult{ENOTTY, {}};
    }
    if (size != 0) {
        ++refused_;
        return IoctlResult{EINVAL, {}};
    }
    ++queries_;
    return IoctlResult{0, EncodeStatusWord(bad_ ? kSpfStatusBad : kSpfStatusOk)};
}

nlohmann::json SpfDevice::Dump() const {
    return {{"device", "spf"},
            {"status", bad_ ? "bad" : "ok"},
            {"queries", queries_},
            {"refused", refused_}};
}

void SpfDevice::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/spf-status", "ok|bad", 1, 1, [this](const std::vector<std::string>& a) {
        if (a[0] != "ok" && a[0] != "bad")
            return CommandResult::Error("usage: dpemu/spf-status ok|bad");
        bad_ = a[0] == "bad";
        return CommandResult::Ok("spf status " + a[0]);
    });
}

IoctlResult Ovl2Device::Refuse(uint32_t status, const std::string& why) {
    CFG_WARN("ozy-dpemu: ovl2: %1 (status %2)", why, status);
    errors_.push_back(why);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
    ++stats_["refused"];
    return IoctlResult{status, {}};
}

IoctlResult Ovl2Device::Ioctl(uint32_t command, const uint8_t* p, size_t size) {
    if (command != kOvl2AddMac && command != kOvl2DelMac)
        return Refuse(ENOTTY, "unknown command " + std::to_string(command));
    if (size < 4)
        return Refuse(EINVAL, "request of " + std::to_string(size) + " bytes has no count");
    const uint32_t count = CfgAgent::LoadBe32(p);
    if (uint64_t(count) * kOvl2EntrySize != size - 4)
        return Refuse(EINVAL,
                      std::to_string(count) + " entries in " + std::to_string(size - 4) + " bytes");
    std::vector<Ovl2Entry> list;
    list.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto e = DecodeOvl2Entry(p + 4 + size_t(i) * kOvl2EntrySize, kOvl2EntrySize);
        if (!e)
            return Refuse(EINVAL, "entry " + std::to_string(i) + " does not fit its layout");
        list.push_back(std::move(*e));
    }
    for (Ovl2Entry& e : list) {
        Key key{std::move(e.dvs), e.segment, e.mac};
        if (command == kOvl2AddMac) {
            ++table_[key];
        } else if (table_.erase(key) == 0) {
            ++stats_["absent_deletes"];
        }
    }
    stats_[command == kOvl2AddMac ? "adds" : "deletes"] += count;
    return IoctlResult{};
}

nlohmann::json Ovl2Device::Dump() const {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& [key, adds] : table_) {
        entries.push_back({{"dvs", std::get<0>(key)},
                           {"segment", std::get<1>(key)},
                           {"mac", MacText(std::get<2>(key))},
                           {"adds", adds}});
    }
    return {{"device", "ovl2"}, {"entries", entries}, {"stats", stats_}, {"errors", errors_}};
}

}  // namespace ozy::dpemu
