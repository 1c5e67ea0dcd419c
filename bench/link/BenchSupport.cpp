#include "BenchSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ModuleSession.h"
#include "PtyServer.h"
#include "TcpServer.h"

namespace linkbench {

namespace {

// The child: serves until the parent closes its end of the control pipe.
[[noreturn]] void runChild(int reportFd, int controlFd, std::uint32_t heartbeatMs)
{
    std::signal(SIGPIPE, SIG_IGN);
    modsim::ModuleConfig config;
    config.serial = kSerial;
    config.address = kAddress;
    config.heartbeatMs = heartbeatMs;
    modsim::ModuleSession tcpSession(config, modsim::Framing::Raw);
    modsim::ModuleSession twinSession(config, modsim::Framing::Raw);
    modsim::ModuleSession ptySession(config, modsim::Framing::Cobs);
    modsim::TcpServer tcp(tcpSession);
    modsim::TcpServer twin(twinSession);
    modsim::PtyServer pty(ptySession);
    std::string report;
    if (tcp.start(0) && twin.start(0) && pty.start())
        report = std::to_string(tcp.port()) + " " + std::to_string(twin.port()) + " " +
                 pty.slavePath() + "\n";
    else
        report = "0 0 -\n";
    if (::write(reportFd, report.data(), report.size()) < 0)
        _exit(1);
    ::close(reportFd);
    char byte;
    while (::read(controlFd, &byte, 1) > 0) {
    }
    tcp.stop();
    twin.stop();
    pty.stop();
    _exit(0);
}

}  // namespace

ChildModule::ChildModule(std::uint32_t heartbeatMs)
{
    int report[2], control[2];
    if (::pipe(report) != 0 || ::pipe(control) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(report[0]);
        ::close(control[1]);
        runChild(report[1], control[0], heartbeatMs);
    }
    ::close(report[1]);
    ::close(control[0]);
    control_ = control[1];
    char line[512] = {};
    size_t used = 0;
    while (used < sizeof line - 1) {
        ssize_t n = ::read(report[0], line + used, sizeof line - 1 - used);
        if (n <= 0)
            break;
        used += size_t(n);
        if (std::memchr(line, '\n', used) != nullptr)
            break;
    }
    ::close(report[0]);
    unsigned port = 0, twinPort = 0;
    char path[256] = {};
    if (std::sscanf(line, "%u %u %255s", &port, &twinPort, path) == 3) {
        port_ = std::uint16_t(port);
        twinPort_ = std::uint16_t(twinPort);
        ptyPath_ = path;
    }
}

ChildModule::~ChildModule()
{
    if (control_ >= 0)
        ::close(control_);
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

int32_t ChildModule::connect(bool serial) const
{
    if (serial)
        return aLink_CreateSerial(kSerial, ptyPath_.c_str(), 115200);
    return aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), port_);
}

std::uint64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
}

std::uint64_t cpuNs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& tv) {
        return std::uint64_t(tv.tv_sec) * 1000000000ull + std::uint64_t(tv.tv_usec) * 1000ull;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

aPacket* makePacket(std::uint8_t command, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> data{command};
    data.insert(data.end(), payload.begin(), payload.end());
    return aPacket_CreateWithData(kAddress, std::uint8_t(data.size()), data.data());
}

bool roundTrip(int32_t link, std::uint8_t sequence, unsigned long timeoutMs)
{
    aPacket* request = makePacket(kCmdDebug, {sequence});
    aErr err = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    if (err != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitPacket(link, timeoutMs);
    bool ok = reply != nullptr && aPacket_GetData(reply)[1] == sequence;
    aPacket_Destroy(&reply);
    return ok;
}

int connectRaw(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::uint8_t* bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t* bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = ::recv(fd, bytes, length, 0);
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool helpWanted(int argc, char** argv, const char* usage)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return true;
        }
    }
    return false;
}

bool option(int argc, char** argv, const char* name, std::string& value)
{
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            value = argv[i] + length + 1;
            return true;
        }
    }
    return false;
}

bool flag(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

}  // namespace linkbench
