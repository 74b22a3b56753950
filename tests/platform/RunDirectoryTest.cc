// Socket directories: made with exactly the mode asked for whatever the umask; directories that
// exist already are left alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/RunDirectory.h"
#include "tests/support/TempDir.h"

namespace ozy {
namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(RunDirectoryTest, CreatedDirectoriesGetTheirModeWhateverTheUmask) {
    CfgAgent::test::TempDir dir;
    struct Case {
        mode_t umask;
        mode_t mode;
    } cases[] = {{0000, 0755}, {0077, 0755}, {0000, 0750}, {0022, 0750}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.umask) + " " + std::to_string(c.mode));
        std::string base = dir.path() + "/c" + std::to_string(n++);
        mode_t before = ::umask(c.umask);
        int rc = MakeRunDirectoriesFor(base + "/a/b/sock", c.mode);
        ::umask(before);
        ASSERT_EQ(rc, 0);
        for (const std::string& d : {base, base + "/a", base + "/a/b"})
            EXPECT_EQ(ModeOf(d), c.mode) << d;
    }
    // An existing directory keeps its mode; a file in the way is an error.
    ASSERT_EQ(::mkdir((dir.path() + "/open").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((dir.path() + "/open").c_str(), 01777), 0);
    EXPECT_EQ(MakeRunDirectories(dir.path() + "/open/sub"), 0);
    EXPECT_EQ(ModeOf(dir.path() + "/open"), 01777u);
    EXPECT_EQ(ModeOf(dir.path() + "/open/sub"), 0755u);
    dir.WriteFile("file", "x");
    EXPECT_EQ(MakeRunDirectories(dir.path() + "/file/sub"), ENOTDIR);
    // A path without a directory part needs nothing.
    EXPECT_EQ(MakeRunDirectoriesFor("sock"), 0);
}

}  // namespace
}  // namespace ozy
