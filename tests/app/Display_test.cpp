// The console display against a terminal and a pipe, the message buffer and
// the log's package filter.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Log.h"
#include "Process.h"
#include "RecordingDisplay.h"

using testsupport::ProcessOptions;
using testsupport::RunProcess;

namespace {

testsupport::ProcessResult Probe(std::vector<std::string> args, bool terminal)
{
    args.insert(args.begin(), DISPLAY_PROBE);
    ProcessOptions options;
    options.stdoutOnTerminal = terminal;
    return RunProcess(args, options);
}

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

}  // namespace

TEST(DisplayTerminal, HalfwayBarIsExact)
{
    auto r = Probe({"progress", "0.5", ""}, true);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% ) ");
    EXPECT_EQ(r.err, "");
}

TEST(DisplayTerminal, LabelShortensTheBar)
{
    // 69 - 5 - 4 = 60 places: 15 '=', the '>' and 44 spaces at a quarter.
    auto r = Probe({"progress", "0.25", "Flash"}, true);
    EXPECT_EQ(r.out, "\r (Flash) [" + Repeat('=', 15) + ">" + Repeat(' ', 44) + "] ( 25% ) ");
}

TEST(DisplayTerminal, FullAndOutOfRangeFractionsStayInsideTheBar)
{
    std::string full = "\r[" + Repeat('=', 68) + ">] (100% ) ";
    EXPECT_EQ(Probe({"progress", "1.0", ""}, true).out, full);
    EXPECT_EQ(Probe({"progress", "7.5", ""}, true).out, full);
    EXPECT_EQ(Probe({"progress", "-3", ""}, true).out, "\r[>" + Repeat(' ', 68) + "] (  0% ) ");
}

TEST(DisplayTerminal, LabelLeavingNoRoomDrawsAnEmptyBar)
{
    for (size_t length : {65u, 66u, 200u}) {
        std::string label = Repeat('L', length);
        auto r = Probe({"progress", "0.9", label}, true);
        EXPECT_EQ(r.out, "\r (" + label + ") [] ( 90% ) ") << length;
    }
    // 64 characters leave one place: the '>' alone.
    std::string label = Repeat('L', 64);
    EXPECT_EQ(Probe({"progress", "0.9", label}, true).out, "\r (" + label + ") [>] ( 90% ) ");
}

TEST(DisplayTerminal, SpinnerCyclesThroughEightFrames)
{
    auto r = Probe({"spinner", "9", ""}, true);
    std::string expected;
    for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
        expected += std::string("\r ") + frame + "      \r";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(Probe({"spinner", "2", "Downloading"}, true).out,
              "\r (Downloading) .      \r\r (Downloading) ..      \r");
}

TEST(DisplayTerminal, ErasingWritesSpacesBetweenCarriageReturns)
{
    std::string erase = "\r" + Repeat(' ', 88) + "\r";
    // display_progress(false), display_progress(true), update_spinner(false)
    EXPECT_EQ(Probe({"erase"}, true).out, erase + erase);
}

TEST(DisplayPipe, OnlyMessagesReachAPipe)
{
    auto r = Probe({"progress", "0.5", "", "spinner", "3", "x", "erase", "info", "hello", "error", "oops"}, false);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "hello\n");
    EXPECT_EQ(r.err, "oops\n");
}

TEST(DisplayMessage, LongTextIsCutAt2047AndMutingSilences)
{
    RecordingDisplay display;
    std::string text(5000, 'a');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", text.c_str());
    ASSERT_EQ(display.infos.size(), 1u);
    EXPECT_EQ(display.infos[0], std::string(2047, 'a'));

    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "other level");
    EXPECT_EQ(display.infos.back(), "other level");
    EXPECT_TRUE(display.errors.empty());

    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
    EXPECT_TRUE(display.errors.empty());
}

TEST(LogFilter, PackagesOutsideTheMaskAreDropped)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&text, &size);
    ASSERT_NE(sink, nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::SetOutput(sink);
    Log::ActivatePackage(DEBUG_Updater);
    Log::log(DEBUG_ServerComm, "server\n");
    Log::log(DEBUG_Updater, "updater %d\n", 1);
    Log::log(0, "always\n");
    Log::ActivatePackage(DEBUG_ServerComm);  // masks accumulate
    Log::log(DEBUG_ServerComm, "server\n");
    Log::DeactivatePackage(DEBUG_Updater);
    Log::log(DEBUG_Updater, "gone\n");
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere\n");
    fclose(sink);
    EXPECT_EQ(std::string(text, size), "updater 1\nalways\nserver\n");
    free(text);
    Log::DeactivatePackage(0xFFFFFFFF);
}
