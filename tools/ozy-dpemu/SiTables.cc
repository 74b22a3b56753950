#include "tools/ozy-dpemu/SiTables.h"

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "dataplane/DpFraming.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

using namespace ozy::device;

namespace {

size_t EntrySizeOf(uint32_t command) {
    switch (command) {
        case kSiSetChain:
        case kSiDelChain:
            return kChainEntrySize;
        case kSiSetNsh:
        case kSiDelNsh:
            return kNshEntrySize;
        case kSiFailUnfail:
            return kFailEntrySize;
        case kSiGetStatus:
            return 0;
        default:
            return SIZE_MAX;
    }
}

uint32_t NshKey(const SiHopRef& e) {
    return (e.spi << 8) | e.si;
}

nlohmann::json HopJson(const SiHopRef& h) {
    return {{"spi", h.spi}, {"si", h.si}, {"mac", MacText(h.mac)}};
}

}  // namespace

IoctlResult SiTables::Refuse(uint32_t status, const std::string& why) {
    CFG_WARN("ozy-dpemu: si: %1 (status %2)", why, status);
    errors_.push_back(why);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
    ++stats_["refused"];
    return IoctlResult{status, {}};
}

IoctlResult SiTables::Ioctl(const uint8_t* p, size_t size) {
    if (size < 12)
        return Refuse(EINVAL, "SI ioctl of " + std::to_string(size) + " bytes has no header");
    const uint32_t command = CfgAgent::LoadBe32(p);
    const uint32_t count = CfgAgent::LoadBe32(p + 4);
    const uint32_t entrySize = CfgAgent::LoadBe32(p + 8);
    const size_t expected = EntrySizeOf(command);
    if (expected == SIZE_MAX)
        return Refuse(ENOTTY, "unknown SI command " + std::to_string(command));
    const uint8_t* entries = p + 12;
    const size_t bytes = size - 12;
    if (entrySize != expected || uint64_t(count) * entrySize != bytes ||
        (command == kSiGetStatus && count != 0)) {
        return Refuse(EINVAL, "SI command " + std::to_string(command) + ": " +
                                  std::to_string(count) + " entries of " +
                                  std::to_string(entrySize) + " bytes in " + std::to_string(bytes) +
                                  " bytes");
    }
    auto bad = [&](uint32_t i) {
        return Refuse(EINVAL, "SI command " + std::to_string(command) + ": entry " +
                                  std::to_string(i) + " does not fit its layout");
    };
    switch (command) {
        case kSiGetStatus:
            ++stats_["status_queries"];
            return IoctlResult{0, EncodeStatusWord(down_ ? kSiStatusDown : kSiStatusUp)};
        case kSiSetChain:
        case kSiDelChain: {
            std::vector<SiChainEntry> list;
            list.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                auto e = DecodeChainEntry(entries + size_t(i) * entrySize, entrySize);
                bool del = command == kSiDelChain;
                if (!e || (del && (!e->slots.empty() || e->chainId != 0 || e->policy != 0)))
                    return bad(i);
                list.push_back(std::move(*e));
            }
            for (SiChainEntry& e : list) {
                if (command == kSiDelChain) {
                    if (chains_.erase(e.uuid) == 0)
                        ++stats_["absent_deletes"];
                } else {
                    std::string key = e.uuid;
                    chains_[key] = std::move(e);
                }
            }
            stats_[command == kSiDelChain ? "del_chain" : "set_chain"] += count;
            return IoctlResult{};
        }
        case kSiSetNsh:
        case kSiDelNsh: {
            std::vector<SiHopRef> list;
            list.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                auto e = DecodeNshEntry(entries + size_t(i) * entrySize, entrySize);
                if (!e)
                    return bad(i);
                list.push_back(*e);
            }
            for (const SiHopRef& e : list) {
                if (command == kSiDelNsh) {
                    if (nsh_.erase(NshKey(e)) == 0)
                        ++stats_["absent_deletes"];
                } else {
                    nsh_[NshKey(e)] = e.mac;
                }
            }
            stats_[command == kSiDelNsh ? "del_nsh" : "set_nsh"] += count;
            return IoctlResult{};
        }
        default: {  // kSiFailUnfail
            std::vector<SiFailEntry> list;
            list.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                auto e = DecodeFailEntry(entries + size_t(i) * entrySize, entrySize);
                if (!e)
                    return bad(i);
                list.push_back(*e);
            }
            for (const SiFailEntry& e : list) {
                if (e.action == kFailSpi) {
                    failed_.insert(e.spi);
                    ++stats_["fail"];
                } else {
                    failed_.erase(e.spi);
                    ++stats_["unfail"];
                }
            }
            return IoctlResult{};
        }
    }
}

nlohmann::json SiTables::Dump() const {
    nlohmann::json chains = nlohmann::json::object();
    for (const auto& [uuid, c] : chains_) {
        nlohmann::json slots = nlohmann::json::array();
        for (const SiChainSlot& s : c.slots) {
            slots.push_back({{"path_id", s.pathId},
                             {"forward", HopJson(s.forward)},
                             {"reverse", HopJson(s.reverse)}});
        }
        chains[uuid] = {{"chain_id", c.chainId}, {"policy", c.policy}, {"slots", slots}};
    }
    nlohmann::json nsh = nlohmann::json::object();
    for (const auto& [key, mac] : nsh_)
        nsh[std::to_string(key >> 8) + "/" + std::to_string(key & 0xFF)] = MacText(mac);
    return {{"status", down_ ? "down" : "up"}, {"chains", chains}, {"nsh", nsh},
            {"failed_spis", failed_},          {"stats", stats_},  {"errors", errors_}};
}

}  // namespace ozy::dpemu
