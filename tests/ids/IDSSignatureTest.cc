// The JSON signature list: ids read from each rule's sid option, commented-out rules counted
// apart, bad entries skipped, a malformed list refused without changing the map.
#include <gtest/gtest.h>

#include "ids/IDSSignature.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

TEST(IDSSignatureTest, SidIsTheRulesOwnOption) {
    struct Case {
        const char* rule;
        bool ok;
        uint64_t sid;
    };
    for (const Case& c : std::vector<Case>{
             {"alert tcp any any -> any any (msg:\"x\"; sid:2001; rev:1;)", true, 2001},
             {"alert tcp (msg:\"x\";sid: 7;)", true, 7},
             {"alert tcp (gsid:5; sid:6;)", true, 6},
             {"alert tcp (msg:\"x\"; rev:1;)", false, 0},
             {"alert tcp (sid:;)", false, 0},
             {"alert tcp (sid:99999999999999999999;)", false, 0},
         }) {
        uint64_t sid = 0;
        EXPECT_EQ(IDSSignature::SidOf(c.rule, &sid), c.ok) << c.rule;
        if (c.ok) {
            EXPECT_EQ(sid, c.sid) << c.rule;
        }
    }
}

TEST(IDSSignatureTest, ListsAddSignaturesAndMalformedListsChangeNothing) {
    IDSSignature s;
    LogCapture log;
    ASSERT_TRUE(s.ParseSignatureJSON(R"js([
        {"signature": "alert tcp any any -> any any (sid:1; rev:1;)"},
        {"signature": "# alert tcp any any -> any any (sid:2; rev:1;)"},
        {"signature": "alert udp (msg:\"no id\";)"},
        {"signature": 3},
        "alert tcp (sid:4;)",
        {"signature": "alert ip any any -> any any (sid:1; rev:2;)"}
    ])js"));
    ASSERT_EQ(s.signatures().size(), 2u);
    EXPECT_EQ(s.signatures().at(1), "alert ip any any -> any any (sid:1; rev:2;)");
    EXPECT_EQ(s.commentedOut(), 1u);
    EXPECT_EQ(log.Count("Unable to parse sign"), 3u);
    for (const char* bad : {"", "{\"signature\": \"alert (sid:5;)\"}", "[", "null"}) {
        EXPECT_FALSE(s.ParseSignatureJSON(bad)) << bad;
    }
    EXPECT_EQ(s.signatures().size(), 2u);
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSSignature::Invalid JSON signature list received",
                                     "IDSERR_FAIL_PARSE_CAIRNDB"));
}

}  // namespace
}  // namespace CfgAgent::test
