// The emulator's load-balancer tables behind FW_Ioctl 43: updates and deletes by uuid, a full
// update replacing everything, refusals that change nothing, and "dpemu/dump lb" through the
// firewall family. Buffers are written by hand from platform/device/LbConfigBuffer.h.
#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "platform/tarp/TarpWire.h"
#include "tests/dataplane/ByteVec.h"
#include "tools/ozy-dpemu/LbTables.h"
#include "tools/ozy-dpemu/TarpFamily.h"

namespace ozy::dpemu {
namespace {

using CfgAgent::test::Bytes;
using CfgAgent::test::Cat;
using CfgAgent::test::Field;
using CfgAgent::test::H;
using CfgAgent::test::Zeros;
using json = nlohmann::json;

const char* kLbs = "0a000000000000000000000000000001";
const char* kPool = "0c000000000000000000000000000001";
const char* kVs = "0d000000000000000000000000000001";
const std::string kLbsText = "0a000000-0000-0000-0000-000000000001";
const std::string kPoolText = "0c000000-0000-0000-0000-000000000001";
const std::string kVsText = "0d000000-0000-0000-0000-000000000001";

Bytes Header(bool full, unsigned count, unsigned total) {
    return Cat({H("4c424346 0001"),
                {uint8_t(full ? 1 : 0)},
                H("00 000000"),
                {uint8_t(count)},
                H("0000"),
                {uint8_t(total >> 8), uint8_t(total)}});
}
// A service without ports, a virtual server 10.0.0.1:80 TCP, a pool with 10.1.0.1:8080 weight 3.
Bytes ServiceEntry() {
    return Cat(
        {H("01 000000 00000068"), H(kLbs), Field("svc", 64), Zeros(8), H("00 01 0000"), Zeros(4)});
}
Bytes ServerEntry() {
    return Cat({H("03 000000 00000060"), H(kVs), H(kLbs), H(kPool), Zeros(16),
                H("06 01 00 04 0a000001"), Zeros(12), H("0050 0000")});
}
Bytes PoolEntry() {
    return Cat({H("05 000000 00000048"), H(kPool), H("0001 0001 00000000"), H(kLbs),
                H("04 00 1f90 00000003 0a010001"), Zeros(12)});
}
Bytes Delete(uint8_t kind, const char* id) {
    return Cat({{kind}, H("000000 00000018"), H(id)});
}

IoctlResult Send(LbTables& t, const Bytes& b) {
    return t.Ioctl(b.data(), b.size());
}

TEST(LbTablesTest, UpdatesDeletesAndFullUpdates) {
    LbTables t;
    Bytes all =
        Cat({Header(false, 3, 16 + 104 + 96 + 72), ServiceEntry(), PoolEntry(), ServerEntry()});
    ASSERT_EQ(Send(t, all).status, 0u);
    json d = t.Dump();
    EXPECT_EQ(d["services"][kLbsText]["name"], "svc");
    EXPECT_EQ(d["services"][kLbsText]["log_level"], 1);
    EXPECT_EQ(d["virtual_servers"][kVsText]["pool"], kPoolText);
    EXPECT_EQ(d["virtual_servers"][kVsText]["address"], "10.0.0.1");
    EXPECT_EQ(d["pools"][kPoolText]["members"],
              json::parse(R"([{"address":"10.1.0.1","port":8080,"weight":3}])"));
    EXPECT_EQ(d["full"], false);
    EXPECT_EQ(d["updates"], 1);

    // Deletes, one of something absent; the same object twice in one buffer.
    Bytes dels = Cat({Header(false, 3, 16 + 72), Delete(4, kVs), Delete(4, kVs),
                      Delete(6, "0c000000000000000000000000000009")});
    ASSERT_EQ(Send(t, dels).status, 0u);
    d = t.Dump();
    EXPECT_TRUE(d["virtual_servers"].empty());
    EXPECT_EQ(d["pools"].size(), 1u);
    EXPECT_EQ(d["absent_deletes"], 2);
    EXPECT_EQ(d["duplicate_entries"], 1);

    // A full update with the pool alone drops the service.
    Bytes full = Cat({Header(true, 1, 16 + 72), PoolEntry()});
    ASSERT_EQ(Send(t, full).status, 0u);
    d = t.Dump();
    EXPECT_TRUE(d["services"].empty());
    EXPECT_EQ(d["pools"].size(), 1u);
    EXPECT_EQ(d["full"], true);
    EXPECT_EQ(d["full_updates"], 1);
    EXPECT_EQ(d["updates"], 3);
}

TEST(LbTablesTest, ARefusedBufferChangesNothing) {
    LbTables t;
    ASSERT_EQ(Send(t, Cat({Header(false, 1, 16 + 104), ServiceEntry()})).status, 0u);
    const json before = t.Dump();
    const Bytes pool = PoolEntry();
    const Bytes bad[] = {
        Cat({Header(true, 1, 16 + 72), PoolEntry(), H("00")}),      // trailing byte
        Cat({Header(true, 1, 16 + 72 + 1), PoolEntry(), H("00")}),  // trailing, total agrees
        Cat({Header(true, 2, 16 + 72), PoolEntry()}),               // count above the entries
        Cat({Header(true, 1, 16 + 71), Bytes(pool.begin(), pool.end() - 1)}),
        Bytes{0x4c, 0x42},  // below the header
    };
    for (const Bytes& b : bad) {
        EXPECT_EQ(Send(t, b).status, uint32_t(EINVAL));
        json d = t.Dump();
        EXPECT_FALSE(d["last_rejection"].get<std::string>().empty());
        d.erase("last_rejection");
        d.erase("rejected");
        json want = before;
        want.erase("last_rejection");
        want.erase("rejected");
        EXPECT_EQ(d, want);
    }
    EXPECT_EQ(t.Dump()["rejected"], 5);
}

TEST(LbTablesTest, AnInjectedFailureRefusesUnreadAndThenPasses) {
    LbTables t;
    t.Faults().Arm(1, EIO);
    const Bytes b = Cat({Header(false, 1, 16 + 104), ServiceEntry()});
    EXPECT_EQ(Send(t, b).status, uint32_t(EIO));
    EXPECT_TRUE(t.Dump()["services"].empty());
    EXPECT_EQ(t.Updates(), 0u);
    EXPECT_EQ(Send(t, b).status, 0u);
    EXPECT_EQ(t.Dump()["services"].size(), 1u);
}

TEST(LbTablesTest, TheFirewallDeviceCarriesTheBufferAndTheFamilyDumpsIt) {
    TarpFamily family;
    Bytes req = Cat({H("00 00 00 2b"), Header(false, 1, 16 + 104), ServiceEntry()});
    IoctlResult r = family.State().Ioctl(ozy::tarp::kCmdFwIoctl, req.data(), req.size());
    EXPECT_EQ(r.status, 0u);
    json part;
    ASSERT_TRUE(family.DumpPart("lb", &part));
    EXPECT_EQ(part["services"].size(), 1u) << r.status << part.dump();
    EXPECT_FALSE(family.DumpPart("tarp", &part));
}

}  // namespace
}  // namespace ozy::dpemu
