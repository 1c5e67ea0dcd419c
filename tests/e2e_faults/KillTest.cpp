// kill -9 of a download at random moments: whenever the process dies, the
// store holds the previous image and LATEST_DOWNLOAD naming it (or the new
// image whole, once it was in place), never a truncated image or settings file.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "Harness.h"

namespace faults {
namespace {

// A multi-megabyte image: its transfer, decoding and writing take long
// enough for a random kill to land in each of them.
class KillDuringDownload : public Campaign {
protected:
    size_t LargeImageBytes() const override { return 3u << 20; }

    // Starts the download and kills it after delay; true when it had
    // finished by itself before that.
    bool KillAfter(std::chrono::microseconds delay)
    {
        const auto argv = Command({"-G", "-d", kSerial});
        pid_t pid = fork();
        if (pid == 0) {
            int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
            setenv("UPDATER_HTTP_STALL_SECONDS", "2", 1);
            testsupport::ExecOrExit(argv);
        }
        std::this_thread::sleep_for(delay);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return false;
    }
};

TEST_F(KillDuringDownload, StoreStaysSoundThroughFiftyKills)
{
    StartServer();
    ASSERT_EQ(Run({"-G", "-d", kSerial, "-b", "1000"}).exitCode, 0);
    const std::string firstSettings = ReadFile(deviceStore() + "/.settings");
    ExpectSoundStore("before");

    // How long an uninterrupted download takes, then kills spread over it.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({"-G", "-d", kSerial}).exitCode, 0);
    const auto full = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> moment(0, full.count() * 9 / 10);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", full download " + std::to_string(full.count()) + " us");

    int killed = 0, finished = 0;
    for (int round = 0; killed < 50 && round < 200; ++round) {
        // Each round starts from the first download only, so that the new
        // image is never already in place.
        unlink((deviceStore() + "/1017.bird").c_str());
        WriteFile(deviceStore() + "/.settings", firstSettings);
        const auto delay = std::chrono::microseconds(moment(random));
        if (KillAfter(delay))
            ++finished;
        else
            ++killed;
        const std::string context = "round " + std::to_string(round) + " at " + std::to_string(delay.count()) + " us";
        ExpectSoundStore(context);
        EXPECT_EQ(ReadFile(deviceStore() + "/1000.bird"), images_.at("1000.bird")) << context;
        const auto settings = SettingsOf(ReadFile(deviceStore() + "/.settings"));
        if (settings.at("LATEST_DOWNLOAD") != "1000.bird") {
            EXPECT_EQ(settings.at("LATEST_DOWNLOAD"), "1017.bird") << context;
        }
        if (HasFatalFailure() || HasNonfatalFailure())
            break;
    }
    std::cout << "kill campaign: " << killed << " killed, " << finished << " finished before the kill\n";
    EXPECT_EQ(killed, 50);

    // The store is still usable: a download now completes, and nothing a
    // killed run left behind is taken for an image.
    ProcessResult after = Run({"-G", "-d", kSerial});
    EXPECT_EQ(after.exitCode, 0) << after.err;
    ExpectSoundStore("after");
    EXPECT_EQ(SettingsOf(ReadFile(deviceStore() + "/.settings")).at("LATEST_DOWNLOAD"), "1017.bird");
    ProcessResult local = Run({"-L", "-d", kSerial});
    EXPECT_NE(local.out.find("1017           \t2.12.0"), std::string::npos) << local.out;
    EXPECT_EQ(local.out.find(".part"), std::string::npos) << local.out;
}

}  // namespace
}  // namespace faults
