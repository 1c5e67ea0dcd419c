// The command line's syntax and value rules, through the parse that main uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"
#include "RecordingDisplay.h"
#include "SimpleOpt.h"

namespace {

struct Parsed {
    bool ok;
    Parameters params;
    RecordingDisplay display;
};

// Parses "Updater" followed by words, from a clean log mask.
Parsed Parse(std::vector<std::string> words)
{
    Log::DeactivatePackage(0xFFFFFFFF);
    words.insert(words.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed p;
    p.ok = _get_params(int(words.size()), argv.data(), p.params, p.display);
    return p;
}

}  // namespace

TEST(OptionSyntax, UniquePrefixesSelectLongOptions)
{
    for (const char* word : {"-O", "-OV", "-OVER", "-OVERRIDE"}) {
        auto p = Parse({word});
        EXPECT_TRUE(p.params.override) << word;
    }
    EXPECT_TRUE(Parse({"--he"}).params.helpGiven);
    EXPECT_TRUE(Parse({"--help"}).params.helpGiven);
    // Case matters, and the hyphen count is part of the name.
    EXPECT_FALSE(Parse({"-o"}).params.override);
    EXPECT_FALSE(Parse({"-help"}).params.helpGiven);
    EXPECT_FALSE(Parse({"--"}).params.helpGiven);
}

TEST(OptionSyntax, SyntaxFaultsAreSkippedSilently)
{
    // Unknown, a bare hyphen, clumped, joined without
    // '=', and a value given to an option that takes none.
    auto p = Parse({"-Q", "-", "-DG", "-d40F5849A", "-OVERRIDE=yes", "--help=1", "stray", "-d"});
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.display.errors.empty());
    EXPECT_FALSE(p.params.override);
    EXPECT_FALSE(p.params.helpGiven);
    EXPECT_EQ(p.params.serialNumber, 0u);
    EXPECT_FALSE(p.params.commands.IsSet(CMD_ANY_COMMAND_MASK));
}

TEST(OptionSyntax, ValuesByNextWordOrEquals)
{
    auto p = Parse({"-d=40F5849A", "-s", "/dev/ttyUSB0", "-f=a=b.bird"});
    EXPECT_EQ(p.params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(p.params.serialPort, "/dev/ttyUSB0");
    EXPECT_EQ(p.params.birdFile, "a=b.bird");
}

TEST(OptionSyntax, ValueBeginningWithHyphenIsExaminedAsAnOption)
{
    auto p = Parse({"-s", "-D", "-f", "-OVER"});
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.params.serialPort.empty());
    EXPECT_TRUE(p.params.commands.IsSet(CMD_DISCOVER));
    EXPECT_TRUE(p.params.override);
    EXPECT_TRUE(p.params.birdFile.empty());
}

TEST(OptionSyntax, HelpEndsTheParse)
{
    auto p = Parse({"-D", "-h", "-d", "xyz", "-X", "1"});
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(p.params.commands.IsSet(CMD_DISCOVER));
    EXPECT_FALSE(p.params.logMaskGiven);
    EXPECT_TRUE(p.display.errors.empty());
}

TEST(OptionSyntax, LaterValuesWinAndCommandsAccumulate)
{
    auto p = Parse({"-d", "1", "-G", "-d", "2", "-U", "-Y"});
    EXPECT_FALSE(p.ok);
    ASSERT_EQ(p.display.errors.size(), 1u);
    EXPECT_EQ(p.display.errors[0], "Unhandled command: [-Y]");
    EXPECT_EQ(p.params.serialNumber, 2u);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_GET_BUILD));
    EXPECT_TRUE(p.params.commands.IsSet(CMD_UPDATE));
}

TEST(ValueRules, SerialNumbers)
{
    EXPECT_EQ(Parse({"-d", "0x40f5849a"}).params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(Parse({"-d", "123456789"}).params.serialNumber, 0x23456789u);  // kept in 32 bits

    auto zero = Parse({"-d", "0x0"});
    EXPECT_FALSE(zero.ok);
    EXPECT_EQ(zero.display.errors, std::vector<std::string>{"Invalid serial number obtained from argument [0]"});
    auto text = Parse({"-d", "xyz"});
    EXPECT_FALSE(text.ok);
    EXPECT_EQ(text.display.errors, std::vector<std::string>{"Invalid serial number obtained from argument [xyz]"});

    auto router = Parse({"-r", "0XD272031D"});
    EXPECT_TRUE(router.ok);
    EXPECT_EQ(router.params.routerSerial, 0xD272031Du);
    auto badRouter = Parse({"-r", "12G"});
    EXPECT_FALSE(badRouter.ok);
    EXPECT_EQ(badRouter.display.errors,
              std::vector<std::string>{"Invalid router serial number obtained from argument [12G]"});
}

TEST(ValueRules, PrefixDiscardIsLoggedUnderUpdaterPackage)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&text, &size);
    Log::SetOutput(sink);
    Parse({"-X", "1", "-d", "0x1", "-r", "0x2"});
    Log::SetOutput(nullptr);
    fclose(sink);
    EXPECT_EQ(std::string(text, size),
              "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
    free(text);
    Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(ValueRules, BuildAndBaudRate)
{
    EXPECT_EQ(Parse({"-b", "99528558"}).params.buildText, "99528558");
    EXPECT_EQ(Parse({"-b", "007"}).params.buildText, "7");
    auto p = Parse({"-b", "abc", "-o", "9600x"});
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.display.errors.empty());
    EXPECT_EQ(p.params.buildText, "0");
    EXPECT_EQ(p.params.baudRate, 0u);
    EXPECT_EQ(Parse({"-o", "230400"}).params.baudRate, 230400u);
}

TEST(ValueRules, TransportByCaseSensitivePrefix)
{
    struct Case {
        const char* text;
        int32_t transport;
    };
    for (Case c : {Case{"USB", 1}, Case{"USB2", 1}, Case{"TCP", 2}, Case{"TCPIP", 2}, Case{"RECOVER", 255},
                   Case{"RECOVERY", 255}}) {
        auto p = Parse({"-t", c.text});
        EXPECT_TRUE(p.ok) << c.text;
        EXPECT_EQ(p.params.transport, c.transport) << c.text;
        EXPECT_TRUE(p.params.transportGiven);
    }
    for (const char* bad : {"tcpip", "RECOVE", "US"}) {
        auto p = Parse({"-t", bad});
        EXPECT_FALSE(p.ok) << bad;
        EXPECT_EQ(p.params.transport, 0);
        EXPECT_TRUE(p.params.transportGiven);
        EXPECT_EQ(p.display.errors, std::vector<std::string>{"Invalid transport type:[" + std::string(bad) +
                                                             "]\nMust be one of the following: USB, TCPIP, RECOVER"});
    }
}

TEST(ValueRules, LogMaskAccumulatesAndRejectsLeftovers)
{
    auto p = Parse({"-X", "0x20", "-X", "1"});
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.params.logMaskGiven);
    EXPECT_EQ(p.params.logMask, 1u);
    EXPECT_EQ(Log::ActivePackages(), 0x21u);

    auto bad = Parse({"-X", "0x1G", "-X=12abc"});
    EXPECT_TRUE(bad.ok);
    EXPECT_TRUE(bad.params.logMaskGiven);
    EXPECT_EQ(bad.params.logMask, 0u);
    EXPECT_EQ(Log::ActivePackages(), 0u);
    EXPECT_EQ(bad.display.errors,
              (std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [G]",
                                        "Invalid format for \"-X\" parameter, unprocessed characters [abc]"}));
    Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(ValueRules, UeiBytesAndReservedZ)
{
    EXPECT_TRUE(Parse({"-m", "1"}).params.useUeiBytes);
    EXPECT_TRUE(Parse({"-m", "trueish"}).params.useUeiBytes);
    EXPECT_FALSE(Parse({"-m", "yes"}).params.useUeiBytes);
    auto z = Parse({"-Z", "anything"});
    EXPECT_TRUE(z.params.commands.IsSet(CMD_RESERVED_Z));
    EXPECT_TRUE(z.params.commands.IsSet(CMD_ANY_COMMAND_MASK));
}

TEST(OptionParser, AmbiguousPrefixesAndSetAsideWords)
{
    const CSimpleOpt::SOption table[] = {
        {1, "-ab", SO_NONE}, {2, "-abc", SO_REQ_SEP}, {3, "-ax", SO_NONE}, {-1, nullptr, SO_NONE}};
    std::vector<std::string> words = {"prog", "-a", "-ab", "file", "-abc", "v", "-abc="};
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    CSimpleOpt parser(int(argv.size()), argv.data(), table);
    std::vector<std::pair<int, ESOError>> seen;
    while (parser.Next())
        seen.push_back({parser.OptionId(), parser.LastError()});
    EXPECT_EQ(seen, (std::vector<std::pair<int, ESOError>>{
                        {-1, SO_OPT_MULTIPLE}, {1, SO_SUCCESS}, {2, SO_SUCCESS}, {2, SO_SUCCESS}}));
    ASSERT_EQ(parser.Files().size(), 1u);
    EXPECT_STREQ(parser.Files()[0], "file");
}

// -d for several modules: a list checked serial by serial (the first bad one
// named as a lone one is), repeats once, ALL; --jobs within its range.
TEST(OptionValues, DeviceListsAllAndJobs)
{
    auto p = Parse({"-d", "40F5849A,0x2181f0ee,40F5849A", "--jobs=3", "--js"});
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.params.serials, (std::vector<uint32_t>{0x40F5849A, 0x2181F0EE}));
    EXPECT_EQ(p.params.serialNumber, 0u);  // no lone module: -B, -L, -J refuse a list
    EXPECT_EQ(p.params.jobs, 3u);
    EXPECT_TRUE(p.params.json);

    p = Parse({"-d", "40F5849A"});
    EXPECT_EQ(p.params.serialNumber, 0x40F5849Au);
    EXPECT_FALSE(_several_devices(p.params));

    p = Parse({"-d", "ALL", "--model", "TS-Hub4"});
    EXPECT_TRUE(p.ok && p.params.allDevices && _several_devices(p.params));
    EXPECT_EQ(p.params.modelFilter, "TS-Hub4");

    p = Parse({"-d", "40F5849A,xyz,0"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.display.errors, (std::vector<std::string>{"Invalid serial number obtained from argument [xyz]"}));
    EXPECT_FALSE(Parse({"-d", "ALL,40F5849A"}).ok);
    EXPECT_FALSE(Parse({"-d", "40F5849A,"}).ok);

    for (const char* jobs : {"0", "65", "x"})
        EXPECT_FALSE(Parse({"--jobs", jobs}).ok) << jobs;
}
