#pragma once
// The service-insertion contract of the devices, shared by the agent (SIApp) and the dataplane
// emulator: the SI_Ioctl entries of "/dev/ozy-tarp" (platform/tarp/TarpFw.h carries them), the
// service-platform device "/dstore/devices/char/krndriver/ozy-spf" and the overlay MAC table
// "/dstore/devices/char/krndriver/ozy_ovl2". Integers are big-endian; every reserved byte is zero.
//
// SI_Ioctl commands (u32 command, u32 entry count, u32 entry size, the entries; the device checks
// count x size against the bytes and refuses a batch whole, EINVAL, when any entry is malformed):
//   kSiSetChain    26  chain entries, kChainEntrySize each; an entry replaces the chain's
//   kSiSetNsh       3  NSH entries, kNshEntrySize each; (SPI, SI) -> MAC
//   kSiDelChain     4  chain entries, kChainEntrySize each; only the uuid counts (rest zero)
//   kSiDelNsh       5  NSH entries, kNshEntrySize each; the MAC is the one that was set
//   kSiFailUnfail  10  fail entries, kFailEntrySize each
//   kSiGetStatus   11  no entries (count 0, size 0); reply kSiStatusSize bytes
//
// Chain entry (kChainEntrySize = 294):
//   0   37  chain uuid text, 36 characters and a NUL
//   37  1   slots used, 0..kChainSlots
//   38  2   service chain id, 0..1023
//   40  1   path selection policy (1 LOCAL, 2 REMOTE, 0 ANY)
//   41  1   reserved
//   42      kChainSlots slots of kChainSlotSize (36) bytes; slots past the used count are zero:
//     +0  4  service path id, 0..16777215
//     +4  4  forward SPI, 0..16777215
//     +8  1  forward service index
//     +9  6  forward MAC (first hop)
//     +15 1  reserved
//     +16 4  reverse SPI
//     +20 1  reverse service index
//     +21 6  reverse MAC
//     +27 9  reserved
// NSH entry (kNshEntrySize = 16): 0 u32 SPI (0..16777215), 4 u8 service index, 5 u8 reserved,
//   6 MAC (6 bytes), 12 u32 reserved.
// Fail entry (kFailEntrySize = 6): 0 u32 SPI, 4 u8 action (1 FAIL_SPI, 2 UNFAIL_SPI), 5 reserved.
// Status reply (kSiStatusSize = 4): u32 0 service insertion up, 1 down.
//
// Service-platform device: kSpfGetStatus (8195), no payload; reply kSpfStatusSize = 4 bytes:
//   u32 0 host switch configuration complete, 1 incorrect or a key component missing.
// Overlay MAC table device: kOvl2AddMac / kOvl2DelMac, payload u32 count then count entries of
//   kOvl2EntrySize (52): 0 host switch (dvs) id, 40 bytes NUL-padded (1..39 characters),
//   40 u32 overlay segment id, 44 inner MAC (6 bytes), 50 u16 reserved. An add of a held entry
//   refreshes it; a delete of an absent one is counted and ignored.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ozy::device {

// SI_Ioctl commands.
constexpr uint32_t kSiSetChain = 26;
constexpr uint32_t kSiSetNsh = 3;
constexpr uint32_t kSiDelChain = 4;
constexpr uint32_t kSiDelNsh = 5;
constexpr uint32_t kSiFailUnfail = 10;
constexpr uint32_t kSiGetStatus = 11;

constexpr size_t kChainEntrySize = 294;
constexpr size_t kChainUuidField = 37;
constexpr size_t kChainSlots = 7;
constexpr size_t kChainHeaderSize = 42;
constexpr size_t kChainSlotSize = 36;
constexpr size_t kNshEntrySize = 16;
constexpr size_t kFailEntrySize = 6;
constexpr size_t kSiStatusSize = 4;
constexpr uint32_t kMaxSpi = 0xFFFFFF;
constexpr uint32_t kMaxChainId = 1023;

constexpr uint8_t kFailSpi = 1;
constexpr uint8_t kUnfailSpi = 2;

constexpr uint32_t kSiStatusUp = 0;
constexpr uint32_t kSiStatusDown = 1;

constexpr uint32_t kSpfGetStatus = 8195;
constexpr size_t kSpfStatusSize = 4;
constexpr uint32_t kSpfStatusOk = 0;
constexpr uint32_t kSpfStatusBad = 1;

constexpr uint32_t kOvl2AddMac = 0x4F320001;  // "O2"
constexpr uint32_t kOvl2DelMac = 0x4F320002;
constexpr size_t kOvl2EntrySize = 52;
constexpr size_t kOvl2DvsField = 40;

using Mac = std::array<uint8_t, 6>;

struct SiHopRef {
    uint32_t spi = 0;
    uint8_t si = 0;
    Mac mac{};
    bool operator==(const SiHopRef& o) const { return spi == o.spi && si == o.si && mac == o.mac; }
};

struct SiChainSlot {
    uint32_t pathId = 0;
    SiHopRef forward;
    SiHopRef reverse;
    bool operator==(const SiChainSlot& o) const {
        return pathId == o.pathId && forward == o.forward && reverse == o.reverse;
    }
};

struct SiChainEntry {
    std::string uuid;  // 36 characters
    uint16_t chainId = 0;
    uint8_t policy = 0;
    std::vector<SiChainSlot> slots;  // at most kChainSlots
};

struct SiFailEntry {
    uint32_t spi = 0;
    uint8_t action = kFailSpi;
};

struct Ovl2Entry {
    std::string dvs;
    uint32_t segment = 0;
    Mac mac{};
};

// Encoders append one entry to `out`; false (nothing appended) when a value does not fit its
// field (uuid not 36 characters, more than 7 slots, SPI or chain id out of range, dvs id empty or
// too long).
bool EncodeChainEntry(const SiChainEntry& e, std::vector<uint8_t>* out);
// The delete form: the uuid alone.
bool EncodeChainDelete(const std::string& uuid, std::vector<uint8_t>* out);
bool EncodeNshEntry(const SiHopRef& e, std::vector<uint8_t>* out);
bool EncodeFailEntry(const SiFailEntry& e, std::vector<uint8_t>* out);
bool EncodeOvl2Entry(const Ovl2Entry& e, std::vector<uint8_t>* out);

// Decoders read exactly one entry of its size; nullopt when any field is out of its range, a
// reserved byte is set or the text fields are malformed. A delete entry decodes with
// DecodeChainEntry and must have no slots, chain id or policy.
std::optional<SiChainEntry> DecodeChainEntry(const uint8_t* p, size_t size);
std::optional<SiHopRef> DecodeNshEntry(const uint8_t* p, size_t size);
std::optional<SiFailEntry> DecodeFailEntry(const uint8_t* p, size_t size);
std::optional<Ovl2Entry> DecodeOvl2Entry(const uint8_t* p, size_t size);

// A 4-byte status word (SI status, spf status); nullopt for another size or an unknown value.
std::optional<uint32_t> DecodeStatusWord(const uint8_t* p, size_t size);
std::vector<uint8_t> EncodeStatusWord(uint32_t value);

std::string MacText(const Mac& mac);

}  // namespace ozy::device
