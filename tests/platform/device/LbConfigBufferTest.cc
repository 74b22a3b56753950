// The load-balancer configuration buffer against bytes written by hand from the layout comment of
// platform/device/LbConfigBuffer.h: the writer produces them, the decoder reads them back, and
// every break of the layout (cases below, each one edit of the good bytes) is refused whole.
#include "platform/device/LbConfigBuffer.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/dataplane/ByteVec.h"

namespace ozy::device {
namespace {

using CfgAgent::test::Bytes;
using CfgAgent::test::Cat;
using CfgAgent::test::Field;
using CfgAgent::test::H;
using CfgAgent::test::Zeros;

const char* kLbs = "0a000000000000000000000000000001";
const char* kLsp = "0b000000000000000000000000000001";
const char* kPool = "0c000000000000000000000000000001";
const char* kVs = "0d000000000000000000000000000001";
const char* kPersist = "0e000000000000000000000000000001";
const char* kVs2 = "0d000000000000000000000000000002";

LbUuid U(const char* hex) {
    Bytes b = H(hex);
    LbUuid u{};
    std::copy(b.begin(), b.end(), u.begin());
    return u;
}

// Offsets of the entries in Good().
constexpr size_t kServiceAt = 16, kServerAt = 136, kPoolAt = 232, kDeleteAt = 328;

// A full update: LB service "web" (created 0x0102030405060708, default, log level 2, one port),
// virtual server TCP/HTTP 10.0.0.1:80 with source-IP persistence, pool with 192.168.0.1:8080
// weight 5 and [2001:db8::1] weight 1, and the delete of a second virtual server.
Bytes Good() {
    return Cat({H("4c424346 0001 01 00 00000004 00000160"),
                H("01 000000 00000078"),
                H(kLbs),
                Field("web", 64),
                H("0102030405060708"),
                H("01 02 0000 00000001"),
                H(kLsp),
                H("03 000000 00000060"),
                H(kVs),
                H(kLbs),
                H(kPool),
                H(kPersist),
                H("06 03 01 04 0a000001"),
                Zeros(12),
                H("0050 0000"),
                H("05 000000 00000060"),
                H(kPool),
                H("0001 0002 00000000"),
                H(kLbs),
                H("04 00 1f90 00000005 c0a80001"),
                Zeros(12),
                H("06 00 0000 00000001 20010db8000000000000000000000001"),
                H("04 000000 00000018"),
                H(kVs2)});
}

LbServiceBody Service() {
    LbServiceBody s;
    s.name = "web";
    s.created = 0x0102030405060708;
    s.isDefault = true;
    s.logLevel = 2;
    s.lsps = {U(kLsp)};
    return s;
}

LbVirtualServerBody Server() {
    LbVirtualServerBody v;
    v.lbs = U(kLbs);
    v.pool = U(kPool);
    v.persistence = U(kPersist);
    v.protocol = 6;
    v.appType = 3;
    v.persistType = 1;
    v.address.family = 4;
    v.address.bytes = {10, 0, 0, 1};
    v.port = 80;
    return v;
}

std::vector<LbMember> Members() {
    LbMember a;
    a.address.bytes = {192, 168, 0, 1};
    a.port = 8080;
    a.weight = 5;
    LbMember b;
    b.address.family = 6;
    b.address.bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return {a, b};
}

TEST(LbConfigBufferTest, WriterProducesTheLayoutAndTheDecoderReadsItBack) {
    const Bytes want = Good();
    ASSERT_EQ(want.size(), 0x160u);
    EXPECT_EQ(LbServiceEntrySize(1) + kLbVirtualServerSize + LbPoolEntrySize(1, 2) +
                  LbDeleteEntrySize() + kLbHeaderSize,
              want.size());
    Bytes out(want.size(), 0xEE);
    LbConfigWriter w(out.data(), out.size());
    ASSERT_TRUE(w.Header(true, 4));
    ASSERT_TRUE(w.Service(U(kLbs), Service()));
    ASSERT_TRUE(w.VirtualServer(U(kVs), Server()));
    const std::vector<LbMember> members = Members();
    const std::vector<LbMember> first(members.begin(), members.begin() + 1);
    const std::vector<LbMember> second(members.begin() + 1, members.end());
    ASSERT_TRUE(w.Pool(U(kPool), {U(kLbs)}, first, &second));
    ASSERT_TRUE(w.Delete(kLbVirtualServerDelete, U(kVs2)));
    EXPECT_TRUE(w.Complete());
    EXPECT_EQ(out, want);

    std::string why;
    auto config = DecodeLbConfig(want.data(), want.size(), &why);
    ASSERT_TRUE(config) << why;
    EXPECT_TRUE(config->full);
    ASSERT_EQ(config->entries.size(), 4u);
    const LbEntry& s = config->entries[0];
    EXPECT_EQ(s.kind, kLbServiceUpdate);
    EXPECT_EQ(LbUuidText(s.id), "0a000000-0000-0000-0000-000000000001");
    EXPECT_EQ(s.service.name, "web");
    EXPECT_EQ(s.service.created, 0x0102030405060708u);
    EXPECT_TRUE(s.service.isDefault);
    EXPECT_EQ(s.service.logLevel, 2);
    EXPECT_EQ(s.service.lsps, std::vector<LbUuid>{U(kLsp)});
    const LbEntry& v = config->entries[1];
    EXPECT_EQ(v.kind, kLbVirtualServerUpdate);
    EXPECT_EQ(v.server.pool, U(kPool));
    EXPECT_EQ(v.server.persistence, U(kPersist));
    EXPECT_EQ(LbAddressText(v.server.address), "10.0.0.1");
    EXPECT_EQ(v.server.port, 80);
    EXPECT_EQ(v.server.appType, 3);
    const LbEntry& p = config->entries[2];
    EXPECT_EQ(p.pool.lbs, std::vector<LbUuid>{U(kLbs)});
    EXPECT_EQ(p.pool.members, members);
    EXPECT_EQ(LbAddressText(p.pool.members[1].address), "2001:db8::1");
    EXPECT_EQ(config->entries[3].kind, kLbVirtualServerDelete);
    EXPECT_EQ(config->entries[3].id, U(kVs2));
}

TEST(LbConfigBufferTest, EntriesWrittenInPartsGiveTheSameBytes) {
    const Bytes want = Good();
    Bytes out(want.size(), 0xEE);
    LbConfigWriter w(out.data(), out.size());
    ASSERT_TRUE(w.Header(true, 4));
    ASSERT_TRUE(w.ServiceBegin(U(kLbs), "web", 0x0102030405060708, true, 2, 1));
    ASSERT_TRUE(w.Uuid(U(kLsp)));
    ASSERT_TRUE(w.VirtualServer(U(kVs), Server()));
    ASSERT_TRUE(w.PoolBegin(U(kPool), 1, 2));
    ASSERT_TRUE(w.Uuid(U(kLbs)));
    for (const LbMember& m : Members())
        ASSERT_TRUE(w.Member(m.address, m.port, m.weight));
    ASSERT_TRUE(w.Delete(kLbVirtualServerDelete, U(kVs2)));
    EXPECT_TRUE(w.Complete());
    EXPECT_EQ(out, want);
}

TEST(LbConfigBufferTest, PartsOutOfTheirEntryFailTheWriter) {
    const LbMember m = Members()[0];
    const struct {
        const char* name;
        std::function<bool(LbConfigWriter&)> write;  // true: every call accepted
    } cases[] = {
        {"a member before the pool's LB services",
         [&](LbConfigWriter& w) {
             return w.PoolBegin(U(kPool), 1, 1) && w.Member(m.address, m.port, m.weight);
         }},
        {"a port beyond the service's count",
         [](LbConfigWriter& w) {
             return w.ServiceBegin(U(kLbs), "web", 1, false, 0, 0) && w.Uuid(U(kLsp));
         }},
        {"a member beyond the pool's count",
         [&](LbConfigWriter& w) {
             return w.PoolBegin(U(kPool), 1, 0) && w.Uuid(U(kLbs)) &&
                    w.Member(m.address, m.port, m.weight);
         }},
        {"a part without an entry", [](LbConfigWriter& w) { return w.Uuid(U(kLsp)); }},
        {"the next entry while a port is owed",
         [](LbConfigWriter& w) {
             return w.ServiceBegin(U(kLbs), "web", 1, false, 0, 1) &&
                    w.Delete(kLbPoolDelete, U(kPool));
         }},
        {"a member of weight 0",
         [&](LbConfigWriter& w) {
             return w.PoolBegin(U(kPool), 1, 1) && w.Uuid(U(kLbs)) &&
                    w.Member(m.address, m.port, 0);
         }},
    };
    Bytes big(4096, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LbConfigWriter w(big.data(), big.size());
        ASSERT_TRUE(w.Header(false, 2));
        EXPECT_FALSE(c.write(w));
        EXPECT_TRUE(w.Failed());
    }
    // The whole entry must fit when it starts: nothing of it is written otherwise.
    Bytes tight(kLbHeaderSize + LbServiceEntrySize(1) - 1, 0);
    LbConfigWriter w(tight.data(), tight.size());
    ASSERT_TRUE(w.Header(false, 1));
    EXPECT_FALSE(w.ServiceBegin(U(kLbs), "web", 1, false, 0, 1));
    EXPECT_EQ(w.Written(), kLbHeaderSize);
}

TEST(LbConfigBufferTest, AnyBreakOfTheLayoutIsRefusedWhole) {
    const struct {
        const char* name;
        std::function<void(Bytes&)> edit;
    } cases[] = {
        {"trailing byte",
         [](Bytes& b) {
             b.push_back(0);
             b[15] = 0x61;
         }},
        {"total length above the size", [](Bytes& b) { b[15] = 0x61; }},
        {"short by one byte", [](Bytes& b) { b.pop_back(); }},
        {"bad magic", [](Bytes& b) { b[0] = 0x4d; }},
        {"version 2", [](Bytes& b) { b[5] = 2; }},
        {"unknown flag", [](Bytes& b) { b[6] = 3; }},
        {"entry count above the entries", [](Bytes& b) { b[11] = 5; }},
        {"entry count below the entries", [](Bytes& b) { b[11] = 3; }},
        {"unknown kind", [](Bytes& b) { b[kDeleteAt] = 7; }},
        {"kind 0", [](Bytes& b) { b[kDeleteAt] = 0; }},
        {"entry reserved byte", [](Bytes& b) { b[kServerAt + 2] = 1; }},
        {"entry length short by 16", [](Bytes& b) { b[kServiceAt + 7] = 0x68; }},
        {"entry length past the buffer", [](Bytes& b) { b[kDeleteAt + 6] = 1; }},
        {"delete with a body", [](Bytes& b) { b[kPoolAt] = 6; }},
        {"service name without NUL",
         [](Bytes& b) { std::fill_n(b.begin() + kServiceAt + 24, 64, 'x'); }},
        {"service name padding not zero", [](Bytes& b) { b[kServiceAt + 24 + 10] = 'x'; }},
        {"default flag 2", [](Bytes& b) { b[kServiceAt + 96] = 2; }},
        {"log level 8", [](Bytes& b) { b[kServiceAt + 97] = 8; }},
        {"port count 2 for one port", [](Bytes& b) { b[kServiceAt + 103] = 2; }},
        {"protocol 1", [](Bytes& b) { b[kServerAt + 72] = 1; }},
        {"application type 4", [](Bytes& b) { b[kServerAt + 73] = 4; }},
        {"persistence type 0 with a profile", [](Bytes& b) { b[kServerAt + 74] = 0; }},
        {"address family 5", [](Bytes& b) { b[kServerAt + 75] = 5; }},
        {"IPv4 address with a set tail byte", [](Bytes& b) { b[kServerAt + 91] = 1; }},
        {"virtual server port 0", [](Bytes& b) { b[kServerAt + 93] = 0; }},
        {"pool without LB service", [](Bytes& b) { b[kPoolAt + 25] = 0; }},
        {"pool member count 3 for two", [](Bytes& b) { b[kPoolAt + 27] = 3; }},
        {"member weight 0", [](Bytes& b) { b[kPoolAt + 48 + 7] = 0; }},
        {"member reserved byte", [](Bytes& b) { b[kPoolAt + 48 + 1] = 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = Good();
        c.edit(b);
        std::string why;
        EXPECT_FALSE(DecodeLbConfig(b.data(), b.size(), &why));
        EXPECT_FALSE(why.empty());
    }
    std::string why;
    Bytes header = H("4c424346 0001 00 00 00000000 00000010");
    EXPECT_TRUE(DecodeLbConfig(header.data(), header.size(), &why)) << why;
    EXPECT_FALSE(DecodeLbConfig(header.data(), 15, &why));
}

TEST(LbConfigBufferTest, WriterRefusesToPassItsSizeOrAFieldWidth) {
    // One byte short of what the entries need: the last entry is refused, nothing of it written.
    Bytes out(kLbHeaderSize + kLbVirtualServerSize + LbDeleteEntrySize() - 1, 0);
    LbConfigWriter w(out.data(), out.size());
    ASSERT_TRUE(w.Header(false, 2));
    ASSERT_TRUE(w.VirtualServer(U(kVs), Server()));
    EXPECT_FALSE(w.Delete(kLbVirtualServerDelete, U(kVs2)));
    EXPECT_EQ(w.Written(), kLbHeaderSize + kLbVirtualServerSize);
    EXPECT_FALSE(w.Complete());
    // Once refused, the writer stays refused.
    EXPECT_FALSE(w.Delete(kLbPoolDelete, U(kPool)));

    Bytes big(1 << 21, 0);
    auto refused = [&big](const std::function<bool(LbConfigWriter&)>& write) {
        LbConfigWriter x(big.data(), big.size());
        EXPECT_TRUE(x.Header(false, 1));
        const bool ok = write(x);
        EXPECT_EQ(x.Written(), kLbHeaderSize);
        return !ok && x.Failed();
    };
    LbServiceBody longName = Service();
    longName.name.assign(64, 'n');
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.Service(U(kLbs), longName); }));
    LbServiceBody level = Service();
    level.logLevel = 8;
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.Service(U(kLbs), level); }));
    std::vector<LbMember> many(kLbMaxCount16 + 1);
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.Pool(U(kPool), {U(kLbs)}, many); }));
    std::vector<LbMember> half(kLbMaxCount16 / 2 + 1);
    EXPECT_TRUE(
        refused([&](LbConfigWriter& x) { return x.Pool(U(kPool), {U(kLbs)}, half, &half); }));
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.Pool(U(kPool), {}, Members()); }));
    LbVirtualServerBody noPort = Server();
    noPort.port = 0;
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.VirtualServer(U(kVs), noPort); }));
    EXPECT_TRUE(refused([&](LbConfigWriter& x) { return x.Delete(kLbPoolUpdate, U(kPool)); }));

    // A buffer above the device limit is refused at its header.
    Bytes one(1);
    LbConfigWriter huge(one.data(), kLbMaxBuffer + 1);
    EXPECT_FALSE(huge.Header(true, 0));
}

}  // namespace
}  // namespace ozy::device
