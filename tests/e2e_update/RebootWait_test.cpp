// The wait after REBOOT, with the upgrade entity on a simulated module of this
// process: it follows the link's count of losses, so a module back at once is
// not waited for, and a module that never drops its link fails once the wait
// is over instead of passing for rebooted.
#include <gtest/gtest.h>

#include <chrono>

#include "ApiHarness.h"
#include "UpdaterEntity.h"

using namespace apitest;
using Tarvelin::Tessaluma::Module;

namespace {

struct QuietDisplay : UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

TEST(RebootWait, EndsWithTheDropAndFailsWithoutOne)
{
    for (const bool restarts : {true, false}) {
        SCOPED_TRACE(restarts ? "restarts at once" : "never drops");
        modsim::ModuleConfig config;
        config.reenumerate = restarts;
        config.reenumerateMs = 0;
        linkmodsim::TcpModule simulated(config);
        Module module(linkmodsim::kAddress, 0);
        ASSERT_EQ(module.setConfig(Unshared()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(SpecOf(simulated)), aErrNone);
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        entity.SetRebootWait(1500);
        QuietDisplay display;
        const auto start = std::chrono::steady_clock::now();
        const aErr err = entity.LoaderReboot(display);
        const auto took = std::chrono::steady_clock::now() - start;
        if (restarts) {
            EXPECT_EQ(err, aErrNone);
            EXPECT_LT(took, std::chrono::milliseconds(1000));
        } else {
            EXPECT_EQ(err, aErrTimeout);
            EXPECT_GE(took, std::chrono::milliseconds(1500));
        }
    }
}

}  // namespace
