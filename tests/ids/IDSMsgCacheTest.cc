// The IDS message cache as the dispatcher feeds it: which rules, profiles and toggles it keeps,
// what each take hands the loop (deletions included), the staged full sync, and the signature
// files a batch installs (a bad bundle keeps the old one).
#include <gtest/gtest.h>

#include <filesystem>

#include "ids/IDSMsgCache.h"
#include "proto/cairndb_ids.pb.h"
#include "tests/ids/ArchiveCases.h"
#include "tests/ids/IdsRecords.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using dfw::Deleted;
using dfw::Uuid;
using namespace ids;
using M = IDSMsgCache;

// The rules of an update as "id=action" and "-id".
std::set<std::string> RuleText(const orvane::ozy::lcp::idps::RuleUpdateMsg& u) {
    std::set<std::string> out;
    for (const auto& r : u.rules())
        out.insert(r.rule_id() + "=" + std::to_string(r.action()));
    for (const auto& id : u.removed_rule_ids())
        out.insert("-" + id);
    return out;
}

class IDSMsgCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        M::Paths p;
        p.confDir = root.path() + "/etc/ozy-idps";
        p.ruleFile = p.confDir + "/bundles/system/rules/ozy-idps.rules";
        p.sigDumpDir = root.path() + "/var/log/ozy-idps";
        ASSERT_TRUE(cache->Initialize(p));
        conf = p.confDir;
        cache->SetChangedCallback([this] { ++notified; });
    }
    void Full(std::vector<CairnDBUpdateMsg> u) { cache->UpdateDesiredState(u, true); }
    void Incr(std::vector<CairnDBUpdateMsg> u) { cache->UpdateDesiredState(u, false); }

    TempDir root{"ids-cache"};
    std::string conf;
    ozy::RefPtr<IDSMsgCache> cache = ozy::MakeRef<IDSMsgCache>();
    int notified = 0;
};

TEST_F(IDSMsgCacheTest, RulesKeptAndSentAsTheirChanges) {
    LogCapture log;
    Full({Rule(1, 21), Rule(2, 24), Rule(3, 22), Rule(4, 21, 0), Barrier(7)});
    M::Changes c = cache->TakeFlags();
    EXPECT_EQ(c.flags, static_cast<uint32_t>(M::kAll));
    EXPECT_TRUE(c.rules.full());
    EXPECT_EQ(RuleText(c.rules), (std::set<std::string>{Id(1) + "=21", Id(2) + "=24"}));
    EXPECT_EQ(c.barrier, 7u);
    EXPECT_TRUE(log.Contains("ids: IDSMsgCache: unsupported action 22"));

    struct Step {
        const char* what;
        std::vector<CairnDBUpdateMsg> batch;
        uint32_t flags;
        std::set<std::string> rules;
    };
    for (const Step& s : std::vector<Step>{
             {"unchanged rule", {Rule(1, 21)}, 0, {}},
             {"action changed", {Rule(1, 24)}, M::kRules, {Id(1) + "=24"}},
             {"action 22 takes the rule out", {Rule(2, 22)}, M::kRules, {"-" + Id(2)}},
             {"type that is not IDS", {Rule(1, 24, 1)}, M::kRules, {"-" + Id(1)}},
             {"new and deleted in one batch",
              {Rule(5, 21), Deleted(Rule(5, 21)), Rule(6, 24)},
              M::kRules,
              {"-" + Id(5), Id(6) + "=24"}},
             {"last rule deleted", {Deleted(Rule(6, 24))}, M::kRules, {"-" + Id(6)}},
         }) {
        SCOPED_TRACE(s.what);
        Incr(s.batch);
        c = cache->TakeFlags();
        EXPECT_EQ(c.flags, s.flags);
        EXPECT_FALSE(c.rules.full());
        EXPECT_EQ(RuleText(c.rules), s.rules);
    }
    EXPECT_TRUE(cache->Rules().empty());
}

TEST_F(IDSMsgCacheTest, ModeTogglesAndOversubscription) {
    LogCapture log;
    Full({Toggle(1, true)});
    EXPECT_TRUE(cache->TakeFlags().idsMode);
    struct Step {
        const char* what;
        CairnDBUpdateMsg change;
        uint32_t flags;
        bool mode;
    };
    for (const Step& s : std::vector<Step>{
             {"delete with another id", Deleted(Toggle(2, true)), 0, true},
             {"host config under the toggle", Toggle(3, false, true), 0, true},
             {"oversubscription", Global(50, 1), M::kOversubscription, true},
             {"global config without it", Global(50, std::nullopt), 0, true},
             {"oversubscription 0 is a value", Global(50, 0), M::kOversubscription, true},
             {"toggle off", Toggle(1, false), M::kMode, false},
             {"toggle deleted by its own id", Deleted(Toggle(1, false)), 0, false},
         }) {
        SCOPED_TRACE(s.what);
        Incr({s.change});
        M::Changes c = cache->TakeFlags();
        EXPECT_EQ(c.flags, s.flags);
        EXPECT_EQ(c.idsMode, s.mode);
    }
    EXPECT_EQ(cache->Oversubscription(), 0u);
    EXPECT_TRUE(log.Contains("ids: IDSMsgCache: Ignore deleting host cfg as ID mismatch"));
}

TEST_F(IDSMsgCacheTest, ProfilesNeedTheIdsKeyAndDeletionsTravel) {
    Full({Profile(1, "web", {{"IDS", "[2001:1:reject]"}, {"IDS_PCAP", "true:100:5"}}),
          Profile(2, "pcap-only", {{"IDS_PCAP", "true:1:1"}}),
          Profile(3, "l7", {{"APP_ID", "HTTP"}})});
    M::Changes c = cache->TakeFlags();
    ASSERT_EQ(c.profiles.profiles_size(), 1);
    EXPECT_EQ(c.profiles.sync_type(), orvane::ozy::lcp::idps::PROFILE_SYNC_FULL);
    EXPECT_EQ(c.profiles.profiles(0).name(), "web");
    EXPECT_TRUE(c.profiles.profiles(0).pcap_enabled());

    Incr({Deleted(Profile(1, "web", {{"IDS", "[]"}}))});
    c = cache->TakeFlags();
    EXPECT_EQ(c.flags, static_cast<uint32_t>(M::kProfiles));
    ASSERT_EQ(c.profiles.removed_profiles_size(), 1);
    EXPECT_EQ(c.profiles.removed_profiles(0), "web");
    EXPECT_TRUE(cache->Profiles().empty());
}

TEST_F(IDSMsgCacheTest, TakesNeverLoseABatchAndRestartsNeedPriming) {
    EXPECT_FALSE(cache->EngineRestarted());
    EXPECT_EQ(cache->PendingFlags(), 0u);
    Full({Rule(1, 21)});
    Incr({Rule(2, 21)});  // lands before the loop takes the full sync
    M::Changes c = cache->TakeFlags();
    EXPECT_TRUE(c.rules.full());
    EXPECT_EQ(c.rules.rules_size(), 2);
    EXPECT_EQ(cache->TakeFlags().flags, 0u);
    EXPECT_TRUE(cache->EngineRestarted());
    c = cache->TakeFlags();
    EXPECT_TRUE(c.rules.full());
    EXPECT_EQ(c.profiles.sync_type(), orvane::ozy::lcp::idps::PROFILE_SYNC_FULL);
    EXPECT_EQ(notified, 2);
}

TEST_F(IDSMsgCacheTest, FailedFullSyncKeepsTheOldStateAndOwesAFullResend) {
    LogCapture log;
    Full({Rule(1, 21), Toggle(9, true)});
    cache->TakeFlags();
    CairnDBUpdateMsg garbage = Rule(2, 21);
    garbage.data = "\xff\xff\xff";
    Full({Rule(2, 24), garbage, Barrier(12)});
    EXPECT_TRUE(log.ContainsWithCode("ids: Failed to update idsMsgCache, clear current txn data",
                                     "IDSERR_UPDATE_CONFIG"));
    M::Changes c = cache->TakeFlags();
    EXPECT_TRUE(c.updateFailed);
    EXPECT_EQ(c.flags, static_cast<uint32_t>(M::kAll));
    EXPECT_EQ(RuleText(c.rules), (std::set<std::string>{Id(1) + "=21"}));
    EXPECT_TRUE(c.idsMode);
    EXPECT_EQ(c.barrier, 12u);

    Incr({Rule(3, 24), Barrier(13)});
    c = cache->TakeFlags();
    EXPECT_FALSE(c.updateFailed);
    EXPECT_EQ(RuleText(c.rules), (std::set<std::string>{Id(3) + "=24"}));
    EXPECT_EQ(cache->Rules().size(), 2u);
}

TEST_F(IDSMsgCacheTest, BundlesInstallAndABadOneKeepsTheOld) {
    LogCapture log;
    Full({Signatures(1, Tgz({{"rules/a.rules", "alert (sid:10;)\n"}}),
                     Tgz({{"x.rules", "alert (sid:11;)\n"}}))});
    EXPECT_EQ(cache->TakeFlags().flags, static_cast<uint32_t>(M::kAll));
    EXPECT_EQ(ReadBinary(conf + "/bundles/system/rules/a.rules"), "alert (sid:10;)\n");
    EXPECT_EQ(ReadBinary(conf + "/bundles/custom_" + Id(1) + "/x.rules"), "alert (sid:11;)\n");
    EXPECT_TRUE(std::filesystem::exists(conf + "/ozy-idps.addrs.yaml"));

    Incr({Signatures(1, "not gzip at all")});
    M::Changes c = cache->TakeFlags();
    EXPECT_TRUE(c.updateFailed);
    EXPECT_TRUE(log.Contains("ids: IDSSignature:: Error in decompressing tgz bundle at path"));
    EXPECT_EQ(ReadBinary(conf + "/bundles/system/rules/a.rules"), "alert (sid:10;)\n");

    // Thresholds: installed, then cleared by the delete.
    pb::IdsThresholdConfigMsg t;
    *t.mutable_id() = Uuid(4);
    t.set_thresholds(Tgz({{"threshold.config", "suppress gen_id 1, sig_id 10\n"}}));
    Incr({Record(ObjectType::IDS_THRESHOLD_CONFIG, t)});
    EXPECT_EQ(cache->TakeFlags().flags, static_cast<uint32_t>(M::kSignatures));
    EXPECT_EQ(ReadBinary(conf + "/threshold.config"), "suppress gen_id 1, sig_id 10\n");
    Incr({Deleted(Record(ObjectType::IDS_THRESHOLD_CONFIG, t))});
    EXPECT_EQ(ReadBinary(conf + "/threshold.config"), "");

    // The custom bundle leaves with its object.
    Incr({Deleted(Signatures(1, "", "x"))});
    EXPECT_EQ(cache->TakeFlags().flags, static_cast<uint32_t>(M::kSignatures));
    EXPECT_FALSE(std::filesystem::exists(conf + "/bundles/custom_" + Id(1)));
}

// Only sections of the IDS kind are held, and a batch's sections are taken before its rules,
// wherever they stand in it. Sections alone give the loop nothing to send.
TEST_F(IDSMsgCacheTest, SectionsOfTheIdsKindOnlyAndBeforeTheRules) {
    LogCapture log;
    Full({Rule(1, 21), Section(10, M::kIdsSectionKind), Section(11, 1)});
    EXPECT_EQ(cache->Sections(), (std::set<std::string>{Id(10)}));
    ASSERT_GE(log.IndexOf("Adding a Section with ID: " + Id(10)), 0);
    EXPECT_LT(log.IndexOf("Adding a Section with ID: " + Id(10)),
              log.IndexOf("updating rule: " + Id(1)));
    cache->TakeFlags();
    struct Step {
        const char* what;
        CairnDBUpdateMsg change;
        std::set<std::string> sections;
        const char* logged;
    };
    for (const Step& st : std::vector<Step>{
             {"another IDS section",
              Section(12, M::kIdsSectionKind),
              {Id(10), Id(12)},
              "Adding a Section with ID"},
             {"no longer an IDS section", Section(10, 1), {Id(12)}, nullptr},
             {"deleted", Deleted(Section(12, M::kIdsSectionKind)), {}, "erased Section with ID"},
             {"an unknown one deleted", Deleted(Section(13, M::kIdsSectionKind)), {}, nullptr},
         }) {
        SCOPED_TRACE(st.what);
        log.Clear();
        Incr({st.change});
        EXPECT_EQ(cache->Sections(), st.sections);
        if (st.logged != nullptr) {
            EXPECT_TRUE(log.Contains(st.logged));
        }
        EXPECT_EQ(cache->TakeFlags().flags, 0u);
    }
    // A full sync replaces them.
    Incr({Section(14, M::kIdsSectionKind)});
    Full({Section(15, M::kIdsSectionKind)});
    EXPECT_EQ(cache->Sections(), (std::set<std::string>{Id(15)}));
    EXPECT_TRUE(cache->Rules().empty());
}

// The classification file and the JSON signature list of IDS_SIGNATURES: written and read when
// good; a bad one fails the batch and keeps what was there.
TEST_F(IDSMsgCacheTest, ClassificationAndSignatureListsKeepTheLastGoodOne) {
    LogCapture log;
    const std::string classes = "config classification: trojan-activity,A Trojan,1\n";
    const std::string list = R"js([{"signature": "alert ip any any -> any any (sid:7;)"},
                                   {"signature": "# alert ip any any -> any any (sid:8;)"}])js";
    Full({SignatureFiles(3, Gzip(classes), Gzip(list))});
    EXPECT_EQ(ReadBinary(conf + "/classification.config"), classes);
    EXPECT_EQ(cache->SignatureCount(), 2u);
    ASSERT_TRUE(cache->DumpSignatures());
    EXPECT_EQ(ReadBinary(root.path() + "/var/log/ozy-idps/dump_ids_sigs.txt"),
              "7 alert ip any any -> any any (sid:7;)\n8 # alert ip any any -> any any (sid:8;)\n");
    EXPECT_TRUE(log.Contains("total sign count: 2, total commented out sigs: 1"));
    cache->TakeFlags();

    struct Step {
        const char* what;
        CairnDBUpdateMsg change;
        bool failed;
        const char* code;
    };
    for (const Step& st : std::vector<Step>{
             {"the same list again counts each signature once", SignatureFiles(3, "", Gzip(list)),
              false, nullptr},
             {"classification not gzip", SignatureFiles(3, "plain text", ""), true,
              "IDSERR_SIG_GZ_DECOMPRESS"},
             {"list not JSON", SignatureFiles(3, "", Gzip("[{")), true,
              "IDSERR_FAIL_PARSE_CAIRNDB"},
             {"list not an array",
              SignatureFiles(3, "", Gzip(R"js({"signature": "x (sid:9;)"})js")), true,
              "IDSERR_FAIL_PARSE_CAIRNDB"},
         }) {
        SCOPED_TRACE(st.what);
        log.Clear();
        Incr({st.change});
        M::Changes c = cache->TakeFlags();
        EXPECT_EQ(c.updateFailed, st.failed);
        if (st.code != nullptr) {
            bool coded = false;
            for (const LogEntry& e : log.Entries()) {
                for (const std::string& tag : e.tags)
                    coded = coded || tag == std::string("errorCode:") + st.code;
            }
            EXPECT_TRUE(coded) << log.Dump();
        } else {
            EXPECT_EQ(c.flags, static_cast<uint32_t>(M::kSignatures));
            EXPECT_TRUE(log.Contains("total sign count: 2, total commented out sigs: 1"));
        }
        EXPECT_EQ(ReadBinary(conf + "/classification.config"), classes);
        EXPECT_EQ(cache->SignatureCount(), 2u);
    }
}

// A full sync is the whole desired state: custom bundles it does not list leave the
// configuration directory, those installed by an earlier run too; a link named like a bundle goes
// without what it points to; a failed full sync removes nothing.
TEST_F(IDSMsgCacheTest, CustomBundlesAbsentFromAFullSyncLeaveTheDisk) {
    const std::string gz = Tgz({{"c.rules", "alert (sid:30;)\n"}});
    root.WriteFile("etc/ozy-idps/bundles/custom_earlier-run/old.rules", "alert (sid:1;)\n");
    root.WriteFile("elsewhere/keep.rules", "sentinel");
    std::filesystem::create_symlink(root.path() + "/elsewhere", conf + "/bundles/custom_linked");
    Full({Signatures(1, "", gz), Signatures(2, "", gz)});
    auto bundles = [&] {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(conf + "/bundles"))
            out.insert(e.path().filename().string());
        return out;
    };
    EXPECT_EQ(bundles(), (std::set<std::string>{"system", "custom_" + Id(1), "custom_" + Id(2)}));
    EXPECT_EQ(ReadBinary(root.path() + "/elsewhere/keep.rules"), "sentinel");

    Full({Signatures(2, "", gz)});
    EXPECT_EQ(bundles(), (std::set<std::string>{"system", "custom_" + Id(2)}));
    EXPECT_TRUE(std::filesystem::exists(conf + "/bundles/custom_" + Id(2) + "/c.rules"));

    CairnDBUpdateMsg garbage = Signatures(9, "", gz);
    garbage.data = "\xff\xff";
    Full({garbage});
    EXPECT_EQ(bundles(), (std::set<std::string>{"system", "custom_" + Id(2)}));
}

TEST_F(IDSMsgCacheTest, CustomIdsThatAreNotNamesAreRefused) {
    IDSSignature s;
    ASSERT_TRUE(s.Initialize({conf, conf + "/bundles/system/rules/r.rules", "", 1 << 20}));
    root.Make("etc/ozy-idps/bundles/custom_/x");
    root.WriteFile("etc/keep", "sentinel");
    const std::string gz = Tgz({{"x.rules", "alert (sid:1;)\n"}});
    LogCapture log;
    for (const char* id : {"/../../../evil", "/../../../keep", "..", ""}) {
        EXPECT_FALSE(s.StoreCustomBundle(id, gz)) << id;
        EXPECT_FALSE(s.RemoveCustomBundle(id)) << id;
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/etc/evil"));
    EXPECT_EQ(ReadBinary(root.path() + "/etc/keep"), "sentinel");
    EXPECT_EQ(ReadBinary(conf + "/bundles/system/rules/r.rules"),
              "# Empty, to be rewritten once signature tgz bundle is received\n");
}

}  // namespace
}  // namespace CfgAgent::test
