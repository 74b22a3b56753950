// The emulated firewall device and its link, held to literal bytes written from the layouts:
// a configuration and a segment, the 925-byte filter record (agent name at 204, product text at
// 802), the 23-byte exclude entry, the 74-byte address-set statistics record and the link messages;
// and bad input (truncated, trailing, unterminated, unknown) refused with nothing changed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tarp/CTarpFWRuleBuilder.h"
#include "platform/tarp/TarpRecords.h"
#include "platform/tarp/TarpWire.h"
#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpFamily.h"
#include "tools/ozy-dpemu/TarpRender.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace ozy::dpemu {
namespace {

using Bytes = std::vector<uint8_t>;
using tarp::TarpState;

void Append(Bytes& b, std::initializer_list<int> v) {
    for (int x : v)
        b.push_back(static_cast<uint8_t>(x));
}
void Text(Bytes& b, const std::string& s, size_t width) {
    b.insert(b.end(), s.begin(), s.end());
    b.insert(b.end(), width - s.size(), 0);
}
void Be32(Bytes& b, uint32_t v) {
    Append(b, {int(v >> 24), int((v >> 16) & 255), int((v >> 8) & 255), int(v & 255)});
}
void Be64(Bytes& b, uint64_t v) {
    Be32(b, uint32_t(v >> 32));
    Be32(b, uint32_t(v));
}

// Rule 10: allow tcp to port 443 of the set "web". Written by hand from the rule layout.
Bytes RuleBytes() {
    Bytes r;
    Append(r, {0x00, 0x01});                       // one part
    Append(r, {0x00, 0x00, 0x00, 0x2B});           // part of 43 bytes
    Append(r, {0x01, 0x00, 0x04, 0, 0, 0, 10});    // id 10
    Append(r, {0x02, 0x00, 0x01, 3});              // layer 3
    Append(r, {0x04, 0x00, 0x03, 2, 0x00, 0x00});  // action allow, no text
    Append(r, {0x08, 0x00, 0x03, 0x00, 6, 0});     // protocol 6, not negated
    Append(r, {0x0C, 0x00, 0x07, 0, 0x00, 0x01, 0x01, 0xBB, 0x01, 0xBB});  // dst 443-443
    Append(r, {0x14, 0x00, 0x07, 2, 0, 0x00, 0x03, 'w', 'e', 'b'});        // dst container
    return r;
}

// A segment of one rule.
Bytes SegmentBytes(const Bytes& rule = RuleBytes()) {
    Bytes s;
    Append(s, {'T', 'S', 'E', 'G', 0, 0, 0, 1});
    Be32(s, uint32_t(rule.size()));
    s.insert(s.end(), rule.begin(), rule.end());
    return s;
}

uint64_t SegmentName(const Bytes& rule = RuleBytes()) {
    Bytes names;
    Be32(names, 1);
    Be64(names, ozy::tarp::Hash64(rule.data(), rule.size(), ozy::tarp::kRuleSeed));
    return ozy::tarp::Hash64(names.data(), names.size(), ozy::tarp::kSegmentSeed);
}

Bytes SegmentPut(uint64_t name, const Bytes& seg, uint32_t offset, size_t n) {
    Bytes b;
    Be64(b, name);
    Be32(b, uint32_t(seg.size()));
    Be32(b, offset);
    b.insert(b.end(), seg.begin() + offset, seg.begin() + offset + n);
    return b;
}

// Create rule set "mainrs" of the segment `segment`, 20 bytes; the roots "mainrs", 9 bytes.
Bytes CreateMainrs(uint64_t segment) {
    Bytes b = {0x00, 0x04, 0x00, 0x00, 0,   0,   0, 0x14, 0x00, 0x06,
               'm',  'a',  'i',  'n',  'r', 's', 0, 0,    0,    1};
    Be64(b, segment);
    return b;
}
const Bytes kRootMainrs = {0x00, 0x05, 0x00, 0x00, 0,   0,   0,   0x09, 0x01,
                           0x00, 0x06, 'm',  'a',  'i', 'n', 'r', 's'};

// A configuration of the given commands (each with its 8-byte header) for `filter`.
Bytes Commands(const std::string& filter, std::initializer_list<Bytes> commands) {
    Bytes c;
    Append(c, {'T', 'C', 'F', 'G', 0, 0, 0, 1});
    Text(c, filter, 64);
    Be32(c, uint32_t(commands.size()));
    for (const Bytes& cmd : commands)
        c.insert(c.end(), cmd.begin(), cmd.end());
    return c;
}

const char* const kShared = ozy::tarp::kSharedAddrSetFilter;
// Create address set "web" (10.0.0.0/24), 32 bytes; destroy rule set "mainrs", 8 bytes; destroy
// address set "web", 5 bytes.
const Bytes kCreateWeb = {0x00, 0x01, 0x00, 0x00, 0,   0,    0, 0x20,  //
                          0x00, 0x03, 'w',  'e',  'b', 0x00, 0, 0,    0, 1, 4, 24, 10, 0, 0, 0,
                          0,    0,    0,    0,    0,   0,    0, 0,    0, 0, 0, 0,  0,  0, 0, 0};
const Bytes kDestroyMainrs = {0x00, 0x03, 0x00, 0x00, 0,   0,   0,   0x08,
                              0x00, 0x06, 'm',  'a',  'i', 'n', 'r', 's'};
const Bytes kDestroyWeb = {0x00, 0x06, 0x00, 0x00, 0, 0, 0, 0x05, 0x00, 0x03, 'w', 'e', 'b'};

// Create address set "web", rule set "mainrs" of the segment, root "mainrs".
Bytes ConfigBytes(const std::string& filter, uint64_t segment) {
    return Commands(filter, {kCreateWeb, CreateMainrs(segment), kRootMainrs});
}

IoctlResult Call(TarpState& s, uint32_t cmd, const Bytes& b) {
    return s.Ioctl(cmd, b.data(), b.size());
}

class TarpStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(state_.CreateFilter({"f1", "vif-1", "lsp-1", "orvane-sfw", true, true}, &why));
    }
    std::string Realized() {
        return tarp::RenderFilter(state_, "f1", *state_.FindFilter("f1")).dump();
    }
    uint32_t Status(uint32_t cmd, const Bytes& b) { return Call(state_, cmd, b).status; }
    uint32_t Apply(const Bytes& b) { return Status(ozy::tarp::kCmdApply, b); }
    uint32_t Put(uint64_t name, const Bytes& seg, uint32_t offset, size_t n) {
        return Status(ozy::tarp::kCmdSegmentPut, SegmentPut(name, seg, offset, n));
    }
    // The segment of `rule` put whole; its name.
    uint64_t Upload(const Bytes& rule = RuleBytes()) {
        const Bytes seg = SegmentBytes(rule);
        const uint64_t name = SegmentName(rule);
        EXPECT_EQ(Put(name, seg, 0, seg.size()), 0u);
        return name;
    }
    CfgAgent::test::LogCapture cap_;
    TarpState state_;
};

TEST_F(TarpStateTest, ConfigurationAndSegmentFromTheirLayouts) {
    // The library writes exactly these bytes for the same rule.
    TarpFirewall::CTarpFWRuleBuilder b;
    b.setId(10);
    b.setAction(ozy::tarp::kActionAllow, "");
    b.setProtocol(6, false);
    b.setDestPort(443, 443, false);
    b.setContainer(TarpFirewall::RuleSide::kDest, "web");
    EXPECT_EQ(b.buildRule()->encoded(), RuleBytes());

    uint64_t name = SegmentName();
    Bytes config = ConfigBytes("f1", name);
    // Without the segment: nothing is applied, the missing name comes back.
    IoctlResult r = Call(state_, ozy::tarp::kCmdApply, config);
    EXPECT_EQ(r.status, ozy::tarp::kStatusUnknownSegment);
    Bytes missing;
    Be32(missing, 1);
    Be64(missing, name);
    EXPECT_EQ(r.payload, missing);
    // In two pieces.
    Bytes seg = SegmentBytes();
    EXPECT_EQ(Put(name, seg, 0, 10), 0u);
    EXPECT_EQ(Put(name, seg, 10, seg.size() - 10), 0u);
    EXPECT_EQ(Apply(config), 0u);
    EXPECT_EQ(Apply(config), 21u);
    auto f = nlohmann::json::parse(Realized());
    ASSERT_EQ(f["rules"].size(), 1u);
    EXPECT_EQ(f["rules"][0]["id"], 10);
    auto part = f["rules"][0]["parts"][0];
    EXPECT_EQ(part["action"], "allow");
    EXPECT_EQ(part["destination_ports"]["ports"][0], "443");
    EXPECT_EQ(part["destination"]["name"], "web");
    EXPECT_EQ(part["destination"]["addresses"][0], "10.0.0.0/24");
    EXPECT_EQ(f["apply_count"], 2);
}

TEST_F(TarpStateTest, InterleavedUploadsOfOneSegmentAssembleIt) {
    uint64_t name = SegmentName();
    Bytes seg = SegmentBytes();
    auto put = [&](uint32_t from, uint32_t to) { return Put(name, seg, from, to - from); };
    uint32_t end = static_cast<uint32_t>(seg.size());
    // Two callers, A and B, send the same segment in pieces of their own sizes.
    EXPECT_EQ(put(0, 10), 0u);    // A
    EXPECT_EQ(put(0, 10), 0u);    // B: assembled already
    EXPECT_EQ(put(5, 30), 0u);    // B: overlaps, adds its tail
    EXPECT_EQ(put(10, 30), 0u);   // A: assembled already
    EXPECT_EQ(put(0, 10), 0u);    // B again, on a new connection: nothing is lost
    EXPECT_EQ(put(30, end), 0u);  // A: complete
    EXPECT_EQ(put(30, end), 0u);  // B: held
    EXPECT_EQ(state_.Dump()["stats"]["segments_uploaded"], 1);
    EXPECT_EQ(Apply(ConfigBytes("f1", name)), 0u);
    EXPECT_EQ(nlohmann::json::parse(Realized())["rules"][0]["id"], 10);
    // A gap is still out of order, and a name whose bytes differ is still refused at the end.
    EXPECT_EQ(Put(name + 1, seg, 0, 10), 0u);
    EXPECT_EQ(Put(name + 1, seg, 11, 5), 65u);
    EXPECT_EQ(Put(name + 2, seg, 0, 10), 0u);
    EXPECT_EQ(Put(name + 2, seg, 10, end - 10), 65u);
    EXPECT_EQ(state_.Dump()["segments"]["count"], 1);
}

TEST_F(TarpStateTest, BadInputIsRefusedAndChangesNothing) {
    uint64_t name = SegmentName();
    Bytes seg = SegmentBytes();
    ASSERT_EQ(Put(name, seg, 0, seg.size()), 0u);
    Bytes good = ConfigBytes("f1", name);
    ASSERT_EQ(Apply(good), 0u);
    std::string before = Realized();

    auto mutate = [&](auto edit) {
        Bytes b = good;
        edit(b);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t status;
    };
    std::vector<Case> cases = {
        {"truncated", Bytes(good.begin(), good.end() - 3), 65},
        {"trailing byte", mutate([](Bytes& b) { b.push_back(0); }), 65},
        {"unknown command", mutate([](Bytes& b) { b[77] = 0x09; }), 65},
        {"unterminated filter name", mutate([](Bytes& b) { std::memset(&b[8], 'x', 64); }), 65},
        {"prefix over 32", mutate([](Bytes& b) { b[95] = 33; }), 65},
        {"bad family", mutate([](Bytes& b) { b[94] = 5; }), 65},
        {"bad magic", mutate([](Bytes& b) { b[0] = 'X'; }), 65},
        {"unknown filter", ConfigBytes("nosuch", name), 19},
        {"empty", Bytes(), 65},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Apply(c.bytes), c.status) << c.what;
        EXPECT_EQ(Realized(), before) << c.what;
    }
    // Segments: a wrong name, a piece out of order, a bad rule (start above end).
    EXPECT_EQ(Put(name + 1, seg, 0, seg.size()), 65u);
    EXPECT_EQ(Put(name + 2, seg, 5, 5), 65u);
    Bytes reversed = seg;
    reversed[47] = 0x02;  // dst range 443-443 becomes 699-443
    uint64_t reversedName = SegmentName(Bytes(reversed.begin() + 12, reversed.end()));
    EXPECT_EQ(Put(reversedName, reversed, 0, reversed.size()), 65u);
    EXPECT_TRUE(cap_.Contains("port range start 699 above its end 443"));
    EXPECT_EQ(Status(0x12345678, {}), 25u);
    EXPECT_EQ(Status(ozy::tarp::kCmdHello, {1}), 65u);
    EXPECT_EQ(state_.Dump()["segments"]["count"], 1);
    EXPECT_GE(state_.Dump()["errors"].size(), 10u);
    EXPECT_TRUE(cap_.Contains("ozy-dpemu: tarp: apply refused: trailing bytes"));
}

TEST_F(TarpStateTest, FilterRecordAtItsOffsets) {
    Bytes req;
    Append(req, {0, 0, 0, 21});
    Bytes header(120, 0);
    header[3] = 1;
    header[7] = 1;  // capacity 1
    req.insert(req.end(), header.begin(), header.end());
    req.resize(req.size() + 925, 0);
    IoctlResult r = Call(state_, ozy::tarp::kCmdFwIoctl, req);
    ASSERT_EQ(r.status, 0u);
    ASSERT_EQ(r.payload.size(), 120u + 925u);
    EXPECT_EQ(r.payload[11], 1);  // returned
    EXPECT_EQ(r.payload[15], 1);  // total
    const uint8_t* rec = r.payload.data() + 120;
    Bytes expect(925, 0);
    std::memcpy(&expect[0], "f1", 2);
    std::memcpy(&expect[64], "vif-1", 5);
    std::memcpy(&expect[128], "lsp-1", 5);
    expect[171] = 2;                          // imported
    std::memcpy(&expect[172], rec + 172, 8);  // import time: checked below
    std::memcpy(&expect[188], rec + 188, 4);  // port number
    std::memcpy(&expect[204], "orvane-sfw", 10);
    std::memcpy(&expect[802], "ozy", 3);
    EXPECT_EQ(Bytes(rec, rec + 925), expect);
    EXPECT_NE(Bytes(rec + 172, rec + 180), Bytes(8, 0));

    TarpFirewall::TarpFilterRecord d;
    ASSERT_TRUE(TarpFirewall::DecodeFilterRecord(expect.data(), expect.size(), &d));
    EXPECT_EQ(d.agent, "orvane-sfw");
    EXPECT_EQ(d.product, "ozy");
    EXPECT_TRUE(d.imported());
    // Text fields that fill their width are read bounded.
    std::memset(&expect[204], 'a', 100);
    std::memset(&expect[802], 'p', 123);
    ASSERT_TRUE(TarpFirewall::DecodeFilterRecord(expect.data(), expect.size(), &d));
    EXPECT_EQ(d.agent, std::string(100, 'a'));
    EXPECT_EQ(d.product, std::string(123, 'p'));
    EXPECT_FALSE(TarpFirewall::DecodeFilterRecord(expect.data(), 924, &d));

    // A capacity beyond the buffer is refused.
    req[4 + 7] = 2;
    EXPECT_EQ(Status(ozy::tarp::kCmdFwIoctl, req), 65u);
}

TEST_F(TarpStateTest, ExcludeEntriesOfTwentyThreeBytes) {
    auto table = [](uint32_t cmd, uint32_t count, const Bytes& entries) {
        Bytes b;
        Be32(b, cmd);
        Text(b, "orvane-sfw", 32);
        Append(b, {2, 0, 0, 0});
        Be32(b, count);
        Be32(b, 0);
        b.insert(b.end(), entries.begin(), entries.end());
        return b;
    };
    Bytes entry = {1, 23, 0x5c, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0};
    ASSERT_EQ(entry.size(), 23u);
    EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, table(1, 1, entry)), 0u);
    IoctlResult size = Call(state_, ozy::tarp::kCmdDvfIoctl, table(3, 0, {}));
    ASSERT_EQ(size.status, 0u);
    EXPECT_EQ(size.payload[43], 1);
    IoctlResult read = Call(state_, ozy::tarp::kCmdDvfIoctl, table(4, 1, Bytes(23, 0)));
    ASSERT_EQ(read.status, 0u);
    EXPECT_EQ(Bytes(read.payload.begin() + 44, read.payload.end()), entry);
    TarpFirewall::TarpDvfEntry e;
    ASSERT_TRUE(TarpFirewall::DecodeDvfEntry(entry.data(), entry.size(), &e));
    EXPECT_EQ(e.vnic[0], 0x5c);

    Bytes badLength = entry, badType = entry;
    badLength[1] = 22;
    badType[0] = 3;
    EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, table(1, 1, badLength)), 65u);
    EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, table(1, 1, badType)), 65u);
    EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, table(1, 2, entry)), 65u);
    EXPECT_FALSE(TarpFirewall::DecodeDvfEntry(badLength.data(), 23, &e));
    EXPECT_EQ(state_.Dump()["tables"]["orvane-sfw"]["exclude"].size(), 1u);
    EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, table(6, 0, {})), 0u);
    EXPECT_EQ(state_.Dump()["tables"]["orvane-sfw"]["exclude"].size(), 0u);
}

TEST_F(TarpStateTest, AddressSetStatisticsOfSeventyFourBytes) {
    // The shared filter holds "g1"; f1 uses it in shared mode: anchor count 1.
    const uint64_t name = Upload();
    Bytes shared = ConfigBytes(ozy::tarp::kSharedAddrSetFilter, name);
    ASSERT_EQ(Apply(shared), 0u);  // "web" on the shared
    Bytes setting;
    Text(setting, "f1", 64);
    Append(setting, {0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0, 1});
    ASSERT_EQ(Status(ozy::tarp::kCmdFilterSetting, setting), 0u);
    Bytes onlyRules = ConfigBytes("f1", name);
    onlyRules.erase(onlyRules.begin() + 76, onlyRules.begin() + 76 + 8 + 32);
    onlyRules[75] = 2;
    ASSERT_EQ(Apply(onlyRules), 0u) << state_.Dump()["errors"].dump();
    EXPECT_EQ(Apply(onlyRules), 21u);

    Bytes req;
    Text(req, ozy::tarp::kSharedAddrSetFilter, 64);
    Be32(req, 4);
    IoctlResult r = Call(state_, ozy::tarp::kCmdAddrSetStats, req);
    ASSERT_EQ(r.status, 0u);
    ASSERT_EQ(r.payload.size(), 8u + 74u);
    Bytes expect;
    Append(expect, {0, 0, 0, 1, 0, 0, 0, 1});
    Text(expect, "web", 40);
    Append(expect, {0, 0, 0, 1});  // anchor reference count
    Append(expect, {0, 0, 0, 1});  // addresses
    Append(expect, {0, 0, 0, 0});  // excluded
    Append(expect, {0, 0, 0, 0});  // flags: not yet active
    Be64(expect, 1);               // generation (applies to the shared filter)
    Be64(expect, 0);
    Append(expect, {0, 1});
    EXPECT_EQ(r.payload, expect);
    TarpFirewall::TarpAddrSetStat st;
    ASSERT_TRUE(TarpFirewall::DecodeAddrSetStat(expect.data() + 8, 74, &st));
    EXPECT_EQ(st.name, "web");
    EXPECT_EQ(st.anchorRefCount, 1u);

    // While f1's rules use "web", the shared filter cannot lose it; once f1 leaves shared mode
    // (anchor count 0), it can.
    // No roots (1 byte), rule set "mainrs" and address set "web" destroyed.
    const Bytes destroy = Commands(
        kShared, {{0x00, 0x05, 0x00, 0x00, 0, 0, 0, 1, 0x00}, kDestroyMainrs, kDestroyWeb});
    std::string before =
        tarp::RenderFilter(state_, ozy::tarp::kSharedAddrSetFilter, state_.SharedFilter()).dump();
    EXPECT_EQ(Apply(destroy), 65u);
    EXPECT_EQ(
        tarp::RenderFilter(state_, ozy::tarp::kSharedAddrSetFilter, state_.SharedFilter()).dump(),
        before);
    EXPECT_TRUE(cap_.Contains("web is used by 1 filter(s)"));
    setting[64 + 8 + 3] = 0;  // shared mode 0
    ASSERT_EQ(Status(ozy::tarp::kCmdFilterSetting, setting), 0u);
    // Out of shared mode, the rule set naming "web" (held on the shared filter only) sent again
    // is checked again and refused.
    EXPECT_EQ(Apply(onlyRules), 65u);
    EXPECT_EQ(Apply(destroy), 0u);
}

// Create chunk 5: capacity 6000, bucket 2, one entry 198.51.100.0/24 (threat 3, reputation 90,
// bucket 2). Destroy chunk 5.
const Bytes kCreateChunk5 = {0x00, 0x07, 0x00, 0x00, 0,    0,    0,    0x20,  //
                             0,    0,    0,    5,    0,    0,    0x17, 0x70, 0,    0,
                             0,    2,    0,    0,    0,    1,                             //
                             0xC6, 0x33, 0x64, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x03,  //
                             0x00, 0x5A, 0,    0,    0,    2};
const Bytes kDestroyChunk5 = {0x00, 0x08, 0x00, 0x00, 0, 0, 0, 4, 0, 0, 0, 5};

// Lists that change no address set or container are checked against the sets the filter holds
// and leave them as they were; refused ones change nothing.
TEST_F(TarpStateTest, RuleSetListsCheckedAgainstTheSetsTheFilterHolds) {
    const uint64_t name = Upload();
    ASSERT_EQ(Apply(ConfigBytes("f1", name)), 0u);
    // The same rule naming "dbx", which no filter holds.
    Bytes dbxRule = RuleBytes();
    std::memcpy(&dbxRule[dbxRule.size() - 3], "dbx", 3);
    const uint64_t dbx = Upload(dbxRule);
    // Rule 11, else the same: a segment the filter does not hold yet, naming the set it holds.
    Bytes rule11 = RuleBytes();
    rule11[12] = 11;
    const uint64_t name11 = Upload(rule11);
    const Bytes set11 = CreateMainrs(name11), dbxSet = CreateMainrs(dbx),
                mainrs = CreateMainrs(name);
    const Bytes& rootMain = kRootMainrs;
    // Create rule set "other" of the first segment (19 bytes); roots "other" (8 bytes).
    Bytes other = {0x00, 0x04, 0x00, 0x00, 0,   0, 0, 0x13, 0x00, 0x05,
                   'o',  't',  'h',  'e',  'r', 0, 0, 0,    1};
    Be64(other, name);
    const Bytes rootOther = {0x00, 0x05, 0x00, 0x00, 0,   0,   0,   0x08,
                             0x01, 0x00, 0x05, 'o',  't', 'h', 'e', 'r'};
    const Bytes &destroyMain = kDestroyMainrs, &destroyWeb = kDestroyWeb;
    struct Case {
        const char* what;
        Bytes list;
        uint32_t status;
        std::vector<std::string> ruleSets;  // held after the list, in order
    };
    const std::vector<Case> cases = {
        {"the same rule set again", Commands("f1", {mainrs, rootMain}), 21, {"mainrs"}},
        {"a rule set naming a set held nowhere",
         Commands("f1", {dbxSet, rootMain}),
         65,
         {"mainrs"}},
        {"a new segment naming the set held", Commands("f1", {set11, rootMain}), 0, {"mainrs"}},
        {"the first segment again", Commands("f1", {mainrs, rootMain}), 0, {"mainrs"}},
        {"a second rule set as root", Commands("f1", {other, rootOther}), 0, {"mainrs", "other"}},
        {"the root moved back alone", Commands("f1", {rootMain}), 0, {"mainrs", "other"}},
        {"the root moved again", Commands("f1", {rootOther}), 0, {"mainrs", "other"}},
        {"a root that is destroyed",
         Commands("f1", {destroyMain, rootMain}),
         65,
         {"mainrs", "other"}},
        {"a rule set whose set goes",
         Commands("f1", {destroyWeb, mainrs, rootMain}),
         65,
         {"mainrs", "other"}},
        {"the rule set destroyed, the root moved",
         Commands("f1", {destroyMain, rootOther}),
         0,
         {"other"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Apply(c.list), c.status) << c.what;
        const tarp::FilterConfig& held = state_.FindFilter("f1")->config;
        std::vector<std::string> ruleSets;
        for (const auto& [n, hashes] : held.ruleSets)
            ruleSets.push_back(n);
        EXPECT_EQ(ruleSets, c.ruleSets) << c.what;
        // The set the first list created is held whatever the lists did.
        ASSERT_EQ(held.addrSets.count("web"), 1u) << c.what;
        EXPECT_EQ(held.addrSets.at("web").addresses.size(), 1u) << c.what;
    }
    EXPECT_EQ(
        nlohmann::json::parse(Realized())["rules"][0]["parts"][0]["destination"]["addresses"][0],
        "10.0.0.0/24");
}

// What a filter's last check found resolving is what it lists now, not what it once listed: a
// segment it let go is checked again when it comes back, against the sets the filter holds then.
TEST_F(TarpStateTest, ASegmentListedAgainIsCheckedAgainstTheSetsHeldNow) {
    const uint64_t web = Upload();
    Bytes dbxRule = RuleBytes();
    std::memcpy(&dbxRule[dbxRule.size() - 3], "dbx", 3);
    const uint64_t dbx = Upload(dbxRule);
    Bytes createDbx = kCreateWeb;
    std::memcpy(&createDbx[10], "dbx", 3);
    const struct {
        const char* what;
        Bytes list;
        uint32_t status;
    } steps[] = {
        {"the segment naming web, with web", ConfigBytes("f1", web), 0},
        {"the segment naming dbx, with dbx",
         Commands("f1", {createDbx, CreateMainrs(dbx), kRootMainrs}), 0},
        {"web goes, no rule names it", Commands("f1", {kDestroyWeb}), 0},
        {"the segment naming web again, web held nowhere",
         Commands("f1", {CreateMainrs(web), kRootMainrs}), 65},
        {"the segment naming dbx again", Commands("f1", {CreateMainrs(dbx), kRootMainrs}), 21},
    };
    for (const auto& step : steps)
        EXPECT_EQ(Apply(step.list), step.status) << step.what;
    const tarp::FilterConfig& held = state_.FindFilter("f1")->config;
    EXPECT_EQ(held.ruleSets.at("mainrs"), std::vector<uint64_t>({dbx}));
    EXPECT_EQ(held.addrSets.count("web"), 0u);
}

// Every accepted apply is stamped with the time it took effect (the steady clock every process
// shares); a refused one leaves the stamp as it was.
TEST_F(TarpStateTest, AppliesAreStampedWhenAccepted) {
    const uint64_t web = Upload();
    const tarp::Filter& f = *state_.FindFilter("f1");
    EXPECT_EQ(f.appliedMs, 0);
    Bytes bad = ConfigBytes("f1", web);
    bad.pop_back();
    const struct {
        const char* what;
        Bytes list;
        bool injected;
        bool accepted;
    } cases[] = {
        {"a configuration", ConfigBytes("f1", web), false, true},
        {"a truncated one", bad, false, false},
        {"a rule set naming a set held nowhere",
         Commands("f1", {kDestroyWeb, CreateMainrs(web), kRootMainrs}), false, false},
        {"an injected failure", ConfigBytes("f1", web), true, false},
        {"the same configuration again", ConfigBytes("f1", web), false, true},
    };
    double last = f.appliedMs;
    for (const auto& c : cases) {
        std::string why;
        if (c.injected) {
            ASSERT_TRUE(state_.FailFilter("f1", EBUSY, 1, &why)) << why;
        }
        const double before = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        const uint32_t status = Apply(c.list);
        EXPECT_EQ(status == 0 || status == 21, c.accepted) << c.what;
        if (c.accepted) {
            EXPECT_GE(f.appliedMs, before) << c.what;
            last = f.appliedMs;
        } else {
            EXPECT_EQ(f.appliedMs, last) << c.what;
        }
    }
}

TEST_F(TarpStateTest, IpReputationChunksFromTheirLayouts) {
    ASSERT_EQ(Apply(Commands(kShared, {kCreateChunk5})), 0u);
    auto chunks = state_.Dump()["ip_reputation_chunks"];
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0]["id"], 5);
    EXPECT_EQ(chunks[0]["capacity"], 6000);
    EXPECT_EQ(chunks[0]["count"], 1);
    EXPECT_EQ(chunks[0]["bucket"], 2);
    EXPECT_EQ(tarp::RenderFilter(state_, kShared, state_.SharedFilter())["ip_reputation_chunks"],
              chunks);
    // The list: total, returned, then 24 bytes a chunk (id, capacity, count, bucket, hash of the
    // entries as sent).
    Bytes req;
    Text(req, kShared, 64);
    Be32(req, 4);
    IoctlResult r = Call(state_, ozy::tarp::kCmdListIpRepChunks, req);
    ASSERT_EQ(r.status, 0u);
    Bytes expect;
    Append(expect, {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0x17, 0x70, 0, 0, 0, 1, 0, 0, 0, 2});
    Be64(expect, ozy::tarp::Hash64(kCreateChunk5.data() + 24, 16, ozy::tarp::kIpRepSeed));
    EXPECT_EQ(r.payload, expect);
    FW_IpRepChunkStat stat;
    ASSERT_TRUE(TarpFirewall::DecodeIpRepChunkStat(expect.data() + 8, 24, &stat));
    EXPECT_EQ(stat.id, 5u);
    EXPECT_EQ(stat.capacity, 6000u);
    EXPECT_EQ(stat.count, 1u);
    EXPECT_EQ(stat.bucket, 2u);
    expect[8 + 10] = 0x17;  // count 6001: over the capacity
    expect[8 + 11] = 0x71;
    EXPECT_FALSE(TarpFirewall::DecodeIpRepChunkStat(expect.data() + 8, 24, &stat));
    EXPECT_FALSE(TarpFirewall::DecodeIpRepChunkStat(expect.data() + 8, 23, &stat));
    Bytes none = req;
    none[67] = 0;  // capacity 0: the total alone
    EXPECT_EQ(Call(state_, ozy::tarp::kCmdListIpRepChunks, none).payload,
              (Bytes{0, 0, 0, 1, 0, 0, 0, 0}));

    // A create of a held id replaces it: capacity 10000, two entries. The same again changes
    // nothing.
    Bytes replace = kCreateChunk5;
    replace[7] = 0x30;
    replace[14] = 0x27;
    replace[15] = 0x10;
    replace[23] = 2;
    Append(replace, {0xCB, 0x00, 0x71, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 1, 0, 0, 0, 3});
    ASSERT_EQ(Apply(Commands(kShared, {replace})), 0u);
    EXPECT_EQ(Apply(Commands(kShared, {replace})), 21u);
    chunks = state_.Dump()["ip_reputation_chunks"];
    EXPECT_EQ(chunks[0]["capacity"], 10000);
    EXPECT_EQ(chunks[0]["count"], 2);

    // Refused, changing nothing: chunk commands for another filter, a destroy of an id not held
    // (also after it was destroyed earlier in the same list), capacity 0, more entries than the
    // capacity, a list of another filter.
    Bytes create9 = kCreateChunk5;
    create9[11] = 9;
    Bytes capacity0 = create9;
    capacity0[14] = capacity0[15] = 0;
    Bytes over = replace;  // two entries
    over[11] = 9;
    over[14] = 0;
    over[15] = 1;
    Bytes destroy9 = kDestroyChunk5;
    destroy9[11] = 9;
    const struct {
        const char* what;
        Bytes bytes;
    } refused[] = {
        {"on a firewall filter", Commands("f1", {create9})},
        {"destroy on a firewall filter", Commands("f1", {kDestroyChunk5})},
        {"destroy of an id not held", Commands(kShared, {create9, destroy9, destroy9})},
        {"capacity 0", Commands(kShared, {capacity0})},
        {"two entries in a capacity of one", Commands(kShared, {over})},
        {"truncated entry",
         Commands(kShared, {Bytes(kCreateChunk5.begin(), kCreateChunk5.end() - 1)})},
    };
    const std::string before = state_.Dump()["ip_reputation_chunks"].dump();
    for (const auto& c : refused) {
        EXPECT_EQ(Apply(c.bytes), 65u) << c.what;
        EXPECT_EQ(state_.Dump()["ip_reputation_chunks"].dump(), before) << c.what;
    }
    EXPECT_TRUE(cap_.Contains("IP-reputation chunks live on " + std::string(kShared)));
    EXPECT_TRUE(cap_.Contains("no IP-reputation chunk 9 to destroy"));
    Bytes otherList;
    Text(otherList, "f1", 64);
    Be32(otherList, 4);
    EXPECT_EQ(Status(ozy::tarp::kCmdListIpRepChunks, otherList), 65u);

    // Create one, destroy the other, in one list.
    ASSERT_EQ(Apply(Commands(kShared, {create9, kDestroyChunk5})), 0u);
    chunks = state_.Dump()["ip_reputation_chunks"];
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0]["id"], 9);
}

// Drop from a malicious source of bucket 2: the address set "bad" (IP reputation, no addresses of
// its own) holds what the chunks' entries of that bucket list.
TEST_F(TarpStateTest, AMaliciousSourceMatchesTheChunksEntriesOfItsBucket) {
    Bytes rule;
    Append(rule, {0x00, 0x01, 0x00, 0x00, 0x00, 0x22});
    Append(rule, {0x01, 0x00, 0x04, 0, 0, 0, 20});                      // id 20
    Append(rule, {0x02, 0x00, 0x01, 3});                                // layer 3
    Append(rule, {0x04, 0x00, 0x03, 1, 0x00, 0x00});                    // drop
    Append(rule, {0x13, 0x00, 0x04, 0, 0, 0, 2});                       // bucket 2
    Append(rule, {0x14, 0x00, 0x07, 1, 1, 0x00, 0x03, 'b', 'a', 'd'});  // malicious source
    const uint64_t name = Upload(rule);
    Bytes set = {0x00, 0x01, 0x00, 0x00, 0, 0, 0, 14, 0x00, 0x03, 'b',
                 'a',  'd',  0x01, 0,    0, 0, 0, 0,  0,    0,    0};
    ASSERT_EQ(Apply(Commands("f1", {set, CreateMainrs(name), kRootMainrs})), 0u)
        << state_.Dump()["errors"].dump();
    auto verdict = [&](const char* source) {
        tarp::Packet p;
        std::string why;
        EXPECT_TRUE(
            tarp::ParsePacket({"in", "tcp", std::string(source) + ":1", "10.0.0.2:22"}, &p, &why));
        tarp::Verdict v = tarp::Evaluate(state_, *state_.FindFilter("f1"), p);
        return v.verdict + (v.matched ? " " + std::to_string(v.rule) : "");
    };
    EXPECT_EQ(verdict("198.51.100.7"), "DEFAULT") << "no chunk yet";
    ASSERT_EQ(Apply(Commands(kShared, {kCreateChunk5})), 0u);
    EXPECT_EQ(verdict("198.51.100.7"), "DROP 20");
    EXPECT_EQ(verdict("198.51.101.7"), "DEFAULT") << "outside the entry's mask";
    // The same entry in bucket 3: not the rule's bucket.
    Bytes bucket3 = kCreateChunk5;
    bucket3[39] = 3;
    ASSERT_EQ(Apply(Commands(kShared, {bucket3})), 0u);
    EXPECT_EQ(verdict("198.51.100.7"), "DEFAULT");
    ASSERT_EQ(Apply(Commands(kShared, {kCreateChunk5})), 0u);
    ASSERT_EQ(Apply(Commands(kShared, {kDestroyChunk5})), 0u);
    EXPECT_EQ(verdict("198.51.100.7"), "DEFAULT");
}

// dpemu/tarp-fail: the filter's next applies and settings fail with the status and change
// nothing; other filters and later calls are untouched; the fault leaves with its filter.
TEST_F(TarpStateTest, InjectedFailuresOfOneFilter) {
    std::string why;
    ASSERT_TRUE(state_.CreateFilter({"f2", "vif-2", "lsp-2", "orvane-sfw", true, true}, &why));
    const uint64_t name = Upload();
    Bytes setting;
    Text(setting, "f1", 64);
    Be32(setting, ozy::tarp::kSetTimeout);
    Be32(setting, uint32_t(ozy::tarp::kTimeoutCfgSize));
    setting.insert(setting.end(), ozy::tarp::kTimeoutCfgSize, 0);

    ASSERT_TRUE(state_.FailFilter("f1", EBUSY, 2, &why));
    EXPECT_EQ(Apply(ConfigBytes("f1", name)), unsigned(EBUSY));
    EXPECT_EQ(Status(ozy::tarp::kCmdFilterSetting, setting), unsigned(EBUSY));
    auto failed = nlohmann::json::parse(Realized());
    EXPECT_EQ(failed["rules"].size(), 0u);
    EXPECT_EQ(failed["apply_count"], 0);
    EXPECT_EQ(state_.FindFilter("f1")->lastStatus, unsigned(EBUSY));
    // The other filter is not affected.
    EXPECT_EQ(Apply(ConfigBytes("f2", name)), 0u);
    // Spent: the next apply goes through.
    EXPECT_EQ(Apply(ConfigBytes("f1", name)), 0u);
    EXPECT_EQ(nlohmann::json::parse(Realized())["rules"].size(), 1u);

    // Count 0 clears a pending fault; an unknown filter is refused.
    ASSERT_TRUE(state_.FailFilter("f1", EIO, 5, &why));
    ASSERT_TRUE(state_.FailFilter("f1", EIO, 0, &why));
    EXPECT_EQ(Status(ozy::tarp::kCmdFilterSetting, setting), 0u);
    EXPECT_FALSE(state_.FailFilter("nosuch", EIO, 1, &why));
    // A fault does not outlive its filter.
    ASSERT_TRUE(state_.FailFilter("f2", EIO, 1, &why));
    ASSERT_TRUE(state_.DeleteFilter("f2", &why));
    ASSERT_TRUE(state_.CreateFilter({"f2", "vif-2", "lsp-2", "orvane-sfw", true, true}, &why));
    EXPECT_EQ(Apply(ConfigBytes("f2", name)), 0u);
}

// A filter's settings time (the benchmark's measure of when a setting took effect) moves with
// each accepted setting and with nothing that is refused.
TEST_F(TarpStateTest, SettingsAreStampedWhenAccepted) {
    auto flood = [](const std::string& filter, uint8_t synCache) {
        Bytes b;
        Text(b, filter, 64);
        Be32(b, ozy::tarp::kSetFlood);
        Be32(b, 20);
        Be32(b, 1000);  // TCP half-open, UDP, ICMP, other
        Be32(b, 0);
        Be32(b, 0);
        Be32(b, 0);
        Append(b, {synCache, 0, 0, 0});
        return b;
    };
    std::string why;
    const tarp::Filter& f = *state_.FindFilter("f1");
    EXPECT_EQ(f.settingsMs, 0);
    const struct {
        const char* what;
        Bytes request;
        bool accepted;
    } cases[] = {
        {"flood", flood("f1", 1), true},
        {"flood with a bad flag", flood("f1", 2), false},
        {"another filter's flood", flood("nosuch", 1), false},
        {"flood again", flood("f1", 0), true},
    };
    double last = f.settingsMs;
    for (const auto& c : cases) {
        const double before = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        const uint32_t status = Status(ozy::tarp::kCmdFilterSetting, c.request);
        EXPECT_EQ(status == 0, c.accepted) << c.what;
        if (c.accepted) {
            EXPECT_GE(f.settingsMs, before) << c.what;
            last = f.settingsMs;
        } else {
            EXPECT_EQ(f.settingsMs, last) << c.what;
        }
    }
    // An injected failure changes nothing either.
    ASSERT_TRUE(state_.FailFilter("f1", EBUSY, 1, &why));
    EXPECT_EQ(Status(ozy::tarp::kCmdFilterSetting, flood("f1", 1)), unsigned(EBUSY));
    EXPECT_EQ(f.settingsMs, last);
}

TEST_F(TarpStateTest, RevalidationsOfFiftyTwoBytesAndExcludedFilters) {
    auto revalidate = [](const std::string& agent, uint32_t world, size_t extra) {
        Bytes b;
        Be32(b, 7);
        Text(b, agent, 32);
        Append(b, {0xd8, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 0x01});
        Be32(b, world);
        b.resize(b.size() + extra, 0);
        return b;
    };
    const struct {
        const char* what;
        Bytes request;
        uint32_t status;
    } cases[] = {
        {"firewall agent", revalidate("orvane-sfw", 42, 0), 0},
        {"service insertion", revalidate("orvane-si", 7, 0), 0},
        {"one byte more", revalidate("orvane-sfw", 42, 1), 65},
        {"world 0", revalidate("orvane-sfw", 0, 0), 65},
        {"unknown agent", revalidate("orvane-x", 1, 0), 65},
        {"agent not terminated", revalidate(std::string(32, 'a'), 1, 0), 65},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Status(ozy::tarp::kCmdDvfIoctl, c.request), c.status);
    }
    nlohmann::json r = state_.Dump()["revalidations"];
    EXPECT_EQ(r["total"], 2);
    EXPECT_EQ(r["last"][0], nlohmann::json({{"agent", "orvane-sfw"},
                                            {"vm", "d8000000-0000-4000-8000-000000000001"},
                                            {"world_id", 42}}));

    // A filter whose vif is in its agent's exclude table is bypassed; one of the other agent or
    // with a vif not in uuid form is not.
    std::string why;
    const std::string vnic = "5C000000-0000-4000-0000-000000000001";
    ASSERT_TRUE(state_.CreateFilter({"fx", vnic, "lsp", "orvane-sfw", false, true}, &why)) << why;
    ASSERT_TRUE(state_.CreateFilter({"fs", vnic, "lsp", "orvane-si", false, true}, &why)) << why;
    ASSERT_TRUE(state_.CreateFilter({"fv", "vif-1", "lsp", "orvane-sfw", false, true}, &why));
    Bytes write;
    Be32(write, 1);
    Text(write, "orvane-sfw", 32);
    Append(write, {2, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});
    Append(write, {1, 23, 0x5c, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0});
    ASSERT_EQ(Status(ozy::tarp::kCmdDvfIoctl, write), 0u);
    EXPECT_TRUE(state_.Excluded(*state_.FindFilter("fx")));
    EXPECT_FALSE(state_.Excluded(*state_.FindFilter("fs")));
    EXPECT_FALSE(state_.Excluded(*state_.FindFilter("fv")));
    tarp::Packet p;
    ASSERT_TRUE(tarp::ParsePacket({"in", "tcp", "10.0.0.1:1", "10.0.0.2:22"}, &p, &why)) << why;
    EXPECT_EQ(tarp::Evaluate(state_, *state_.FindFilter("fx"), p).verdict, "EXCLUDED");
    EXPECT_EQ(tarp::Evaluate(state_, *state_.FindFilter("fv"), p).verdict, "DEFAULT");
}

TEST(TarpFamilyTest, LinkMessagesFromTheirLayouts) {
    CfgAgent::test::LogCapture cap;
    TarpFamily fam;
    test::RecordingChannel channel("ozy_tarp_krnlink", {1});
    fam.Attach(&channel);
    ASSERT_TRUE(fam.FilterCreate({"f1", "vif-1", "lsp-1", "imported"}).ok);
    ASSERT_TRUE(fam.Flood({"f1", "TCP", "critical", "raise"}).ok);
    ASSERT_TRUE(fam.HopoverFail({"f1"}).ok);
    ASSERT_TRUE(fam.FilterDelete({"f1"}).ok);
    ASSERT_EQ(channel.sent[1].size(), 4u);

    const auto& notify = channel.sent[1][0];
    Bytes expect;
    Append(expect, {0x00, 0x01, 0x01, 0x40});
    Text(expect, "f1", 100);
    Text(expect, "orvane-sfw", 100);
    Text(expect, "vif-1", 64);
    Text(expect, "lsp-1", 40);
    Append(expect, {0, 0, 0, 2});
    expect.insert(expect.end(), notify.begin() + 312, notify.end());  // import time
    EXPECT_EQ(notify, expect);

    Bytes flood;
    Append(flood, {0x00, 0x06, 0x00, 0xBC});
    Text(flood, "f1", 100);
    Text(flood, "vif-1", 64);
    Text(flood, "TCP", 16);
    Append(flood, {2, 1, 0, 0});
    EXPECT_EQ(channel.sent[1][1], flood);

    Bytes hop;
    Append(hop, {0x00, 0x05, 0x00, 0xAC});
    Text(hop, "f1", 100);
    Text(hop, "vif-1", 64);
    Append(hop, {0, 0, 0, 1});
    EXPECT_EQ(channel.sent[1][2], hop);

    // Deleting: the notification names no vif.
    TarpFirewall::TarpLinkMessage m;
    ASSERT_TRUE(
        TarpFirewall::DecodeLinkMessage(channel.sent[1][3].data(), channel.sent[1][3].size(), &m));
    EXPECT_EQ(m.filter, "f1");
    EXPECT_EQ(m.vif, "");
    ASSERT_TRUE(TarpFirewall::DecodeLinkMessage(flood.data(), flood.size(), &m));
    EXPECT_EQ(m.protocol, "TCP");
    EXPECT_EQ(m.severity, ozy::tarp::kFloodCritical);
    EXPECT_TRUE(m.raise);
    // Refused: a length that disagrees, an unknown type, a severity outside the contract, and a
    // protocol name that fills its field is read bounded.
    EXPECT_FALSE(TarpFirewall::DecodeLinkMessage(flood.data(), flood.size() - 1, &m));
    Bytes unknown = hop;
    unknown[1] = 9;
    EXPECT_FALSE(TarpFirewall::DecodeLinkMessage(unknown.data(), unknown.size(), &m));
    Bytes badSeverity = flood;
    badSeverity[184] = 3;
    EXPECT_FALSE(TarpFirewall::DecodeLinkMessage(badSeverity.data(), badSeverity.size(), &m));
    Bytes full = flood;
    std::memset(&full[168], 'P', 16);
    ASSERT_TRUE(TarpFirewall::DecodeLinkMessage(full.data(), full.size(), &m));
    EXPECT_EQ(m.protocol, std::string(16, 'P'));

    // Injections refuse what they cannot send.
    EXPECT_FALSE(fam.FilterCreate({std::string(64, 'x'), "v", "l"}).ok);
    EXPECT_FALSE(fam.Flood({"nosuch", "TCP", "warning", "raise"}).ok);
    EXPECT_FALSE(fam.Flood({"f1", std::string(16, 'P'), "warning", "raise"}).ok);
    EXPECT_FALSE(fam.FilterDelete({ozy::tarp::kSharedAddrSetFilter}).ok);
    ASSERT_TRUE(fam.FilterCreate({"f3", "vif-3", "lsp-3"}).ok);
    EXPECT_EQ(fam.TarpFail({"f3", "EBUSY", "2"}).text,
              "the next 2 applies and settings of f3 fail with EBUSY");
    EXPECT_EQ(fam.TarpFail({"f3", "5"}).text,
              "the next 1 applies and settings of f3 fail with EIO");
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"nosuch", "EIO"},
                                               {"f3", "EWHAT"},
                                               {"f3", "0"},
                                               {"f3", "EIO", "-1"},
                                               {"f3", "EIO", "x"}})
        EXPECT_FALSE(fam.TarpFail(bad).ok) << bad[0] << " " << bad[1];
}

}  // namespace
}  // namespace ozy::dpemu
