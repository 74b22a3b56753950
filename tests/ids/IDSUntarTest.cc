// The signature store's tar reader against archives made by GNU tar and python's tarfile, many of
// them hostile: what it writes, what it refuses with which code, and that the old bundle and
// everything around the bundle directory stay as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "ids/IDSGzip.h"
#include "ids/IDSUntar.h"
#include "tests/ids/ArchiveCases.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {
namespace {

namespace fs = std::filesystem;

// A host tree: a sentinel file beside the configuration directory, and an installed bundle.
struct BundleTree {
    TempDir root{"ids-untar"};
    std::string bundles = root.Make("etc/ozy-idps/bundles/x");
    std::string system = root.path() + "/etc/ozy-idps/bundles/system";

    BundleTree() {
        bundles = fs::path(bundles).parent_path().string();
        root.WriteFile("etc/passwd", "root:x:0:0\n");
        root.WriteFile("etc/ozy-idps/bundles/system/rules/old.rules", "sid:1;\n");
        root.WriteFile("etc/ozy-idps/bundles/system/signatures.tgz", "old archive");
        root.WriteFile("etc/ozy-idps/bundles/custom_1/a.rules", "sid:2;\n");
    }
};

class IDSUntarCases : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir("ids-archives");
        cases_ = MakeArchiveCases(dir_->path());
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
    static std::vector<ArchiveCase> cases_;
};
TempDir* IDSUntarCases::dir_ = nullptr;
std::vector<ArchiveCase> IDSUntarCases::cases_;

TEST_F(IDSUntarCases, EachArchiveIsInstalledWholeOrRefusedWithItsCode) {
    ASSERT_GT(cases_.size(), 30u);
    for (const ArchiveCase& c : cases_) {
        SCOPED_TRACE(c.name);
        BundleTree tree;
        auto before = TreeSnapshot(tree.root.path());
        LogCapture log;
        std::string gz = ReadBinary(c.archive);
        IDSUntar untar(c.cap > 0 ? c.cap : IDSUntar::kDefaultMaxInflatedBytes);
        IDSUntarStatus status = untar.Install(gz, tree.system, "signatures.tgz");
        EXPECT_EQ(IDSUntarErrorCode(status), c.expect == "ok" ? "" : c.expect);
        if (c.expect != "ok") {
            EXPECT_TRUE(log.ContainsWithCode("ids: ", c.expect)) << log.Dump();
            // The old bundle and everything around it as before, no staging left.
            EXPECT_EQ(TreeSnapshot(tree.root.path()), before);
            continue;
        }
        auto outside = before;
        for (auto it = outside.begin(); it != outside.end();) {
            it = it->first.rfind("etc/ozy-idps/bundles/system", 0) == 0 ? outside.erase(it)
                                                                        : std::next(it);
        }
        EXPECT_EQ(TreeSnapshot(tree.root.path(), "etc/ozy-idps/bundles/system"), outside);
        // Exactly the archive's regular files (and their directories), plus the archive.
        std::map<std::string, std::string> files;
        for (const auto& [path, what] : TreeSnapshot(tree.system)) {
            if (what != "d") {
                files[path] = what;
            }
        }
        std::map<std::string, std::string> expected;
        for (const auto& [path, content] : c.files) {
            expected[path] = "f:" + content;
        }
        expected["signatures.tgz"] = "f:" + gz;
        EXPECT_EQ(files, expected);
    }
}

TEST_F(IDSUntarCases, ANewBundleReplacesTheOldOneCompletely) {
    BundleTree tree;
    IDSUntar untar;
    for (const char* name : {"gnu_bundle", "ustar_prefix", "links_skipped"}) {
        auto it = std::find_if(cases_.begin(), cases_.end(),
                               [&](const ArchiveCase& c) { return c.name == name; });
        ASSERT_NE(it, cases_.end());
        ASSERT_EQ(untar.Install(ReadBinary(it->archive), tree.system, ""), IDSUntarStatus::kOk);
        std::map<std::string, std::string> files;
        for (const auto& [path, what] : TreeSnapshot(tree.system)) {
            if (what != "d") {
                files[path] = what.substr(2);
            }
        }
        EXPECT_EQ(files, it->files) << name;
    }
    // Only the bundle directories remain beside each other.
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(tree.bundles)) {
        entries.insert(e.path().filename().string());
    }
    EXPECT_EQ(entries, (std::set<std::string>{"custom_1", "system"}));
}

TEST_F(IDSUntarCases, InstallCreatesAMissingTarget) {
    BundleTree tree;
    std::string target = tree.bundles + "/custom_7";
    ASSERT_EQ(IDSUntar().Install(ReadBinary(cases_.front().archive), target, "bundle.tgz"),
              IDSUntarStatus::kOk);
    EXPECT_TRUE(fs::is_regular_file(target + "/rules/ozy-idps.rules"));
    EXPECT_TRUE(fs::is_regular_file(target + "/bundle.tgz"));
}

TEST_F(IDSUntarCases, ExtractionNeverFollowsALinkAlreadyInTheDirectory) {
    // A link planted in the base directory by someone else is not written through.
    TempDir dir("ids-untar-link");
    dir.WriteFile("base/.keep", "");
    dir.WriteFile("elsewhere/.keep", "");
    fs::create_directory_symlink(dir.path() + "/elsewhere", dir.path() + "/base/rules");
    LogCapture log;
    auto it = std::find_if(cases_.begin(), cases_.end(),
                           [](const ArchiveCase& c) { return c.name == "links_from_tarfile"; });
    ASSERT_NE(it, cases_.end());
    EXPECT_EQ(IDSUntar().ExtractTgz(ReadBinary(it->archive), dir.path() + "/base"),
              IDSUntarStatus::kBadArchive);
    EXPECT_EQ(TreeSnapshot(dir.path() + "/elsewhere").size(), 1u);
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSUntar: Cannot open dir rules", "IDSERR_UNTAR"));
}

TEST(IDSGzipTest, OutputBoundIsInclusiveAndMembersAreConcatenated) {
    std::string text(200000, 'a');
    std::string out;
    EXPECT_EQ(IDSGzip::InflateToString(Gzip(text), text.size(), &out), IDSGzip::Result::kOk);
    EXPECT_EQ(out, text);
    LogCapture log;
    EXPECT_EQ(IDSGzip::InflateToString(Gzip(text), text.size() - 1, &out),
              IDSGzip::Result::kOverLimit);
    EXPECT_TRUE(log.ContainsWithCode("exceeds the limit", "IDSERR_SIG_GZ_DECOMPRESS"));
    EXPECT_EQ(IDSGzip::InflateToString(Gzip("ab") + Gzip("cd"), 10, &out), IDSGzip::Result::kOk);
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(IDSGzip::InflateToString("", 10, &out), IDSGzip::Result::kFailed);
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSSignature: Input gzip string is empty.",
                                     "IDSERR_SIG_GZ_DECOMPRESS"));
    EXPECT_EQ(IDSGzip::InflateToString(Gzip("ab") + "x", 10, &out), IDSGzip::Result::kFailed);
}

}  // namespace
}  // namespace CfgAgent::test
