// The server as the update tool meets it: each op's reply bytes from a small
// catalogue, the error replies, every fault mode and shutdown.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>

#include "Process.h"
#include "ServerProcess.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Independent of the server's encoder: decode and compare bytes.
std::string DecodeBase64(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string AllBytes() {
    std::string image;
    for (int i = 0; i < 256; ++i) image += static_cast<char>(i);   // 256 = 3 x 85 + 1: "==" padding
    return image;
}

void MakeDirs(const std::string& root) {
    for (const char* d : {"/devices", "/devices/0000ABCD", "/devices/0000ABCD/builds", "/devices/0000beef",
                          "/devices/0000beef/builds", "/fix"})
        mkdir((root + d).c_str(), 0755);
}

// 0000ABCD: builds 999, 1000 (with a no-calibration variant), 1001; "latest"
// names 1000, not the highest. 0000beef (lower-case directory): build 5000
// only, no versions, no latest, no token.
void MakeCatalogue(const std::string& root) {
    MakeDirs(root);
    const std::string dev = root + "/devices/0000ABCD";
    WriteFile(dev + "/builds/999.bird", "old");
    WriteFile(dev + "/builds/999.version", "2.0.9\n");
    WriteFile(dev + "/builds/1000.bird", AllBytes());
    WriteFile(dev + "/builds/1000.nocal.bird", "foobar");
    WriteFile(dev + "/builds/1000.version", "  2.1.0\r\n");
    WriteFile(dev + "/builds/1001.bird", "f");
    WriteFile(dev + "/builds/1001.version", "2.10.0");
    WriteFile(dev + "/latest", "1000\n");
    WriteFile(dev + "/token", "eyJhbGciOiJub25lIn0.eyJzbiI6IjAwMDBBQkNEIn0.c2ln\n");
    WriteFile(root + "/devices/0000beef/builds/5000.bird", "fo");
    WriteFile(root + "/fix/00000001-00000002-00000003-00000004", "0000ABCD\n");
    WriteFile(root + "/fix/0A0B0C0D%2000000000%20FFFFFFFF%2012345678", "0x0000abcd\n999\n");
}

const std::string kBird = "/cgi/u?bld=1000&fw=2.1.0&no_cal=false&op=bird&sn=0000ABCD&";

class UpdateServer : public ::testing::Test {
protected:
    void SetUp() override { MakeCatalogue(dir.path()); }
    std::unique_ptr<ServerProcess> Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--catalogue", dir.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto server = std::make_unique<ServerProcess>(args);
        EXPECT_GT(server->port(), 0) << server->Log();
        return server;
    }
    TempDir dir;
};

TEST_F(UpdateServer, AnswersEveryOpFromTheCatalogue) {
    auto server = Start();
    EXPECT_EQ(server->firstLine(), "listening on 127.0.0.1:" + std::to_string(server->port()));

    auto r = server->Get("/cgi/u?op=hi&rv=2&");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "ok\n");

    EXPECT_EQ(server->Get("/cgi/u?op=qu&sn=0000ABCD&").body, "ok\n1000\n2.1.0\n");
    // No "latest" file: the highest build; no version file: no version line.
    EXPECT_EQ(server->Get("/cgi/u?op=qu&sn=0000BEEF&").body, "ok\n5000\n");

    r = server->Get(kBird);
    ASSERT_EQ(r.body.substr(0, 3), "ok\n");
    ASSERT_EQ(r.body.back(), '\n');
    const std::string text = r.body.substr(3, r.body.size() - 4);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.substr(text.size() - 2), "==");
    EXPECT_EQ(DecodeBase64(text), AllBytes());
    EXPECT_EQ(server->Get("/cgi/u?bld=1000&fw=2.1.0&no_cal=true&op=bird&sn=0000ABCD&").body, "ok\nZm9vYmFy\n");
    EXPECT_EQ(server->Get("/cgi/u?bld=1001&fw=&no_cal=true&op=bird&sn=0000ABCD&").body, "ok\nZg==\n");
    EXPECT_EQ(server->Get("/cgi/u?bld=5000&fw=&no_cal=false&op=bird&sn=0000BEEF&").body, "ok\nZm8=\n");

    // Numeric order, not text order; a build without a version keeps its ";".
    EXPECT_EQ(server->Get("/cgi/u?op=builds&sn=0000ABCD&").body, "ok\n999;2.0.9\n1000;2.1.0\n1001;2.10.0\n");
    EXPECT_EQ(server->Get("/cgi/u?op=builds&sn=0000BEEF&").body, "ok\n5000;\n");

    EXPECT_EQ(server->Get("/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&").body,
              "ok\n0000ABCD\n1000\n");
    EXPECT_EQ(server->Get("/cgi/u?brief=true&fp=0A0B0C0D%2000000000%20FFFFFFFF%2012345678&op=fix&").body,
              "ok\n0000ABCD\n999\n");

    EXPECT_EQ(server->Get("/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&").body,
              "ok\neyJhbGciOiJub25lIn0.eyJzbiI6IjAwMDBBQkNEIn0.c2ln\n");

    const std::string log = server->Log();
    EXPECT_NE(log.find("GET /cgi/u?op=hi&rv=2& 200\n"), std::string::npos) << log;
}

TEST_F(UpdateServer, RefusesWhatTheCatalogueLacks) {
    auto server = Start();
    struct Case {
        std::string target;
        int status;
    } cases[] = {
        {"/cgi/u?op=qu&sn=12345678&", 200},
        {"/cgi/u?bld=4242&fw=&no_cal=false&op=bird&sn=0000ABCD&", 200},
        {"/cgi/u?op=builds&sn=12345678&", 200},
        {"/cgi/u?json=false&op=ent_jwt&sn=0000BEEF&", 200},
        {"/cgi/u?brief=true&fp=00000009%2000000002%2000000003%2000000004&op=fix&", 200},
        {"/cgi/u?brief=true&fp=00000001%2000000002&op=fix&", 400},
        {"/cgi/u?op=qu&sn=../../etc&", 400},
        {"/cgi/u?bld=abc&fw=&no_cal=false&op=bird&sn=0000ABCD&", 400},
        {"/cgi/u?op=upgrade&", 400},
        {"/cgi/u", 400},
        {"/cgi/other?op=hi&rv=2&", 404},
    };
    for (const auto& c : cases) {
        const auto r = server->Get(c.target);
        EXPECT_EQ(r.status, c.status) << c.target;
        EXPECT_FALSE(r.body.compare(0, 2, "ok") == 0) << c.target << ": " << r.body;
    }
}

TEST_F(UpdateServer, SeesCatalogueChangesWithoutRestart) {
    auto server = Start();
    WriteFile(dir.path() + "/devices/0000ABCD/latest", "1001\n");
    EXPECT_EQ(server->Get("/cgi/u?op=qu&sn=0000ABCD&").body, "ok\n1001\n2.10.0\n");
}

TEST_F(UpdateServer, FaultsRewriteTheReply) {
    struct Case {
        std::vector<std::string> faults;
        std::string target;
        int status;
        std::string body;
    } cases[] = {
        {{"status=503"}, "/cgi/u?op=hi&rv=2&", 503, "ok\n"},
        {{"no-ok"}, "/cgi/u?op=qu&sn=0000ABCD&", 200, "fail\n1000\n2.1.0\n"},
        {{"empty"}, "/cgi/u?op=hi&rv=2&", 200, ""},
        {{"crlf"}, "/cgi/u?op=qu&sn=0000ABCD&", 200, "ok\r\n1000\r\n2.1.0\r\n"},
        {{"blank-lines"}, "/cgi/u?op=qu&sn=0000ABCD&", 200, "\nok\n\n1000\n\n2.1.0\n\n"},
        {{"status=500", "no-ok", "only=bird,fix"}, "/cgi/u?op=qu&sn=0000ABCD&", 200, "ok\n1000\n2.1.0\n"},
        {{"status=500", "no-ok", "only=bird,fix"}, "/cgi/u?bld=1001&fw=&no_cal=false&op=bird&sn=0000ABCD&", 500,
         "fail\nZg==\n"},
        // Base64 faults leave other ops alone.
        {{"truncated-base64", "invalid-base64"}, "/cgi/u?op=hi&rv=2&", 200, "ok\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (const auto& f : c.faults) args.insert(args.end(), {"--fault", f});
        auto server = Start(args);
        const auto r = server->Get(c.target);
        EXPECT_EQ(r.status, c.status) << c.faults[0] << " " << c.target;
        EXPECT_EQ(r.body, c.body) << c.faults[0] << " " << c.target;
    }
}

TEST_F(UpdateServer, Base64FaultsSpoilTheImageText) {
    auto truncated = Start({"--fault", "truncated-base64"});
    auto r = truncated->Get(kBird);
    ASSERT_EQ(r.body.substr(0, 3), "ok\n");
    const std::string shortText = r.body.substr(3, r.body.size() - 4);
    EXPECT_NE(shortText.size() % 4, 0u);
    EXPECT_LT(shortText.size(), 344u);   // 256 bytes encode to 344 characters

    auto invalid = Start({"--fault", "invalid-base64"});
    r = invalid->Get(kBird);
    ASSERT_EQ(r.body.substr(0, 3), "ok\n");
    const std::string badText = r.body.substr(3, r.body.size() - 4);
    EXPECT_EQ(badText.size(), 344u);
    EXPECT_NE(badText.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
}

TEST_F(UpdateServer, DelayHoldsTheReply) {
    auto server = Start({"--fault", "delay=400"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server->Get("/cgi/u?op=hi&rv=2&").body, "ok\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(UpdateServer, NeverEndSendsHalfThenHoldsUntilShutdown) {
    auto server = Start({"--fault", "never-end", "--fault", "only=qu"});
    EXPECT_EQ(server->Get("/cgi/u?op=hi&rv=2&").body, "ok\n");
    const auto r = server->Get("/cgi/u?op=qu&sn=0000ABCD&", std::chrono::milliseconds(700));
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "ok\n1000");   // the first 7 of 14 bytes
    // The other workers still answer while one is held.
    EXPECT_EQ(server->Get("/cgi/u?op=hi&rv=2&").body, "ok\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(UpdateServer, StopsCleanlyOnSignalsAndWritesPortFile) {
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string portFile = dir.file("port");
        auto server = Start({"--port-file", portFile});
        EXPECT_EQ(testsupport::ReadFile(portFile), std::to_string(server->port()) + "\n");
        // An idle kept-alive connection must not hold up the stop.
        EXPECT_EQ(server->Get("/cgi/u?op=hi&rv=2&").status, 200);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(server->Stop(sig), 0) << server->Log();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_NE(server->Log().find("stopped"), std::string::npos);
    }
}

TEST_F(UpdateServer, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--catalogue", dir.file("missing")},
        {"--catalogue", dir.path(), "--fault", "sometimes"},
        {"--catalogue", dir.path(), "--fault", "status=abc"},
        {"--catalogue", dir.path(), "--fault", "no-ok=1"},
        {"--catalogue", dir.path(), "--port", "70000"},
        {"--catalogue", dir.path(), "--bind", "localhost"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{UpdateServerBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = testsupport::RunProcess(argv);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    // A port already taken is a run-time failure, not a usage error.
    auto first = Start();
    const auto r = testsupport::RunProcess(
        {UpdateServerBinary(), "--catalogue", dir.path(), "--port", std::to_string(first->port())});
    EXPECT_EQ(r.exitCode, 1) << r.err;
}

}  // namespace
