// A store that cannot take a download: a file system that fills up part way
// through the image, and a store made read-only. Either way the download
// fails with a clear error and exit status 1, and nothing stored is lost.
#include <sys/stat.h>
#include <unistd.h>

#include "Harness.h"

namespace faults {
namespace {

class StoreThatCannotTakeIt : public Campaign {
protected:
    size_t LargeImageBytes() const override { return 2u << 20; }

    // Runs script with /bin/sh in a private mount namespace (so that what it
    // mounts goes away with it), with $U the program, $URL the server, $S
    // the store and $W the test's directory. False when the namespace or
    // the mount cannot be had here (not root): the script then exits 99.
    bool InPrivateMounts(const std::string& script, ProcessResult& result)
    {
        ProcessOptions options = Options();
        options.env["U"] = UPDATER_BIN;
        options.env["URL"] = url_;
        options.env["S"] = store_;
        options.env["W"] = work_.path();
        result = RunProcess({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script}, options);
        return result.exitCode != 99 && result.err.find("unshare failed") == std::string::npos;
    }
};

TEST_F(StoreThatCannotTakeIt, FullDiskFailsTheDownloadAndKeepsTheStore)
{
    StartServer();
    ProcessResult result;
    const bool mounted = InPrivateMounts(R"(
        mount -t tmpfs -o size=512k tmpfs "$S" || exit 99
        "$U" -G -d 40F5849A -b 1000 -u "$URL" -i "$S" >/dev/null 2>&1 || exit 2
        mkdir "$W/before" && cp -a "$S/." "$W/before/" || exit 3
        "$U" -G -d 40F5849A -u "$URL" -i "$S" 2>"$W/full.err"
        echo $? >"$W/full.rc"
        mkdir "$W/after" && cp -a "$S/." "$W/after/"
        "$U" -G -d 40F5849A -b 1000 -u "$URL" -i "$S" >/dev/null 2>&1 || exit 4
    )", result);
    if (!mounted)
        GTEST_SKIP() << "no private mounts here: " << result.err;
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(ReadFile(work_.path() + "/full.rc"), "1\n");
    const std::string err = ReadFile(work_.path() + "/full.err");
    EXPECT_NE(err.find("Failed to write file with "), std::string::npos) << err;
    // Nothing lost, nothing half-written left behind, and the store takes
    // the next download that fits.
    EXPECT_EQ(Snapshot(work_.path() + "/after"), Snapshot(work_.path() + "/before"));
    EXPECT_EQ(ReadFile(work_.path() + "/after/updater/40F5849A/1000.bird"), images_.at("1000.bird"));
}

TEST_F(StoreThatCannotTakeIt, ReadOnlyStoreFailsDownloadsAndStillLists)
{
    StartServer();
    ASSERT_EQ(Run({"-G", "-d", kSerial, "-b", "1000"}).exitCode, 0);
    const auto before = Snapshot(store_);
    ProcessResult result;
    bool readOnly = false;
    if (geteuid() == 0) {
        // Permission bits do not stop root: make the store a read-only mount.
        readOnly = InPrivateMounts(R"(
            mount --bind "$S" "$S" && mount -o remount,bind,ro "$S" || exit 99
            "$U" -G -d 40F5849A -u "$URL" -i "$S" >"$W/known.out" 2>"$W/known.err"; echo $? >"$W/known.rc"
            "$U" -G -d 12345678 -u "$URL" -i "$S" >"$W/new.out" 2>"$W/new.err"; echo $? >"$W/new.rc"
            "$U" -L -d 40F5849A -u "$URL" -i "$S" >"$W/list.out" 2>"$W/list.err"; echo $? >"$W/list.rc"
        )", result);
    } else {
        chmod((store_ + "/updater").c_str(), 0555);
        chmod(deviceStore().c_str(), 0555);
        for (const auto& [name, args] : std::map<std::string, std::vector<std::string>>{
                 {"known", {"-G", "-d", kSerial}}, {"new", {"-G", "-d", "12345678"}}, {"list", {"-L", "-d", kSerial}}}) {
            ProcessResult r = Run(args);
            WriteFile(work_.path() + "/" + name + ".out", r.out);
            WriteFile(work_.path() + "/" + name + ".err", r.err);
            WriteFile(work_.path() + "/" + name + ".rc", std::to_string(r.exitCode) + "\n");
        }
        readOnly = true;
    }
    if (!readOnly)
        GTEST_SKIP() << "no read-only store here: " << result.err;
    EXPECT_EQ(ReadFile(work_.path() + "/known.rc"), "1\n");
    EXPECT_NE(ReadFile(work_.path() + "/known.err").find("Failed to write file with "), std::string::npos)
        << ReadFile(work_.path() + "/known.err");
    EXPECT_EQ(ReadFile(work_.path() + "/new.rc"), "1\n");
    EXPECT_NE(ReadFile(work_.path() + "/new.err").find("Could not create directory for storing BIRD file"),
              std::string::npos)
        << ReadFile(work_.path() + "/new.err");
    EXPECT_EQ(ReadFile(work_.path() + "/list.rc"), "0\n");
    EXPECT_NE(ReadFile(work_.path() + "/list.out").find("1000           \t2.11.3"), std::string::npos)
        << ReadFile(work_.path() + "/list.out");
    chmod((store_ + "/updater").c_str(), 0755);
    chmod(deviceStore().c_str(), 0755);
    EXPECT_EQ(Snapshot(store_), before);
}

// A settings file that exists but cannot be read is neither replaced nor
// made anew: the download says it could not record itself, and fails.
TEST_F(StoreThatCannotTakeIt, UnreadableSettingsAreKeptAndTheDownloadSaysSo)
{
    StartServer();
    ASSERT_EQ(Run({"-G", "-d", kSerial, "-b", "1000"}).exitCode, 0);
    const std::string settings = deviceStore() + "/.settings";
    ASSERT_EQ(0, unlink(settings.c_str()));
    ASSERT_EQ(0, symlink(".settings", settings.c_str()));
    ProcessResult r = Run({"-G", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Failed to record the download in " + settings), std::string::npos) << r.err;
    char target[32] = {0};
    EXPECT_EQ(readlink(settings.c_str(), target, sizeof target - 1), 9);
}

}  // namespace
}  // namespace faults
