// The built program against a server that misbehaves on purpose: garbage
// instead of HTTP, a reply that stalls or closes half way, a reply of a
// gigabyte, a flood of short lines, a latest build that is no number, and
// texts that need escaping on their way back. Every run ends with a clear
// error and exit status 1 (or succeeds, where the server was only awkward),
// in bounded time and memory, and leaves the store as it was.
#include <chrono>
#include <functional>

#include "Harness.h"
#include "LoopbackServer.h"

namespace faults {
namespace {

std::string Base64(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= uint8_t(bytes[i + 2]);
        text += alphabet[group >> 18 & 63];
        text += alphabet[group >> 12 & 63];
        text += i + 1 < bytes.size() ? alphabet[group >> 6 & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    return text;
}

std::string Param(const std::string& target, const std::string& key)
{
    const size_t at = target.find(key + "=");
    if (at == std::string::npos)
        return "";
    const size_t begin = at + key.size() + 1;
    return target.substr(begin, target.find('&', begin) - begin);
}

// Streams filler bytes until the client hangs up or count bytes are out.
void Stream(LoopbackServer& self, int fd, size_t count)
{
    const std::string block(64 * 1024, 'A');
    for (size_t sent = 0; sent < count && !self.stopping(); sent += block.size())
        if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
            return;
}

// A server that answers like the update server, from the campaign's
// images, except where the test's fault takes over an operation.
class HostileServer : public Campaign {
protected:
    using Fault = std::function<bool(LoopbackServer&, int fd, const std::string& op, const std::string& target)>;

    void SetUp() override
    {
        Campaign::SetUp();
        peer_ = std::make_unique<LoopbackServer>(
            [this](LoopbackServer& self, int fd, const std::string& target) { Answer(self, fd, target); });
        url_ = peer_->url();
    }

    void Answer(LoopbackServer& self, int fd, const std::string& target)
    {
        const std::string op = Param(target, "op");
        if (fault_ && fault_(self, fd, op, target))
            return;
        std::string body = "ok\n";
        if (op == "qu")
            body += latest_ + "\n" + version_ + "\n";
        else if (op == "builds")
            body += "1000;2.11.3\n1017;" + version_ + "\n";
        else if (op == "bird")
            body += Base64(images_[Param(target, "bld") + ".bird"]) + "\n";
        LoopbackServer::SendAll(fd, LoopbackServer::Reply(200, body));
    }

    // Updater under an address-space limit of 380 MiB, as a small machine
    // would run it. Sanitizer builds reserve far more than that up front and
    // run without it.
    ProcessResult RunLimited(const std::vector<std::string>& args)
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return Run(args);
#else
        std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -v 389120 && exec \"$0\" \"$@\""};
        const auto command = Command(args);
        argv.insert(argv.end(), command.begin(), command.end());
        return RunProcess(argv, Options());
#endif
    }

    // The store after a first good download, for the fault runs to keep.
    std::map<std::string, std::string> Prepared()
    {
        ProcessResult first = Run({"-G", "-d", kSerial, "-b", "1000"});
        EXPECT_EQ(first.exitCode, 0) << first.err;
        return Snapshot(store_);
    }

    static double Seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    std::unique_ptr<LoopbackServer> peer_;
    Fault fault_;
    std::string latest_ = "1017";
    std::string version_ = "2.12.0";
};

TEST_F(HostileServer, BrokenImageRepliesFailTheDownloadAndKeepTheStore)
{
    const auto before = Prepared();
    struct Case {
        const char* name;
        Fault fault;
        const char* error;
    };
    const Case cases[] = {
        {"garbage image line",
         [](LoopbackServer&, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, LoopbackServer::Reply(200, std::string("ok\n\x01\xff\0junk\n\x80\r\n", 13)));
             return true;
         },
         "Failed to retrieve a valid BIRD file"},
        {"not HTTP at all",
         [](LoopbackServer&, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, "\x16\x03\x01 this is not HTTP\r\n\r\n");
             return true;
         },
         "Download failed"},
        {"closes half way",
         [](LoopbackServer&, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nok\nQUJD");
             return true;
         },
         "Download failed"},
        {"stalls half way",
         [](LoopbackServer& self, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nok\nQUJD");
             self.HoldUntilClosed(fd);
             return true;
         },
         "Download failed"},
        {"a gigabyte announced",
         [](LoopbackServer& self, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\nok\n");
             Stream(self, fd, 1u << 30);
             return true;
         },
         "Download failed"},
        {"a gigabyte without a length",
         [](LoopbackServer& self, int fd, const std::string& op, const std::string&) {
             if (op != "bird")
                 return false;
             LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nok\n");
             Stream(self, fd, 1u << 30);
             return true;
         },
         "Download failed"},
    };
    for (const Case& c : cases) {
        fault_ = c.fault;
        const auto start = std::chrono::steady_clock::now();
        ProcessResult r = RunLimited({"-G", "-d", kSerial});
        EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.name << ": " << r.err;
        EXPECT_LT(Seconds(start), 15.0) << c.name;
        EXPECT_EQ(Snapshot(store_), before) << c.name;
    }
}

TEST_F(HostileServer, UnreachableKindsOfServerFailEveryCommandQuickly)
{
    const Fault kinds[] = {
        // Garbage instead of HTTP.
        [](LoopbackServer&, int fd, const std::string&, const std::string&) {
            LoopbackServer::SendAll(fd, std::string("\0\1\2garbage\n\n", 12));
            return true;
        },
        // Accepts and never answers.
        [](LoopbackServer& self, int fd, const std::string&, const std::string&) {
            self.HoldUntilClosed(fd);
            return true;
        },
        // Twenty megabytes of short lines.
        [](LoopbackServer&, int fd, const std::string&, const std::string&) {
            std::string flood = "ok\n";
            flood.reserve(20u << 20);
            while (flood.size() < (20u << 20))
                flood += "a\n";
            LoopbackServer::SendAll(fd, LoopbackServer::Reply(200, flood));
            return true;
        },
    };
    for (const Fault& kind : kinds) {
        fault_ = kind;
        for (const char* command : {"-G", "-B", "-J"}) {
            const auto start = std::chrono::steady_clock::now();
            ProcessResult r = RunLimited({command, "-d", kSerial});
            EXPECT_NE(r.err.find("Server request failed for " + url_ + "\n"), std::string::npos) << command << r.err;
            if (std::string(command) == "-G") {
                EXPECT_EQ(r.exitCode, 1) << r.err;
            }
            EXPECT_NE(r.exitCode, 134) << r.err;
            EXPECT_LT(Seconds(start), 10.0) << command;
        }
    }
    EXPECT_FALSE(testsupport::PathExists(deviceStore()));
}

// A latest build that is no number (or a list key that is none) once led to
// a request for build 0, a stored 0.bird and exit 1 without a word.
TEST_F(HostileServer, LatestBuildThatIsNoNumberIsRefusedBeforeAnyImage)
{
    const auto before = Prepared();
    for (const char* latest : {"abc", "0"}) {
        latest_ = latest;
        fault_ = [](LoopbackServer&, int fd, const std::string& op, const std::string&) {
            if (op != "builds")
                return false;
            LoopbackServer::SendAll(fd, LoopbackServer::Reply(200, "ok\nabc;2.0.0\n1000;2.11.3\n"));
            return true;
        };
        const size_t asked = peer_->targets().size();
        ProcessResult r = Run({"-G", "-d", kSerial});
        EXPECT_EQ(r.exitCode, 1) << latest;
        EXPECT_NE(r.err.find("No valid build number from the server for 40F5849A ('" + std::string(latest) + "')"),
                  std::string::npos)
            << r.err;
        const auto targets = peer_->targets();
        for (size_t i = asked; i < targets.size(); ++i)
            EXPECT_EQ(targets[i].find("op=bird"), std::string::npos) << targets[i];
        EXPECT_EQ(Snapshot(store_), before) << latest;
    }
}

// The version text of the latest build goes back to the server in the image
// request: blanks and "&", "#", "+" arrive escaped, and the download works.
TEST_F(HostileServer, VersionTextIsEscapedOnItsWayBack)
{
    version_ = "2.12.0 beta&x=#+";
    ProcessResult r = Run({"-G", "-d", kSerial});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(deviceStore() + "/1017.bird"), images_.at("1017.bird"));
    bool seen = false;
    for (const auto& target : peer_->targets())
        seen = seen || target.find("&fw=2.12.0%20beta%26x%3D%23%2B&") != std::string::npos;
    EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace faults
