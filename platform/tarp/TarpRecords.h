#pragma once
// Decoders of what the firewall device hands the agent: filter records (FW_Ioctl 21), address-set
// statistics (FW_GetAddrSetStatList), IP-reputation chunk records (FW_GetIpRepChunkList),
// exclude-table entries (DVF_Ioctl 4) and the messages of the
// filter link "ozy_tarp_krnlink". Layouts in TarpWire.h. Every text field is read bounded
// (strnlen over its width); a short buffer or an unknown type is refused (false), never read past.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/tarp/TarpFw.h"

namespace TarpFirewall {

struct TarpFilterRecord {
    std::string name, vif, lsp, agent, vm, product;
    uint32_t flags = 0;
    uint64_t importTime = 0;
    std::array<uint8_t, 6> mac{};
    uint32_t port = 0;
    uint32_t ruleCount = 0;
    uint32_t applyCount = 0;
    uint32_t lastStatus = 0;
    bool imported() const;
};

struct TarpAddrSetStat {
    std::string name;
    uint32_t anchorRefCount = 0;
    uint32_t addressCount = 0;
    uint32_t excludedCount = 0;
    uint32_t flags = 0;
    uint64_t generation = 0;
};

struct TarpDvfEntry {
    uint8_t type = 0;
    std::array<uint8_t, 16> vnic{};
    uint32_t flags = 0;
};

struct TarpLinkMessage {
    uint16_t type = 0;  // ozy::tarp::kMsgFilterNotify, kMsgHopoverFailure, kMsgFloodLimit
    std::string filter, agent, vif, lsp, protocol;
    uint32_t flags = 0;  // notification flags; migration-failure reason
    uint64_t importTime = 0;
    uint8_t severity = 0;  // flood: kFloodWarning or kFloodCritical
    bool raise = false;    // flood: raised (true) or cleared
};

// `size` is the bytes available at `p` (at least the record's size).
bool DecodeFilterRecord(const uint8_t* p, size_t size, TarpFilterRecord* out);
bool DecodeAddrSetStat(const uint8_t* p, size_t size, TarpAddrSetStat* out);
bool DecodeDvfEntry(const uint8_t* p, size_t size, TarpDvfEntry* out);
// One record of the chunk list (kIpRepChunkStatSize bytes); refuses a capacity of 0 or a count
// above the capacity.
bool DecodeIpRepChunkStat(const uint8_t* p, size_t size, FW_IpRepChunkStat* out);
// One framed message (header included); refuses a length field that disagrees with `size`, a
// type it does not know and a flood severity or flag outside the contract.
bool DecodeLinkMessage(const uint8_t* p, size_t size, TarpLinkMessage* out);

}  // namespace TarpFirewall
