// Logger: the worker calls back until disabled, and writes reach the file.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Process.h"
#include "aLogger.h"
#include "aTime.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct Counter {
    std::atomic<int> calls{0};
    aLogger* logger = nullptr;  // set when the callback should stop its own logger
    std::atomic<int> stopResult{-1};
};

void WriteTick(aFile* file, void* identifier)
{
    auto* counter = static_cast<Counter*>(identifier);
    if (counter->calls.fetch_add(1) < 3)
        aFile_Printf(file, "tick\n");
    aTime_MSSleep(1);
}

void StopAfterTwo(aFile*, void* identifier)
{
    auto* counter = static_cast<Counter*>(identifier);
    if (counter->calls.fetch_add(1) == 1) {
        counter->stopResult = aLogger_Disable(counter->logger);
        // Destroying from inside the callback would free the worker's own record.
        EXPECT_EQ(aErrBusy, aLogger_Destroy(&counter->logger));
    }
    aTime_MSSleep(1);
}

}  // namespace

TEST(Logger, RunsUntilDisabledAndAppends)
{
    TempDir dir;
    std::string path = dir.file("packets.log");
    testsupport::WriteFile(path, "START\n");
    Counter counter;
    aLogger* logger = aLogger_Create(&counter, WriteTick, path.c_str());
    ASSERT_NE(nullptr, logger);
    EXPECT_EQ(aErrNone, aLogger_Disable(logger)) << "disabling an idle logger";
    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_EQ(aErrNone, aLogger_Enable(logger)) << "enabling twice";
    while (counter.calls.load() < 5)
        aTime_MSSleep(1);
    EXPECT_EQ(aErrNone, aLogger_Disable(logger));
    int after = counter.calls.load();
    aTime_MSSleep(20);
    EXPECT_EQ(after, counter.calls.load()) << "no callback after disable returned";
    // Unbuffered: the lines are in the file while it is still open.
    EXPECT_EQ("START\ntick\ntick\ntick\n", ReadFile(path));

    EXPECT_EQ(aErrNone, aLogger_Enable(logger)) << "a logger can be enabled again";
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger)) << "destroy stops a running logger";
    EXPECT_EQ(nullptr, logger);
}

TEST(Logger, CallbackCanStopItsOwnLogger)
{
    TempDir dir;
    Counter counter;
    counter.logger = aLogger_Create(&counter, StopAfterTwo, dir.file("log").c_str());
    aLogger* logger = counter.logger;
    ASSERT_NE(nullptr, logger);
    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    while (counter.stopResult.load() == -1)
        aTime_MSSleep(1);
    EXPECT_EQ(aErrNone, counter.stopResult.load());
    aTime_MSSleep(20);
    EXPECT_EQ(2, counter.calls.load());
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
}

TEST(Logger, RefusesWhatItCannotOpen)
{
    TempDir dir;
    Counter counter;
    EXPECT_EQ(nullptr, aLogger_Create(&counter, WriteTick, dir.file("no/dir/log").c_str()));
    EXPECT_EQ(nullptr, aLogger_Create(&counter, nullptr, dir.file("log").c_str()));
    EXPECT_EQ(aErrParam, aLogger_Enable(nullptr));
    aLogger* none = nullptr;
    EXPECT_EQ(aErrParam, aLogger_Destroy(&none));
}
