// The canonical-form check that lets the write plan take appended entries as they are.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/cairndb/CanonicalWire.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using ozy::cairndb::CanonicalWire;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// A MAC entry: mac (field 1, fixed64), vtep_ip (2, IpAddressMsg: oneof ipv4 fixed32 = 1, ipv6
// bytes = 2) and label (3, uint32); all but the address with explicit presence.
pb::LogSwitchMacEntryMsg MacEntry(uint64_t mac, uint32_t ipv4, bool label) {
    pb::LogSwitchMacEntryMsg m;
    m.set_mac(mac);
    m.mutable_vtep_ip()->set_ipv4(ipv4);
    if (label)
        m.set_label(7);
    return m;
}

struct WireCase {
    const char* name;
    std::string bytes;
    bool canonical;
};

TEST(CanonicalWireTest, TellsTheSerializationsFormFromOtherBytes) {
    const std::string mac = Bytes({0x09, 1, 2, 3, 4, 5, 6, 0, 0});
    const std::string ip = Bytes({0x12, 0x05, 0x0d, 10, 1, 0, 1});
    const std::vector<WireCase> cases = {
        {"serialized", MacEntry(0x060504030201ull, 0x0100010a, false).SerializeAsString(), true},
        {"serialized with a label", MacEntry(1, 2, true).SerializeAsString(), true},
        {"empty", "", true},
        {"a zero MAC that has presence", Bytes({0x09, 0, 0, 0, 0, 0, 0, 0, 0}), true},
        {"an empty address message", Bytes({0x12, 0x00}), true},
        {"a label of zero that has presence", Bytes({0x18, 0x00}), true},
        {"fields out of order", ip + mac, false},
        {"a field twice", mac + mac, false},
        {"a tag in a longer varint", Bytes({0x89, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}), false},
        {"a label in a longer varint", Bytes({0x18, 0x87, 0x00}), false},
        {"a label past 32 bits", Bytes({0x18, 0x80, 0x80, 0x80, 0x80, 0x10}), false},
        {"a length in a longer varint", Bytes({0x12, 0x85, 0x00, 0x0d, 10, 1, 0, 1}), false},
        {"a MAC of the wrong wire type", Bytes({0x08, 0x01}), false},
        {"a truncated MAC", Bytes({0x09, 1, 2, 3}), false},
        {"a length past the end", Bytes({0x12, 0x09, 0x0d, 10, 1, 0, 1}), false},
        {"an unknown field", Bytes({0x20, 0x01}), false},
        {"field number 0", Bytes({0x00, 0x01}), false},
        {"both members of a oneof", Bytes({0x12, 0x08, 0x0d, 10, 1, 0, 1, 0x12, 0x01, 0x00}),
         false},
        {"a nested field out of order", Bytes({0x12, 0x08, 0x12, 0x01, 0x00, 0x0d, 10, 1, 0, 1}),
         false},
    };
    CanonicalWire canonical;
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(canonical.Check(pb::LogSwitchMacEntryMsg::descriptor(), c.bytes), c.canonical);
        if (c.canonical) {
            pb::LogSwitchMacEntryMsg parsed;
            ASSERT_TRUE(parsed.ParseFromString(c.bytes));
            EXPECT_EQ(parsed.SerializeAsString(), c.bytes);
        }
    }
}

// Without presence (proto3): a default value is never written, a known enum value only.
TEST(CanonicalWireTest, FieldsWithoutPresenceAreNeverAtTheirDefault) {
    CanonicalWire canonical;
    const auto* op = pb::OpMsg::descriptor();
    pb::OpMsg entry;
    entry.set_op(pb::APPEND);
    entry.set_index(3);
    EXPECT_TRUE(canonical.Check(op, entry.SerializeAsString()));
    EXPECT_TRUE(canonical.Check(op, Bytes({0x08, 10})));            // APPEND, index 0
    EXPECT_FALSE(canonical.Check(op, Bytes({0x08, 0x00})));         // op INVALID written
    EXPECT_FALSE(canonical.Check(op, Bytes({0x08, 10, 0x18, 0})));  // index 0 written
    EXPECT_FALSE(canonical.Check(op, Bytes({0x08, 0x7f})));         // no such op
    // Entries of an op (a repeated field) are not judged: the caller parses them.
    pb::OpMsg nested;
    nested.set_op(pb::APPEND);
    *nested.add_entries() = entry;
    EXPECT_FALSE(canonical.Check(op, nested.SerializeAsString()));
    // An address without presence: an empty IPv6 is still written (a oneof member has presence).
    EXPECT_TRUE(canonical.Check(pb::IpAddressMsg::descriptor(), Bytes({0x12, 0x00})));
}

// An enum field takes its class's values only, whether below 64 (looked up in the field's table)
// or above (in the enum's descriptor): every number from 1 to 300 against the descriptor.
TEST(CanonicalWireTest, AnEnumTakesItsValuesOnly) {
    CanonicalWire canonical;
    const auto* op = pb::OpMsg::descriptor();
    const auto* values = pb::PBOpType_descriptor();
    int known = 0;
    for (int n = 1; n <= 300; ++n) {
        std::string bytes = Bytes({0x08});  // op (field 1), then the number as a varint
        uint32_t v = static_cast<uint32_t>(n);
        for (; v >= 0x80; v >>= 7)
            bytes.push_back(static_cast<char>((v & 0x7f) | 0x80));
        bytes.push_back(static_cast<char>(v));
        const bool value = values->FindValueByNumber(n) != nullptr;
        known += value;
        EXPECT_EQ(canonical.Check(op, bytes), value) << "op " << n;
    }
    EXPECT_GT(known, 1);
}

// One checker judges each class by its own table whatever it checked before: classes in turn,
// the same bytes canonical for one and not the other, a nested class checked on its own too.
TEST(CanonicalWireTest, EachClassIsJudgedByItsOwnTableInAnyOrder) {
    const auto* mac = pb::LogSwitchMacEntryMsg::descriptor();
    const auto* op = pb::OpMsg::descriptor();
    const auto* ip = pb::IpAddressMsg::descriptor();
    const std::string entry = MacEntry(5, 0x0a000001, false).SerializeAsString();  // 0x09 ...
    const std::string address = Bytes({0x0d, 10, 0, 0, 1});
    const std::string append = Bytes({0x08, 10});
    const struct {
        const google::protobuf::Descriptor* d;
        const std::string& bytes;
        bool canonical;
    } steps[] = {
        {mac, entry, true},   {op, entry, false},  {mac, entry, true},    {op, append, true},
        {mac, append, false}, {ip, address, true}, {mac, address, false}, {ip, address, true},
        {mac, entry, true},   {ip, entry, false},  {op, append, true},    {mac, entry, true},
    };
    for (int round = 0; round < 2; ++round) {
        CanonicalWire canonical;
        for (size_t i = 0; i < std::size(steps); ++i) {
            // The second round starts at the nested class.
            const auto& s = steps[(i + static_cast<size_t>(round) * 5) % std::size(steps)];
            EXPECT_EQ(canonical.Check(s.d, s.bytes), s.canonical)
                << "round " << round << " step " << i << " " << s.d->name();
        }
    }
}

// Whatever passes parses and serializes back to itself: canonical entries and ops with random
// bytes changed, inserted or dropped.
TEST(CanonicalWireTest, WhatPassesParsesAndSerializesBackToItself) {
    std::mt19937 rng(20261209);
    CanonicalWire canonical;
    std::vector<std::string> seeds = {
        MacEntry(0x005056000001ull, 0x0a010001, false).SerializeAsString(),
        MacEntry(0, 0, true).SerializeAsString()};
    pb::LogSwitchVtepEntryMsg vtep;
    vtep.mutable_ip()->set_ipv6(std::string(16, '\x01'));
    vtep.set_label(100);
    vtep.mutable_transport_node_id()->set_left(5);
    pb::OpMsg op;
    op.set_op(pb::APPEND);
    op.set_index(300);
    size_t passed = 0;
    size_t tried = 0;
    auto tryBytes = [&](const google::protobuf::Message& prototype, const std::string& bytes) {
        ++tried;
        if (!canonical.Check(prototype.GetDescriptor(), bytes))
            return;
        ++passed;
        std::unique_ptr<google::protobuf::Message> m(prototype.New());
        ASSERT_TRUE(m->ParseFromString(bytes)) << testing::PrintToString(bytes);
        ASSERT_EQ(m->SerializeAsString(), bytes) << testing::PrintToString(bytes);
    };
    const std::vector<std::pair<const google::protobuf::Message*, std::string>> all = {
        {&pb::LogSwitchMacEntryMsg::default_instance(), seeds[0]},
        {&pb::LogSwitchMacEntryMsg::default_instance(), seeds[1]},
        {&pb::LogSwitchVtepEntryMsg::default_instance(), vtep.SerializeAsString()},
        {&pb::OpMsg::default_instance(), op.SerializeAsString()},
    };
    for (int round = 0; round < 20000; ++round) {
        const auto& [prototype, seed] = all[static_cast<size_t>(round) % all.size()];
        std::string b = seed;
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !b.empty(); ++e) {
            const size_t at = rng() % b.size();
            switch (rng() % 3) {
                case 0:
                    b[at] = static_cast<char>(rng() % 4 == 0 ? rng() % 256
                                                             : b[at] ^ (1 << (rng() % 8)));
                    break;
                case 1:
                    b.insert(at, 1, static_cast<char>(rng() % 256));
                    break;
                default:
                    b.erase(at, 1);
                    break;
            }
        }
        tryBytes(*prototype, b);
        tryBytes(*prototype, seed);
    }
    // The changes keep some bytes canonical (a MAC's or an address's bits): both sides are seen.
    EXPECT_GT(passed, tried / 2);
    EXPECT_LT(passed, tried);
}

}  // namespace
}  // namespace CfgAgent::test
