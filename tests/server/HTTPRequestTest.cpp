#include "HTTPRequest.h"
#include "LoopbackServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

// A loopback port with nothing listening on it.
uint16_t closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

TEST(BuildURL, SortsKeysKeepsTrailingAmpersandAndSkipsQuestionMarkWhenEmpty)
{
    EXPECT_EQ(HTTPRequest::BuildURL("U", {{"b", "2"}, {"a", "1"}}), "U?a=1&b=2&");
    EXPECT_EQ(HTTPRequest::BuildURL("U", {}), "U");
    // Ascending byte order, values inserted as they are.
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"sn", "0000ABCD"}, {"op", "qu"}, {"Z", "x%20y"}}),
        "http://h/cgi/u?Z=x%20y&op=qu&sn=0000ABCD&");
}

TEST(HTTPGet, BinaryBodyWithNulBytesArrivesWhole)
{
    std::string body("\0ok\0\xff\x00tail", 9);
    body += std::string(200000, '\0'); // several write-callback pieces
    body += "end";
    LoopbackServer server(LoopbackServer::Replying(200, body));
    HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "bird"}, {"a", "1"}});
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(response.get_response().size(), body.size());
    EXPECT_EQ(response.get_response(), body);
    EXPECT_EQ(response.get_request(), server.url() + "?a=1&op=bird&");
    ASSERT_EQ(server.targets().size(), 1u);
    EXPECT_EQ(server.targets()[0], "/cgi/u?a=1&op=bird&");
}

// A 200 body goes to the sink piece by piece and is not kept; any other
// status keeps its body; a sink that stops the transfer makes it throw.
TEST(HTTPGet, StreamedBodiesReachTheSinkWhole)
{
    std::string body("ok\n\0\xff", 5);
    body += std::string(300000, 'x');
    std::string got;
    size_t pieces = 0;
    const HTTPRequest::BodySink collect = [&](const char* data, size_t length) {
        got.append(data, length);
        ++pieces;
        return true;
    };
    {
        LoopbackServer server(LoopbackServer::Replying(200, body));
        HTTPResponse response = HTTPRequest::GET(server.url(), {}, collect);
        EXPECT_EQ(response.get_status(), 200);
        EXPECT_EQ(got, body);
        EXPECT_GT(pieces, 1u);
        EXPECT_TRUE(response.get_response().empty());
    }
    got.clear();
    {
        LoopbackServer server(LoopbackServer::Replying(404, "not here"));
        HTTPResponse response = HTTPRequest::GET(server.url(), {}, collect);
        EXPECT_EQ(response.get_status(), 404);
        EXPECT_EQ(response.get_response(), "not here");
        EXPECT_TRUE(got.empty());
    }
    LoopbackServer server(LoopbackServer::Replying(200, body));
    EXPECT_THROW(HTTPRequest::GET(server.url(), {}, [](const char*, size_t) { return false; }), std::runtime_error);
}

TEST(HTTPGet, ErrorStatusIsReturnedNotThrown)
{
    for (int status : {404, 500, 204}) {
        std::string body = status == 204 ? "" : "ok but not found";
        LoopbackServer server(LoopbackServer::Replying(status, body));
        HTTPResponse response = HTTPRequest::GET(server.url(), {});
        EXPECT_EQ(response.get_status(), status);
        EXPECT_EQ(response.get_response(), body);
    }
}

TEST(HTTPGet, TransportFailuresThrow)
{
    std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/cgi/u";
    EXPECT_THROW(HTTPRequest::GET(refused, {{"op", "hi"}}), std::runtime_error);
    // Not an HTTP reply at all.
    LoopbackServer garbage([](LoopbackServer&, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, "\x01\x02 nonsense\r\n\r\n");
    });
    EXPECT_THROW(HTTPRequest::GET(garbage.url(), {}), std::runtime_error);
    EXPECT_THROW(HTTPRequest::GET("nosuchscheme://127.0.0.1/", {}), std::runtime_error);
}

TEST(HTTPGet, StalledPeerIsAbandoned)
{
    HTTPRequest::SetStallSeconds(1);
    // One peer never answers; the other sends headers and a first piece of
    // the body, then nothing more.
    LoopbackServer silent([](LoopbackServer& self, int fd, const std::string&) { self.HoldUntilClosed(fd); });
    LoopbackServer trickle([](LoopbackServer& self, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nok\n");
        self.HoldUntilClosed(fd);
    });
    for (LoopbackServer* server : {&silent, &trickle}) {
        auto start = std::chrono::steady_clock::now();
        try {
            HTTPRequest::GET(server->url(), {});
            ADD_FAILURE() << "a stalled transfer returned";
        } catch (const std::runtime_error& e) {
            EXPECT_STRNE(e.what(), "");
        }
        auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, 0.9);
        EXPECT_LT(seconds, 8.0);
    }
    HTTPRequest::SetStallSeconds(0);
}

TEST(StallSeconds, SetterThenEnvironmentThenDefault)
{
    unsetenv(HTTPRequest::kStallSecondsEnv);
    EXPECT_EQ(HTTPRequest::StallSeconds(), HTTPRequest::kStallSeconds);
    EXPECT_EQ(HTTPRequest::kStallSeconds, 60);
    EXPECT_EQ(HTTPRequest::kConnectTimeoutSeconds, 10);
    setenv(HTTPRequest::kStallSecondsEnv, "3", 1);
    EXPECT_EQ(HTTPRequest::StallSeconds(), 3);
    for (const char* bad : {"0", "-4", "3s", ""}) {
        setenv(HTTPRequest::kStallSecondsEnv, bad, 1);
        EXPECT_EQ(HTTPRequest::StallSeconds(), 60) << bad;
    }
    HTTPRequest::SetStallSeconds(5);
    EXPECT_EQ(HTTPRequest::StallSeconds(), 5);
    HTTPRequest::SetStallSeconds(0);
    unsetenv(HTTPRequest::kStallSecondsEnv);
    EXPECT_EQ(HTTPRequest::StallSeconds(), 60);
}

// A server must not be able to make the tool keep whatever it sends: an
// announced length past the bound is refused before the body comes, and a
// body without one is cut off at the bound.
TEST(HTTPGet, BodyPastTheBoundIsRefused)
{
    constexpr size_t kBound = 64 * 1024;
    LoopbackServer announced([](LoopbackServer& self, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\nok\n");
        self.HoldUntilClosed(fd);
    });
    LoopbackServer endless([](LoopbackServer& self, int fd, const std::string&) {
        LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        const std::string lines(4096, '\n');
        for (int i = 0; i < 256 && !self.stopping(); ++i)
            LoopbackServer::SendAll(fd, lines);
    });
    for (LoopbackServer* server : {&announced, &endless}) {
        auto start = std::chrono::steady_clock::now();
        try {
            HTTPRequest::GET(server->url(), {}, kBound);
            ADD_FAILURE() << "an oversized reply was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("larger than 65536 bytes"), std::string::npos) << e.what();
        }
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    }
    // A body of exactly the bound is fine.
    LoopbackServer exact(LoopbackServer::Replying(200, std::string(kBound, 'x')));
    EXPECT_EQ(HTTPRequest::GET(exact.url(), {}, kBound).get_response().size(), kBound);
}
