// Directory helpers and path builders the store stands on.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "Process.h"
#include "aDirectory.h"

namespace {

// What aDirectory_GetHomeDirectory gives with HOME set to home (null: unset),
// asked by a child running as uid: the answer comes back through a pipe.
std::string HomeSeenBy(uid_t uid, const char* home)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "<pipe>";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (home)
            setenv("HOME", home, 1);
        else
            unsetenv("HOME");
        char buffer[256] = "<failed>";
        if (uid == getuid() || setuid(uid) == 0)
            aDirectory_GetHomeDirectory(buffer, sizeof buffer);
        ssize_t written = write(fds[1], buffer, strlen(buffer));
        _exit(written < 0 ? 1 : 0);
    }
    close(fds[1]);
    std::string seen;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        seen.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return seen;
}

TEST(Directory, HomeComesFromThePasswordDatabaseBeforeTheEnvironment)
{
    const struct passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    const std::string account = pw->pw_dir;
    // Under sudo with HOME kept, HOME names another user's home: the real
    // user's own entry must win.
    EXPECT_EQ(account, HomeSeenBy(getuid(), "/some/where"));
    EXPECT_EQ(account, HomeSeenBy(getuid(), nullptr));
    char small[4];
    EXPECT_EQ(aErrNone, aDirectory_GetHomeDirectory(small, sizeof small));
    EXPECT_EQ(account.substr(0, 3), small);

    // A user the password database does not know falls back on HOME.
    if (getuid() != 0)
        GTEST_SKIP() << "switching to a user without an entry needs root";
    uid_t stranger = 54321;
    while (getpwuid(stranger) != nullptr)
        ++stranger;
    EXPECT_EQ("/some/where", HomeSeenBy(stranger, "/some/where"));
    EXPECT_EQ("", HomeSeenBy(stranger, nullptr));
}

TEST(Directory, EnsureCreatesEveryMissingComponentAndRefusesFiles)
{
    testsupport::TempDir dir;
    const mode_t oldMask = umask(022);
    const std::string deep = dir.file("a/b/c");
    EXPECT_EQ(aErrNone, aDirectory_Ensure(deep.c_str(), 0750));
    umask(oldMask);
    for (const std::string& path : {dir.file("a"), dir.file("a/b"), deep}) {
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0750u, st.st_mode & 0777) << path;
    }
    EXPECT_EQ(aErrNone, aDirectory_Ensure(deep.c_str(), 0750));
    EXPECT_EQ(aErrNone, aDirectory_Ensure(dir.file("t/u/").c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists(dir.file("t/u").c_str()));

    const std::string file = dir.file("file");
    testsupport::WriteFile(file, "x");
    EXPECT_FALSE(aDirectory_Exists(file.c_str()));
    EXPECT_EQ(aErrPermission, aDirectory_Ensure(file.c_str(), 0755));
    EXPECT_EQ(aErrPermission, aDirectory_Ensure((file + "/sub/deeper").c_str(), 0755));
    EXPECT_EQ("x", testsupport::ReadFile(file));
}

TEST(Directory, ListSeesEveryEntryAndDeleteTreeRemovesThem)
{
    testsupport::TempDir dir;
    const std::string tree = dir.file("tree");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((tree + "/sub/deeper").c_str(), 0755));
    testsupport::WriteFile(tree + "/f1", "abc");
    testsupport::WriteFile(tree + "/sub/deeper/f2", "");

    std::map<std::string, aDirectoryListData> seen;
    auto collect = [](const aDirectoryListData* entry, void* user) {
        std::string path = entry->path;
        (*static_cast<std::map<std::string, aDirectoryListData>*>(user))[path.substr(path.rfind('/') + 1)] = *entry;
        return true;
    };
    EXPECT_EQ(aErrNone, aDirectory_List(tree.c_str(), collect, &seen));
    ASSERT_EQ(4u, seen.size());  // ".", "..", f1, sub
    EXPECT_EQ(3u, seen["f1"].size);
    EXPECT_FALSE(seen["f1"].isDirectory);
    EXPECT_TRUE(seen["sub"].isDirectory);
    int calls = 0;
    auto stop = [](const aDirectoryListData*, void* user) { return ++*static_cast<int*>(user) == 0; };
    EXPECT_EQ(aErrNone, aDirectory_List(tree.c_str(), stop, &calls));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(aErrNotFound, aDirectory_List(dir.file("missing").c_str(), stop, &calls));

    EXPECT_EQ(aErrUnknown, aDirectory_Delete(tree.c_str()));
    EXPECT_EQ(aErrNone, aDirectory_DeleteTree(tree.c_str()));
    EXPECT_FALSE(testsupport::PathExists(tree));
}

TEST(Directory, PathsAreJoinedWithinTheirBuffer)
{
    char buffer[64] = "";
    EXPECT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof buffer, "root/", "40F5849A", "/x", nullptr));
    EXPECT_STREQ("root/40F5849A/x", buffer);
    char fits[6];
    EXPECT_EQ(aErrNone, aDirectory_JoinPath(fits, sizeof fits, "ab", "cd"));
    EXPECT_STREQ("ab/cd", fits);
    EXPECT_EQ(aErrOverrun, aDirectory_JoinPath(fits, sizeof fits - 1, "ab", "cd"));
    EXPECT_EQ(aErrNone,
              aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                              "10", "11", nullptr));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, sizeof buffer, "a", buffer, nullptr));

    EXPECT_EQ("root/40F5849A/.settings", BuildPath("root", "40F5849A", ".settings", nullptr));
    EXPECT_EQ("a//b", BuildPath("a/", "b", nullptr));
}

}  // namespace
