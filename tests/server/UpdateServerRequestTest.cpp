#include "Log.h"
#include "LoopbackServer.h"
#include "ServerReply.h"
#include "base64.h"
#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include <sys/resource.h>

namespace {

// Serves one canned reply; url() is the base URL handed to the operations.
struct Peer {
    Peer(int status, const std::string& body) : server(LoopbackServer::Replying(status, body)), base(server.url()) {}
    const char* url() const { return base.c_str(); }
    std::string target() { return server.targets().empty() ? "" : server.targets().back(); }
    LoopbackServer server;
    std::string base;
};

// Collects the server-communication log lines while alive.
struct LogCapture {
    LogCapture() : file(std::tmpfile())
    {
        Log::SetOutput(file);
        Log::ActivatePackage(DEBUG_ServerComm);
    }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(DEBUG_ServerComm);
        std::fclose(file);
    }
    std::string text()
    {
        std::fflush(file);
        std::rewind(file);
        std::string all;
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            all.append(buffer, n);
        return all;
    }
    FILE* file;
};

} // namespace

TEST(Ping, StatusAndStatusLine)
{
    {
        Peer peer(200, "okay\n");
        EXPECT_TRUE(UpdateServerRequest::ping(peer.url()));
        EXPECT_EQ(peer.target(), "/cgi/u?op=hi&rv=2&");
    }
    {
        LogCapture log;
        Peer peer(404, "ok\n");
        EXPECT_FALSE(UpdateServerRequest::ping(peer.url()));
        EXPECT_NE(log.text().find("PING ==> [404] [ok\n]\n"), std::string::npos) << log.text();
    }
    for (const char* body : {"", "\n\n", "o\nk\n", "error\nok\n"}) {
        LogCapture log;
        Peer peer(200, body);
        EXPECT_FALSE(UpdateServerRequest::ping(peer.url())) << body;
        EXPECT_NE(log.text().find("ServerCommClass: ping failed [" + peer.base + "?op=hi&rv=2&]"), std::string::npos);
    }
    std::string closed;
    {
        LoopbackServer gone(LoopbackServer::Replying(200, "ok"));
        closed = gone.url();
    }
    LogCapture log;
    EXPECT_FALSE(UpdateServerRequest::ping(closed.c_str()));
    EXPECT_NE(log.text().find("ping ==> ["), std::string::npos) << log.text();
}

TEST(QueryBuild, FieldsCarriageReturnsAndMissingLines)
{
    std::string build = "old", version = "old";
    {
        Peer peer(200, "ok\n1234\nabc\r\n");
        ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, peer.url()));
        EXPECT_EQ(build, "1234");
        EXPECT_EQ(version, "abc");
        EXPECT_EQ(peer.target(), "/cgi/u?op=qu&sn=40F5849A&");
    }
    {
        // CRLF throughout, blank lines between and extra lines after.
        Peer peer(200, "ok\r\n\r\n\n77\r\n2.1.0\r\nmore\nlines\n");
        ASSERT_TRUE(UpdateServerRequest::QueryBuild(1, build, version, peer.url()));
        EXPECT_EQ(build, "77");
        EXPECT_EQ(version, "2.1.0");
        EXPECT_EQ(peer.target(), "/cgi/u?op=qu&sn=00000001&");
    }
    {
        Peer peer(200, "ok\n88");
        ASSERT_TRUE(UpdateServerRequest::QueryBuild(1, build, version, peer.url()));
        EXPECT_EQ(build, "88");
        EXPECT_EQ(version, "2.1.0"); // not in the reply: untouched
    }
    {
        LogCapture log;
        Peer peer(200, "fail\n99\n3.0.0\n");
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, version, peer.url()));
        EXPECT_EQ(build, "88");
        EXPECT_NE(log.text().find("ServerCommClass: QueryBuild failed ["), std::string::npos);
    }
    Peer peer(500, "ok\n99\n");
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, version, peer.url()));
    EXPECT_EQ(build, "88");
}

TEST(GetBuild, QueryAndImageLine)
{
    std::string content = "previous";
    {
        Peer peer(200, "ok\nQUJD\r\n");
        ASSERT_TRUE(UpdateServerRequest::GetBuild(0xABCDEF01, "2.1.0", "1001", content, peer.url(), true));
        EXPECT_EQ(content, "QUJD");
        EXPECT_EQ(peer.target(), "/cgi/u?bld=1001&fw=2.1.0&no_cal=true&op=bird&sn=ABCDEF01&");
    }
    {
        Peer peer(404, "ok\nQUJD\n");
        EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "v", "1", content, peer.url()));
        EXPECT_EQ(content, "QUJD"); // failed request: untouched
    }
    Peer peer(200, "ok\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "v", "1", content, peer.url()));
    EXPECT_EQ(content, "");
    EXPECT_NE(peer.target().find("no_cal=false&"), std::string::npos);
}

// Read as it arrives, in pieces cut anywhere or one byte at a time, a reply
// gives the status and image line that the whole body gives.
TEST(GetBuild, ImageLineReadInPiecesIsTheWholeBodysLine)
{
    for (const std::string body : {"ok\nQUJD\r\n", "ok\r\n\r\n\nQU\rJD\r\r\nnext\n", "\n\r\nok\n\r\rAB", "ok",
             "ok\n", "okay\nAB\r", "o\r\nAB\n", "fail\nQUJD\n", "\r\n", "ok\n\r", "ok\nA\rB\r\n\r\n"}) {
        const bool ok = ServerReply::StatusOk(body);
        const std::string line(ServerReply::ImageLine(body));
        for (size_t cut = 0; cut <= body.size() + 1; ++cut) {
            std::string text;
            ServerReply::ImageLineReader reader([&text](std::string_view piece) {
                text.append(piece);
                return true;
            });
            bool reading = true;
            if (cut > body.size()) {
                for (char c : body)
                    reading = reading && reader.Feed(std::string_view(&c, 1));
            } else {
                reading = reader.Feed(std::string_view(body).substr(0, cut))
                    && reader.Feed(std::string_view(body).substr(cut));
            }
            if (reading)
                reader.Finish();
            EXPECT_EQ(reader.StatusOk(), ok) << body << " cut at " << cut;
            if (ok) {
                EXPECT_EQ(text, line) << body << " cut at " << cut;
            }
        }
    }
}

// The image decoded as it arrives: what the writer is given, and how a reply
// that is no image, a writer that gives up and a refused request end.
TEST(GetBuild, ImageIsDecodedAndWrittenAsItArrives)
{
    using Result = UpdateServerRequest::ImageResult;
    std::string image;
    for (int i = 0; i < 100000; ++i)
        image += static_cast<char>(i * 7 + i / 256);
    size_t length = 0;
    std::unique_ptr<char, decltype(&std::free)> coded(
        base64_encode(reinterpret_cast<const unsigned char*>(image.data()), image.size(), &length), &std::free);
    const std::string reply = "ok\n" + std::string(coded.get(), length) + "\r\n";
    std::string written;
    size_t pieces = 0;
    const UpdateServerRequest::ImageWriter write = [&](const unsigned char* bytes, size_t n) {
        written.append(reinterpret_cast<const char*>(bytes), n);
        ++pieces;
        return true;
    };
    uint64_t bytes = 0;
    {
        Peer peer(200, reply);
        EXPECT_EQ(UpdateServerRequest::GetBuildImage(0x40F5849A, "2.1.0", "1001", write, bytes, peer.url(), true),
            Result::Written);
        EXPECT_EQ(peer.target(), "/cgi/u?bld=1001&fw=2.1.0&no_cal=true&op=bird&sn=40F5849A&");
        EXPECT_EQ(written, image);
        EXPECT_EQ(bytes, image.size());
        EXPECT_GT(pieces, 1u);
    }
    const std::pair<std::pair<int, std::string>, Result> cases[] = {
        {{200, "ok\n"}, Result::Written},
        {{200, "ok\nQUJD\x80\n"}, Result::NotBase64},
        {{200, "ok\nQUJDR\n"}, Result::NotBase64},
        {{200, "fail\nQUJD\n"}, Result::Failed},
        {{404, "ok\nQUJD\n"}, Result::Failed},
    };
    for (const auto& [answer, expected] : cases) {
        Peer peer(answer.first, answer.second);
        EXPECT_EQ(UpdateServerRequest::GetBuildImage(1, "v", "1", write, bytes, peer.url()), expected)
            << answer.second;
    }
    Peer peer(200, reply);
    EXPECT_EQ(UpdateServerRequest::GetBuildImage(1, "v", "1",
                  [](const unsigned char*, size_t) { return false; }, bytes, peer.url()),
        Result::NotWritten);
    EXPECT_EQ(bytes, 0u);
}

// Hostile replies to a streamed image: cut off before the announced length,
// garbage after a good start, and more bytes than announced. None passes as
// the whole image; nothing beyond the announced body reaches the writer.
TEST(GetBuild, HostileStreamedRepliesNeverPassAsTheImage)
{
    using Result = UpdateServerRequest::ImageResult;
    const std::string image(200000, '\x5a');
    size_t length = 0;
    std::unique_ptr<char, decltype(&std::free)> coded(
        base64_encode(reinterpret_cast<const unsigned char*>(image.data()), image.size(), &length), &std::free);
    const std::string reply = "ok\n" + std::string(coded.get(), length) + "\n";
    std::string written;
    const UpdateServerRequest::ImageWriter write = [&](const unsigned char* bytes, size_t n) {
        written.append(reinterpret_cast<const char*>(bytes), n);
        return true;
    };
    auto fetch = [&](LoopbackServer::Handler handler) {
        LoopbackServer server(std::move(handler));
        written.clear();
        uint64_t bytes = 0;
        const Result result = UpdateServerRequest::GetBuildImage(1, "v", "1", write, bytes, server.url().c_str());
        EXPECT_EQ(bytes, written.size());
        return result;
    };
    const std::string whole = LoopbackServer::Reply(200, reply);
    // The connection drops halfway through the announced body.
    EXPECT_EQ(fetch([&](LoopbackServer&, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, whole.substr(0, whole.size() / 2));
    }), Result::Failed);
    EXPECT_LT(written.size(), image.size());
    // Garbage from the middle on.
    std::string spoiled = reply;
    spoiled.replace(spoiled.size() / 2, 8, "#!*?\x01\x02\x03\x04");
    EXPECT_EQ(fetch([&](LoopbackServer&, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, LoopbackServer::Reply(200, spoiled));
    }), Result::NotBase64);
    EXPECT_LT(written.size(), image.size());
    // Half the body announced, all of it sent: only what was announced is
    // taken, an image cut short that the file check then refuses.
    const std::string announcedHalf = "HTTP/1.1 200 X\r\nContent-Length: " + std::to_string(reply.size() / 2)
        + "\r\nConnection: close\r\n\r\n" + reply + std::string(100000, 'A');
    fetch([&](LoopbackServer&, int fd, const std::string&) { LoopbackServer::SendAll(fd, announcedHalf); });
    EXPECT_LE(written.size(), image.size() / 2 + 3);
    EXPECT_EQ(written, image.substr(0, written.size()));
}

TEST(GetBuildList, EntriesShortLinesDuplicatesAndEmptying)
{
    std::map<std::string, std::string> builds{{"stale", "1.0.0"}};
    {
        Peer peer(200, "ok\n1000;2.1.0\n1001;2.10.0\r\n1002\nx\n;3.0.0\n1000;9.9.9\n1003;1.2.3;extra\n");
        ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, peer.url()));
        EXPECT_EQ(peer.target(), "/cgi/u?op=builds&sn=40F5849A&");
    }
    std::map<std::string, std::string> expected{
        {"1000", "2.1.0"}, {"1001", "2.10.0"}, {"1002", ""}, {"1003", "1.2.3"}};
    EXPECT_EQ(builds, expected);
    Peer peer(200, "");
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, peer.url()));
    EXPECT_TRUE(builds.empty());
}

TEST(GetRecoveryInfo, FingerprintQueryAndNumberBases)
{
    uint32_t serial = 5, build = 6;
    {
        Peer peer(200, "ok\n40f5849a\n0x10\n");
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo({0x1, 0xDEADBEEF, 0x0A0B0C0D, 0}, serial, build, peer.url()));
        EXPECT_EQ(serial, 0x40F5849Au);
        EXPECT_EQ(build, 16u);
        EXPECT_EQ(peer.target(), "/cgi/u?brief=true&fp=00000001%20DEADBEEF%200A0B0C0D%2000000000&op=fix&");
        std::string fp = peer.target().substr(peer.target().find("fp=") + 3);
        EXPECT_EQ(fp.substr(0, fp.find('&')).size(), 41u);
    }
    {
        Peer peer(200, "ok\r\nABCD\r\n010\r\n");
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo({0, 0, 0, 0}, serial, build, peer.url()));
        EXPECT_EQ(serial, 0xABCDu);
        EXPECT_EQ(build, 8u); // leading 0: octal
    }
    {
        Peer peer(200, "ok\n12\n");
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo({0, 0, 0, 0}, serial, build, peer.url()));
        EXPECT_EQ(serial, 0x12u);
        EXPECT_EQ(build, 8u);
    }
    // A line that is not a number, or too big, rejects the whole reply.
    for (const char* body : {"ok\nzz\n5\n", "ok\n1\nnone\n", "ok\n123456789\n1\n", "ok\n-1\n1\n"}) {
        Peer peer(200, body);
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo({0, 0, 0, 0}, serial, build, peer.url())) << body;
        EXPECT_EQ(serial, 0x12u);
        EXPECT_EQ(build, 8u);
    }
}

TEST(GetDeviceJWT, WellFormedTokensOnly)
{
    std::string token = "unchanged";
    {
        Peer peer(200, "ok\naa.bbb.cc\r\n");
        ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, peer.url()));
        EXPECT_EQ(token, "aa.bbb.cc");
        EXPECT_EQ(peer.target(), "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&");
    }
    for (const char* body : {"ok\naa.bb\n", "ok\na.bb.cc\n", "ok\naa..cc\n", "ok\naa.bb.c\n", "ok\n", "ok\nab\n"}) {
        std::string kept = "kept";
        Peer peer(200, body);
        EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, kept, peer.url())) << body;
        EXPECT_EQ(kept, "kept");
    }
}

namespace {

long MaxResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

// A reply of millions of short lines once cost many times its size in line
// records, even for ping. Text replies are bounded, and the lines are read
// where they lie.
TEST(HostileReplies, AFloodOfShortLinesCostsNoMoreThanTheBound)
{
    std::string flood = "ok\n";
    while (flood.size() < 20u * 1024 * 1024)
        flood += "a\n";
    LoopbackServer server(LoopbackServer::Replying(200, flood));
    const long before = MaxResidentKiB();
    EXPECT_FALSE(UpdateServerRequest::ping(server.url().c_str()));
    std::map<std::string, std::string> builds;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, server.url().c_str()));
    EXPECT_LT(MaxResidentKiB() - before, 48 * 1024);

    // Within the bound, a long reply is read without a record per line.
    std::string many = "ok\n";
    while (many.size() < UpdateServerRequest::kMaxTextReplyBytes - 16)
        many += "x\n";
    LoopbackServer fits(LoopbackServer::Replying(200, many));
    EXPECT_TRUE(UpdateServerRequest::ping(fits.url().c_str()));
}

// Texts from the server's own replies go back to it as query values: blanks,
// "&", "#", "+" and "=" are escaped so that each reaches it as one value.
TEST(GetBuild, ServerTextsAreEscapedInTheQuery)
{
    std::string content;
    Peer peer(200, "ok\nQUJD\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.12.0 beta&x=#+/", "1017", content, peer.url()));
    EXPECT_EQ(content, "QUJD");
    EXPECT_EQ(peer.target(), "/cgi/u?bld=1017&fw=2.12.0%20beta%26x%3D%23%2B%2F&no_cal=false&op=bird&sn=40F5849A&");
    EXPECT_EQ(UpdateServerRequest::EscapeQueryValue("A-z_0.9~"), "A-z_0.9~");
    EXPECT_EQ(UpdateServerRequest::EscapeQueryValue(std::string("\xC3\xA9\n", 3)), "%C3%A9%0A");
}
