// A machine out of threads: the download's worker cannot be started. The
// download fails with a message and exit status 1; nothing is thrown to the
// command line (which once ended the program with an abort, status 134).
#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>

#include <cstdlib>

#include "Harness.h"

namespace faults {
namespace {

using NoThreadsLeft = Campaign;

TEST_F(NoThreadsLeft, DownloadFailsWithAMessage)
{
    // A process limit only holds for a user other than root: run as one the
    // password database does not know, allowed this one process only.
    if (geteuid() != 0 || !testsupport::PathExists("/usr/bin/setpriv") || !testsupport::PathExists("/usr/bin/prlimit"))
        GTEST_SKIP() << "needs root, setpriv and prlimit";
    StartServer();
    uid_t stranger = 54321;
    while (getpwuid(stranger) != nullptr)
        ++stranger;
    chmod(work_.path().c_str(), 0755);
    chmod(store_.c_str(), 0777);
    const std::string id = std::to_string(stranger);
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                     "/usr/bin/prlimit", "--nproc=1"};
    const auto command = Command({"-G", "-d", kSerial});
    argv.insert(argv.end(), command.begin(), command.end());
    ProcessOptions options = Options();
    // A sanitizer build's leak check needs a thread of its own at exit.
    const char* asan = getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":detect_leaks=0";
    ProcessResult r = RunProcess(argv, options);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Download failed: "), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::PathExists(deviceStore() + "/1017.bird"));
}

}  // namespace
}  // namespace faults
