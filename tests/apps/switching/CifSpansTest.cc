// Which container interfaces the firewall and service-insertion spans cover: exclude-all, the
// excluded VIF lists of either type, the containers a span names, refused and skipped spans,
// deletions and full syncs.
#include "apps/switching/CifSpans.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <vector>

#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_system.pb.h"
#include "statecache/IdText.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;

constexpr uint64_t kMacA = 0x020000000001;
constexpr uint64_t kMacB = 0x020000000002;
constexpr const char* kCif = "cvif-1";

kcp::MacAddr Mac(uint64_t v) {
    kcp::MacAddr m;
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = static_cast<uint8_t>(v >> (40 - 8 * i));
    return m;
}

CairnDBUpdateMsg Record(ObjectType type, uint64_t n, const std::string& data,
                        Operation op = Operation::OPERATION_UPDATE) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = SerializedUuid(0xbb, n);
    r.data = data;
    r.op = op;
    return r;
}

// A span `n` of filter type `type` (0: none given), changed by `edit`.
CairnDBUpdateMsg Span(uint64_t n, uint32_t type,
                      const std::function<void(pb::ConfigSpanMsg&)>& edit = {}) {
    pb::ConfigSpanMsg s;
    if (type != 0)
        s.set_span_type(type);
    if (edit)
        edit(s);
    return Record(ObjectType::CONFIG_SPAN, n, s.SerializeAsString());
}

// A container `n` whose members are `macs`.
CairnDBUpdateMsg Container(uint64_t n, const std::vector<uint64_t>& macs) {
    pb::ContainerMsg c;
    for (uint64_t m : macs)
        c.add_mac_addresses(m);
    return Record(ObjectType::CONTAINER, n, c.SerializeAsString());
}

void Names(pb::ConfigSpanMsg& s, uint64_t container) {
    pb::UuidMsg* u = s.add_span();
    u->set_left(0xbb);
    u->set_right(container);
}

struct CoverCase {
    const char* name;
    CairnDBUpdateList spans;
    CairnDBUpdateList containers;
    uint64_t mac;
    bool dfw;
    bool si;
    const char* logged;  // a line the batch logs, or nullptr
};

void PrintTo(const CoverCase& c, std::ostream* os) {
    *os << c.name;
}

class CifSpanCoverTest : public ::testing::TestWithParam<CoverCase> {};

TEST_P(CifSpanCoverTest, CoverageOfOneCif) {
    const CoverCase& c = GetParam();
    test::LogCapture logs(kLogDebug);
    CifSpans spans;
    spans.UpdateSpans(c.spans, false);
    spans.UpdateContainers(c.containers, false);
    EXPECT_EQ(spans.Covers(CifSpans::kDfw, kCif, Mac(c.mac)), c.dfw);
    EXPECT_EQ(spans.Covers(CifSpans::kSi, kCif, Mac(c.mac)), c.si);
    if (c.logged != nullptr) {
        EXPECT_TRUE(logs.Contains(c.logged)) << logs.Dump();
    }
}

const CoverCase kCoverCases[] = {
    {"NoSpanCoversNothing", {}, {}, kMacA, false, false, nullptr},
    {"DfwSpanCoversEveryCif",
     {Span(1, 1)},
     {},
     kMacA,
     true,
     false,
     "CIFConfig: DFW new span, exclude_all[false]"},
    {"SiSpanCoversEveryCif",
     {Span(1, 3)},
     {},
     kMacA,
     false,
     true,
     "CIFConfig: SI new span, exclude_all[false]"},
    {"ExcludeAllCoversNone",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { s.set_exclude_all(true); }), Span(2, 3)},
     {},
     kMacA,
     false,
     true,
     "CIFConfig: DFW new span, exclude_all[true]"},
    {"ExcludedVifOfItsType",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { s.add_dfw_excluded_vifs(kCif); })},
     {},
     kMacA,
     false,
     false,
     "CIFConfig: spanconfig: new span vif cvif-1"},
    // The SI list of a firewall span still excludes the CIF from service insertion.
    {"ExcludedVifOfTheOtherType",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { s.add_si_excluded_vifs(kCif); }), Span(2, 3)},
     {},
     kMacA,
     true,
     false,
     nullptr},
    {"OtherVifExcluded",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { s.add_dfw_excluded_vifs("cvif-2"); })},
     {},
     kMacA,
     true,
     false,
     nullptr},
    {"NamedContainerHoldsTheMac",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })},
     {Container(7, {kMacB, kMacA})},
     kMacA,
     true,
     false,
     "CIFConfig: validated message of span container"},
    {"NamedContainerLacksTheMac",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })},
     {Container(7, {kMacB}), Container(8, {kMacA})},
     kMacA,
     false,
     false,
     nullptr},
    {"NamedContainerNotKnown",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })},
     {},
     kMacA,
     false,
     false,
     nullptr},
    {"NonDfwSiSpanSkipped",
     {Span(1, 2)},
     {},
     kMacA,
     false,
     false,
     "CIFConfig: skip config_span of non dfw/si type"},
    {"SpanWithoutFilterTypeRefused",
     {Span(1, 0)},
     {},
     kMacA,
     false,
     false,
     "CIFConfig: bad dfw/si config_span: no filter type"},
    {"SpanThatDoesNotParse",
     {Record(ObjectType::CONFIG_SPAN, 1, "\xff\xff")},
     {},
     kMacA,
     false,
     false,
     "does not parse"},
    {"ContainerThatDoesNotParseIsNoMember",
     {Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })},
     {Record(ObjectType::CONTAINER, 7, "\xff\xff")},
     kMacA,
     false,
     false,
     "CIFConfig: container ["},
};

INSTANTIATE_TEST_SUITE_P(Cases, CifSpanCoverTest, ::testing::ValuesIn(kCoverCases),
                         [](const ::testing::TestParamInfo<CoverCase>& i) { return i.param.name; });

// Changes over time: what each call reports changed and what is covered after it.
TEST(CifSpansTest, ChangesRefusalsDeletionsAndFullSyncs) {
    test::LogCapture logs(kLogDebug);
    CifSpans spans;
    auto dfw = [&] { return spans.Covers(CifSpans::kDfw, kCif, Mac(kMacA)); };
    EXPECT_TRUE(spans.UpdateSpans({Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })}, false));
    EXPECT_FALSE(dfw());
    EXPECT_TRUE(spans.UpdateContainers({Container(7, {kMacA})}, false));
    EXPECT_TRUE(dfw());
    // The same members again, and a container no span names: nothing to look at again.
    EXPECT_FALSE(spans.UpdateContainers({Container(7, {kMacA})}, false));
    EXPECT_FALSE(spans.UpdateContainers({Container(8, {kMacB})}, false));
    // A refused span keeps what was held for it.
    EXPECT_FALSE(spans.UpdateSpans({Span(1, 0)}, false));
    EXPECT_TRUE(
        logs.ContainsWithCode("CIFConfig: bad dfw/si config_span: no filter type", "LCP00514"));
    EXPECT_TRUE(dfw());
    EXPECT_EQ(spans.SpanCount(CifSpans::kDfw), 1u);
    // The span turns into another filter type: it no longer counts.
    EXPECT_TRUE(spans.UpdateSpans({Span(1, 2)}, false));
    EXPECT_EQ(spans.SpanCount(CifSpans::kDfw), 0u);
    EXPECT_FALSE(dfw());
    // Back, then its container goes.
    spans.UpdateSpans({Span(1, 1, [](pb::ConfigSpanMsg& s) { Names(s, 7); })}, false);
    EXPECT_TRUE(dfw());
    EXPECT_TRUE(spans.UpdateContainers(
        {Record(ObjectType::CONTAINER, 7, "", Operation::OPERATION_DELETE)}, false));
    EXPECT_FALSE(dfw());
    // A full sync of containers brings it back; one of spans without it drops the span.
    EXPECT_TRUE(spans.UpdateContainers({Container(7, {kMacA})}, true));
    EXPECT_TRUE(dfw());
    EXPECT_TRUE(spans.UpdateSpans({Span(2, 3)}, true));
    EXPECT_FALSE(dfw());
    EXPECT_TRUE(spans.Covers(CifSpans::kSi, kCif, Mac(kMacA)));
    // Deleting an unknown span changes nothing; deleting the last one uncovers.
    EXPECT_FALSE(spans.UpdateSpans(
        {Record(ObjectType::CONFIG_SPAN, 9, "", Operation::OPERATION_DELETE)}, false));
    EXPECT_TRUE(spans.UpdateSpans(
        {Record(ObjectType::CONFIG_SPAN, 2, "", Operation::OPERATION_DELETE)}, false));
    EXPECT_FALSE(spans.Covers(CifSpans::kSi, kCif, Mac(kMacA)));
    // Records of other types are not looked at.
    EXPECT_FALSE(spans.UpdateSpans({Container(3, {kMacA})}, false));
    EXPECT_FALSE(spans.UpdateContainers({Span(3, 1)}, false));
}

}  // namespace
}  // namespace CfgAgent
