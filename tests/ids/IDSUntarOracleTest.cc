// libarchive's secure extraction as the judge of the tar reader: on every test archive and every
// seed of the fuzz corpus, each file the reader writes is written by libarchive too, with the same
// content, and the reader leaves no link behind.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "ids/IDSUntar.h"
#include "tests/ids/ArchiveCases.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

namespace fs = std::filesystem;

// Extracts `archivePath` into `dir` as libarchive does with its secure flags, entry by entry,
// going on after a refused entry as bsdtar does.
void LibarchiveExtract(const std::string& archivePath, const std::string& dir) {
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    struct archive* in = archive_read_new();
    archive_read_support_filter_all(in);
    archive_read_support_format_tar(in);
    archive_read_support_format_gnutar(in);
    struct archive* out = archive_write_disk_new();
    archive_write_disk_set_options(out, ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                            ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                            ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
    if (archive_read_open_filename(in, archivePath.c_str(), 10240) == ARCHIVE_OK) {
        for (;;) {
            struct archive_entry* entry = nullptr;
            int r = archive_read_next_header(in, &entry);
            if (r == ARCHIVE_EOF || r < ARCHIVE_WARN) {
                break;
            }
            if (archive_write_header(out, entry) >= ARCHIVE_WARN) {
                const void* buf;
                size_t size;
                la_int64_t offset;
                while (archive_read_data_block(in, &buf, &size, &offset) == ARCHIVE_OK) {
                    if (archive_write_data_block(out, buf, size, offset) < ARCHIVE_WARN) {
                        break;
                    }
                }
            }
            archive_write_finish_entry(out);
        }
    }
    archive_read_free(in);
    archive_write_free(out);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

void Judge(const std::string& archive, bool raw, const std::string& label) {
    SCOPED_TRACE(label);
    TempDir ours("ids-oracle-ours");
    TempDir theirs("ids-oracle-libarchive");
    ours.WriteFile("sentinel", "keep");
    ours.WriteFile("base/.keep", "");
    std::string data = ReadBinary(archive);
    IDSUntar untar(1 << 20);
    IDSUntarStatus status = raw ? untar.ExtractTar(data, ours.path() + "/base")
                                : untar.ExtractTgz(data, ours.path() + "/base");
    LibarchiveExtract(archive, theirs.path());
    auto around = TreeSnapshot(ours.path(), "base");
    EXPECT_EQ(around, (std::map<std::string, std::string>{{"sentinel", "f:keep"}}));
    if (status != IDSUntarStatus::kOk) {
        return;
    }
    for (const auto& [path, what] : TreeSnapshot(ours.path() + "/base")) {
        if (path == ".keep" || what == "d") {
            continue;
        }
        ASSERT_EQ(what.compare(0, 2, "f:"), 0) << path << " is not a regular file";
        std::string other = theirs.path() + "/" + path;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(other)))
            << path << " written where libarchive did not write";
        EXPECT_EQ("f:" + ReadBinary(other), what) << path;
    }
}

TEST(IDSUntarOracleTest, TestArchivesAgreeWithLibarchive) {
    TempDir dir("ids-oracle-cases");
    auto cases = MakeArchiveCases(dir.path());
    size_t accepted = 0;
    for (const ArchiveCase& c : cases) {
        Judge(c.archive, c.raw, c.name);
        accepted += c.expect == "ok" ? 1 : 0;
    }
    EXPECT_GT(accepted, 4u);
}

TEST(IDSUntarOracleTest, FuzzSeedsAgreeWithLibarchive) {
    std::string corpus = SourceDir() + "/tests/ids/corpus/ids_untar_fuzz";
    size_t seeds = 0;
    for (const auto& e : fs::directory_iterator(corpus)) {
        Judge(e.path().string(), true, e.path().filename().string());
        ++seeds;
    }
    EXPECT_GT(seeds, 5u);
}

}  // namespace
}  // namespace CfgAgent::test
