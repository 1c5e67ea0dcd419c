#include "ServedModule.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ModuleSession.h"
#include "TcpServer.h"

namespace srvbench {

namespace {

[[noreturn]] void runChild(int reportFd, int controlFd, std::uint32_t rate, std::uint32_t heartbeatMs,
                           std::uint32_t serial, bool servedHere)
{
    std::signal(SIGPIPE, SIG_IGN);
    modsim::ModuleConfig config;
    config.serial = serial;
    config.address = kAddress;
    config.streamRateHz = rate;
    config.heartbeatMs = heartbeatMs;
    modsim::ModuleSession session(config, modsim::Framing::Raw);
    modsim::TcpServer tcp(session);
    Served served;
    std::uint16_t port = tcp.start(0) ? tcp.port() : 0;
    if (port != 0 && servedHere)
        port = serve(port, served) ? served.port : 0;
    const std::string report = std::to_string(port) + "\n";
    if (::write(reportFd, report.data(), report.size()) < 0)
        _exit(1);
    ::close(reportFd);
    char byte;
    while (::read(controlFd, &byte, 1) > 0) {
    }
    aLink_Destroy(&served.client);
    tcp.stop();
    _exit(0);
}

}  // namespace

ChildModule::ChildModule(std::uint32_t streamRateHz, std::uint32_t heartbeatMs, std::uint32_t serial, bool served)
{
    int report[2], control[2];
    if (::pipe(report) != 0 || ::pipe(control) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(report[0]);
        ::close(control[1]);
        runChild(report[1], control[0], streamRateHz, heartbeatMs, serial, served);
    }
    ::close(report[1]);
    ::close(control[0]);
    control_ = control[1];
    char line[32] = {};
    if (::read(report[0], line, sizeof line - 1) > 0)
        port_ = std::uint16_t(std::atoi(line));
    ::close(report[0]);
}

ChildModule::~ChildModule()
{
    if (control_ >= 0)
        ::close(control_);
    if (pid_ > 0)
        ::waitpid(pid_, nullptr, 0);
}

void ChildModule::resetPeak() const
{
    std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5\n";
}

double ChildModule::memoryMb(const char* field) const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(std::string(field) + ":", 0) == 0)
            return std::stod(line.substr(std::strlen(field) + 1)) / 1024.0;
    return 0;
}

bool serve(std::uint16_t modulePort, Served& served)
{
    served.local = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), modulePort);
    if (served.local == 0)
        return false;
    std::uint32_t networkInterface = htonl(INADDR_LOOPBACK);
    served.client = aLink_CreateServer(served.local, &served.port, &networkInterface, true);
    return served.client != 0;
}

std::uint64_t nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}

bool roundTrip(int32_t link, std::uint8_t sequence, unsigned long timeoutMs)
{
    const std::uint8_t data[] = {23, sequence, 0x5A};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    if (request == nullptr || aLink_PutPacket(link, request) != aErrNone) {
        aPacket_Destroy(&request);
        return false;
    }
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(link, timeoutMs);
    const bool ok = reply != nullptr && aPacket_GetData(reply)[1] == sequence;
    aPacket_Destroy(&reply);
    return ok;
}

bool option(int argc, char** argv, const char* name, std::string& value)
{
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            value = argv[i] + length + 1;
            return true;
        }
    return false;
}

bool wantsHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

}  // namespace srvbench
