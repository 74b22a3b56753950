#pragma once
// The load-balancer configuration buffer of "/dev/ozy-tarp" (FW_Ioctl 43, platform/tarp/TarpFw.h),
// shared by the agent (LbApp) and the dataplane emulator. One buffer carries one update: a header
// and its entries, back to back. Integers are big-endian; every reserved byte is zero; a uuid is
// 16 bytes in the order of its text form (UuidMsg left, then right).
//
// Header (kLbHeaderSize = 16):
//   0  u32 magic 0x4C424346 ("LBCF")
//   4  u16 version (1)
//   6  u8  flags: bit 0 full configuration (the device drops what it holds first); others zero
//   7  u8  reserved
//   8  u32 entry count
//   12 u32 total length in bytes (the whole buffer, header included)
// Entry header (kLbEntryHeaderSize = 24), then the entry's body:
//   0  u8  kind: 1 LB service update, 2 LB service delete, 3 virtual server update,
//              4 virtual server delete, 5 pool update, 6 pool delete
//   1  3   reserved
//   4  u32 entry length in bytes (header included)
//   8  16  object uuid
// Deletes (kinds 2, 4, 6) have no body: 24 bytes.
// LB service update (kind 1), kLbServiceFixedSize (104) + 16 per logical switch port:
//   24  64 display name, UTF-8, NUL-padded (at most 63 bytes)
//   88  u64 creation time (milliseconds since the epoch)
//   96  u8  default LB service (0 or 1)
//   97  u8  log level: 0 none, 1 debug, 2 info, 3 warning, 4 error, 5 critical, 6 alert,
//           7 emergency
//   98  u16 reserved
//   100 u32 logical switch port count
//   104 the ports' uuids, 16 bytes each
// Virtual server update (kind 3), kLbVirtualServerSize (96):
//   24 16 LB service uuid
//   40 16 pool uuid
//   56 16 persistence profile uuid (zero: none)
//   72 u8 IP protocol (6 TCP, 17 UDP)
//   73 u8 application profile type (1 TCP, 2 UDP, 3 HTTP)
//   74 u8 persistence type (0 none, 1 source IP, 2 cookie); 0 exactly when the uuid is zero
//   75 u8 address family (4 or 6)
//   76 16 address (IPv4: 4 bytes, then 12 zero bytes)
//   92 u16 port (1..65535)
//   94 u16 reserved
// Pool update (kind 5), kLbPoolFixedSize (32) + 16 per LB service + 24 per member:
//   24 u16 LB service count (at least 1)
//   26 u16 member count
//   28 u32 reserved
//   32 the LB services' uuids, 16 bytes each
//   then each member (kLbMemberSize = 24): 0 u8 address family (4 or 6), 1 u8 reserved,
//      2 u16 port (0: the virtual server's), 4 u32 weight (at least 1), 8 16 address
// The device refuses a buffer whole (EINVAL, nothing applied) when any of this does not hold:
// a size that disagrees with the total length or an entry length, a trailing byte, an entry count
// other than the header's, an unknown kind or a value out of its range. A buffer is at most
// kLbMaxBuffer bytes (what FW_Ioctl carries).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ozy::device {

constexpr uint32_t kFwIoctlLbConfig = 43;
constexpr uint32_t kLbMagic = 0x4C424346;
constexpr uint16_t kLbVersion = 1;
constexpr uint8_t kLbFlagFull = 1;
constexpr size_t kLbHeaderSize = 16;
constexpr size_t kLbEntryHeaderSize = 24;
constexpr size_t kLbServiceFixedSize = 104;
constexpr size_t kLbNameField = 64;
constexpr size_t kLbUuidSize = 16;
constexpr size_t kLbVirtualServerSize = 96;
constexpr size_t kLbPoolFixedSize = 32;
constexpr size_t kLbMemberSize = 24;
constexpr size_t kLbMaxCount16 = 0xFFFF;
constexpr uint8_t kLbMaxLogLevel = 7;
// The device frame's payload limit less FW_Ioctl's command word.
constexpr size_t kLbMaxBuffer = 16u * 1024u * 1024u - 4u;

enum LbEntryKind : uint8_t {
    kLbServiceUpdate = 1,
    kLbServiceDelete = 2,
    kLbVirtualServerUpdate = 3,
    kLbVirtualServerDelete = 4,
    kLbPoolUpdate = 5,
    kLbPoolDelete = 6,
};

using LbUuid = std::array<uint8_t, kLbUuidSize>;

struct LbAddress {
    uint8_t family = 4;  // 4 or 6
    std::array<uint8_t, 16> bytes{};
    bool operator==(const LbAddress& o) const { return family == o.family && bytes == o.bytes; }
};

struct LbMember {
    LbAddress address;
    uint16_t port = 0;
    uint32_t weight = 1;
    bool operator==(const LbMember& o) const {
        return address == o.address && port == o.port && weight == o.weight;
    }
};

struct LbServiceBody {
    std::string name;
    uint64_t created = 0;
    bool isDefault = false;
    uint8_t logLevel = 0;
    std::vector<LbUuid> lsps;
};

struct LbVirtualServerBody {
    LbUuid lbs{};
    LbUuid pool{};
    LbUuid persistence{};
    uint8_t protocol = 6;
    uint8_t appType = 1;
    uint8_t persistType = 0;
    LbAddress address;
    uint16_t port = 0;
};

struct LbPoolBody {
    std::vector<LbUuid> lbs;
    std::vector<LbMember> members;
};

// Entry sizes, header included.
constexpr size_t LbDeleteEntrySize() {
    return kLbEntryHeaderSize;
}
constexpr size_t LbServiceEntrySize(size_t lsps) {
    return kLbServiceFixedSize + lsps * kLbUuidSize;
}
constexpr size_t LbPoolEntrySize(size_t lbs, size_t members) {
    return kLbPoolFixedSize + lbs * kLbUuidSize + members * kLbMemberSize;
}

// Writes one buffer into `size` bytes that the caller computed beforehand: every write that would
// pass `size`, or a value that does not fit its field, is refused (false, nothing of it written)
// and marks the writer failed. Complete() tells whether exactly `size` bytes were written without
// a refusal. The header goes first; its entry count is what the caller says.
//
// An LB service or pool entry can also be written in parts, straight from the caller's records:
// ServiceBegin / PoolBegin write the fixed part and fix the entry's length from its counts; then
// exactly that many Uuid() calls (the service's ports, or the pool's LB services) and, for a pool,
// Member() calls. A part past its entry or out of order, a bad member, or an entry left short (at
// the next entry or at Complete()) fails the writer.
class LbConfigWriter {
  public:
    LbConfigWriter(uint8_t* buf, size_t size) : buf_(buf), size_(size) {}

    bool Header(bool full, uint32_t entries);
    bool Service(const LbUuid& id, const LbServiceBody& s);
    bool VirtualServer(const LbUuid& id, const LbVirtualServerBody& v);
    // The members of `members`, then those of `more` (when given).
    bool Pool(const LbUuid& id, const std::vector<LbUuid>& lbs,
              const std::vector<LbMember>& members, const std::vector<LbMember>* more = nullptr);
    bool Delete(LbEntryKind kind, const LbUuid& id);

    // `name` at most 63 bytes.
    bool ServiceBegin(const LbUuid& id, std::string_view name, uint64_t created, bool isDefault,
                      uint8_t logLevel, size_t lsps);
    bool PoolBegin(const LbUuid& id, size_t lbs, size_t members);
    bool Uuid(const LbUuid& id);
    bool Member(const LbAddress& address, uint16_t port, uint32_t weight);

    size_t Written() const { return pos_; }
    bool Failed() const { return failed_; }
    bool Complete() const { return !failed_ && pos_ == size_ && Closed(); }

  private:
    // Room for `n` more bytes; false (failed) otherwise.
    bool Room(size_t n);
    // No entry open with parts still owed.
    bool Closed() const { return uuidsOwed_ == 0 && membersOwed_ == 0; }
    // Before a new entry: the previous one is whole; false (failed) otherwise.
    bool StartEntry();
    void EntryHeader(LbEntryKind kind, size_t length, const LbUuid& id);
    void U8(uint8_t v) { buf_[pos_++] = v; }
    void U16(uint16_t v);
    void U32(uint32_t v);
    void U64(uint64_t v);
    void Raw(const uint8_t* p, size_t n);
    void Zero(size_t n);
    void Address(const LbAddress& a);

    uint8_t* buf_;
    size_t size_;
    size_t pos_ = 0;
    bool failed_ = false;
    // Parts the open entry still owes.
    size_t uuidsOwed_ = 0;
    size_t membersOwed_ = 0;
};

// A decoded buffer, as the device applies it.
struct LbEntry {
    LbEntryKind kind = kLbServiceDelete;
    LbUuid id{};
    LbServiceBody service;       // kind 1
    LbVirtualServerBody server;  // kind 3
    LbPoolBody pool;             // kind 5
};

struct LbConfig {
    bool full = false;
    std::vector<LbEntry> entries;
};

// The whole buffer, or nullopt with the reason in `why`.
std::optional<LbConfig> DecodeLbConfig(const uint8_t* p, size_t size, std::string* why);

LbUuid LbUuidFrom(uint64_t left, uint64_t right);
std::string LbUuidText(const LbUuid& id);
std::string LbAddressText(const LbAddress& a);

}  // namespace ozy::device
