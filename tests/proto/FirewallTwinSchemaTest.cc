// The firewall parses stored container, section, config span and IP-reputation bodies directly as
// its own messages (package orvane.ozy.firewall), so each database message and its twin must agree
// field by field on number, name, type, cardinality and presence, nested messages included. The
// comparison is itself checked against twins skewed one field at a time.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace {

namespace db = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptorProto;

// Appends one line per difference between `a` and `b` (and their nested messages) to `out`.
void Compare(const Descriptor* a, const Descriptor* b, const std::string& path,
             std::set<std::pair<const Descriptor*, const Descriptor*>>* seen,
             std::vector<std::string>* out) {
    if (a == b || !seen->insert({a, b}).second)
        return;
    if (a->field_count() != b->field_count()) {
        out->push_back(path + ": " + std::to_string(a->field_count()) + " fields against " +
                       std::to_string(b->field_count()));
    }
    for (int i = 0; i < a->field_count(); ++i) {
        const FieldDescriptor* fa = a->field(i);
        const std::string where = path + "." + fa->name();
        const FieldDescriptor* fb = b->FindFieldByNumber(fa->number());
        if (fb == nullptr) {
            out->push_back(where + ": no field " + std::to_string(fa->number()) + " in twin");
            continue;
        }
        if (fa->name() != fb->name())
            out->push_back(where + ": twin names it " + fb->name());
        if (fa->type() != fb->type()) {
            out->push_back(where + ": type " + fa->type_name() + " against " + fb->type_name());
        }
        if (fa->is_repeated() != fb->is_repeated())
            out->push_back(where + ": cardinality differs");
        if (fa->has_presence() != fb->has_presence())
            out->push_back(where + ": presence differs");
        if (fa->message_type() != nullptr && fb->message_type() != nullptr) {
            Compare(fa->message_type(), fb->message_type(), where, seen, out);
        }
    }
}

std::vector<std::string> Differences(const Descriptor* a, const Descriptor* b) {
    std::set<std::pair<const Descriptor*, const Descriptor*>> seen;
    std::vector<std::string> out;
    Compare(a, b, a->name(), &seen, &out);
    return out;
}

struct Twin {
    const Descriptor* db;
    const Descriptor* fw;
};

std::vector<Twin> Twins() {
    return {{db::ContainerMsg::descriptor(), fw::LcpContainerMsg::descriptor()},
            {db::RuleSectionMsg::descriptor(), fw::LcpRuleSectionMsg::descriptor()},
            {db::ConfigSpanMsg::descriptor(), fw::LcpConfigSpanMsg::descriptor()},
            {db::IpReputationConfigMsg::descriptor(), fw::LcpIpReputationConfigMsg::descriptor()},
            {db::RuleMsg::descriptor(), fw::LcpRuleMsg::descriptor()}};
}

TEST(FirewallTwinSchemaTest, EveryTwinMatchesItsDatabaseMessage) {
    for (const Twin& t : Twins()) {
        for (const std::string& d : Differences(t.db, t.fw))
            ADD_FAILURE() << d;
    }
    // The attribute members of a container are the key/value message the firewall builds from
    // context profiles.
    EXPECT_EQ(fw::LcpContainerMsg::descriptor()->FindFieldByName("attributes")->message_type(),
              fw::LcpSingleAttrKeyValueMsg::descriptor());
}

// Fields whose absence a check reads: absent differs from 0.
TEST(FirewallTwinSchemaTest, CheckedFieldsTrackPresence) {
    const std::vector<std::pair<const Descriptor*, std::vector<const char*>>> checked = {
        {fw::LcpRuleMsg::descriptor(), {"rule_id", "direction", "action", "priority", "type"}},
        {fw::LcpRuleSectionMsg::descriptor(), {"version", "priority"}},
        {fw::LcpConfigSpanMsg::descriptor(), {"span_type"}},
    };
    for (const auto& [desc, names] : checked) {
        for (const char* name : names) {
            const FieldDescriptor* f = desc->FindFieldByName(name);
            ASSERT_NE(f, nullptr) << desc->name() << "." << name;
            EXPECT_TRUE(f->has_presence()) << desc->name() << "." << name;
        }
    }
}

// A stored config span read as the firewall's message keeps every field, and the fields the
// host-switch conversion reads (id, span, span_type) keep their numbers.
TEST(FirewallTwinSchemaTest, StoredConfigSpanReadsAsTwin) {
    db::ConfigSpanMsg span;
    span.mutable_id()->set_left(7);
    span.add_span()->set_right(9);
    span.set_span_type(1);
    auto* bucket = span.mutable_category_buckets()->add_buckets();
    bucket->set_name("pre");
    bucket->set_range_start(0);
    bucket->set_range_end(99);
    span.add_dfw_excluded_vifs("vif-1");
    span.add_si_excluded_vifs("vif-2");
    fw::LcpConfigSpanMsg twin;
    ASSERT_TRUE(twin.ParseFromString(span.SerializeAsString()));
    EXPECT_EQ(twin.id().left(), 7u);
    EXPECT_EQ(twin.span(0).right(), 9u);
    ASSERT_TRUE(twin.has_span_type());
    EXPECT_EQ(twin.span_type(), 1u);
    ASSERT_EQ(twin.category_buckets().buckets_size(), 1);
    EXPECT_TRUE(twin.category_buckets().buckets(0).has_range_start());
    EXPECT_EQ(twin.category_buckets().buckets(0).range_end(), 99u);
    EXPECT_EQ(twin.dfw_excluded_vifs(0), "vif-1");
    EXPECT_EQ(twin.si_excluded_vifs(0), "vif-2");
    EXPECT_TRUE(twin.GetReflection()->GetUnknownFields(twin).empty());
    EXPECT_EQ(twin.SerializeAsString(), span.SerializeAsString());
}

// The twins' file rebuilt in its own package with one field changed; nested type references are
// moved along so that a skewed nested message is the one compared.
struct Skew {
    const char* message;
    const char* field;
    void (*apply)(google::protobuf::FieldDescriptorProto*);
};

class FirewallTwinSkewTest : public ::testing::TestWithParam<Skew> {};

TEST_P(FirewallTwinSkewTest, ComparisonReportsTheSkew) {
    const Skew& s = GetParam();
    FileDescriptorProto file;
    fw::LcpContainerMsg::descriptor()->file()->CopyTo(&file);
    file.set_name("skewed/lcp_firewall.proto");
    file.set_package("skewed");
    const std::string from = ".orvane.ozy.firewall.";
    bool applied = false;
    for (auto& msg : *file.mutable_message_type()) {
        for (auto& field : *msg.mutable_field()) {
            if (field.type_name().rfind(from, 0) == 0) {
                field.set_type_name(".skewed." + field.type_name().substr(from.size()));
            }
            if (msg.name() == s.message && field.name() == s.field) {
                s.apply(&field);
                applied = true;
            }
        }
    }
    ASSERT_TRUE(applied);
    DescriptorPool pool(DescriptorPool::generated_pool());
    ASSERT_NE(pool.BuildFile(file), nullptr);
    size_t reported = 0;
    for (const Twin& t : Twins()) {
        const Descriptor* skewed = pool.FindMessageTypeByName("skewed." + t.fw->name());
        ASSERT_NE(skewed, nullptr);
        reported += Differences(t.db, skewed).size();
    }
    EXPECT_GT(reported, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FirewallTwinSkewTest,
    ::testing::Values(
        Skew{"LcpContainerMsg", "ip_reputation", [](auto* f) { f->set_number(17); }},
        Skew{"LcpRuleSectionMsg", "version",
             [](auto* f) { f->set_type(google::protobuf::FieldDescriptorProto::TYPE_UINT32); }},
        Skew{"LcpConfigSpanMsg", "dfw_excluded_vifs",
             [](auto* f) { f->set_label(google::protobuf::FieldDescriptorProto::LABEL_OPTIONAL); }},
        Skew{"LcpIpReputationConfigMsg", "entry_count", [](auto* f) { f->set_name("count"); }},
        Skew{"LcpSingleAttrKeyValueMsg", "value",
             [](auto* f) { f->set_type(google::protobuf::FieldDescriptorProto::TYPE_BYTES); }},
        Skew{"LcpSingleAttrKeyValueMsg", "key", [](auto* f) { f->set_number(3); }}));

}  // namespace
