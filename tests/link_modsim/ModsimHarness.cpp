#include "ModsimHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace linkmodsim {

TcpModule::TcpModule(modsim::ModuleConfig config)
    : session(std::move(config), modsim::Framing::Raw), server(session)
{
    std::string error;
    if (!server.start(0, &error))
        ADD_FAILURE() << "simulator did not start: " << error;
}

int32_t TcpModule::connect(std::uint32_t serial)
{
    return aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), server.port());
}

PtyModule::PtyModule(modsim::ModuleConfig config)
    : session(std::move(config), modsim::Framing::Cobs), server(session)
{
    std::string error;
    if (!server.start(&error))
        ADD_FAILURE() << "simulator did not start: " << error;
}

int32_t PtyModule::connect(std::uint32_t serial)
{
    return aLink_CreateSerial(serial, server.slavePath().c_str(), 115200);
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

namespace {

struct EchoMatch {
    std::vector<std::uint8_t> data;
};

bool isEcho(const aPacket* packet, void* reference)
{
    const auto* want = static_cast<const EchoMatch*>(reference);
    std::uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const std::uint8_t* data = aPacket_GetData(packet);
    return address == kAddress && length == want->data.size() &&
           std::equal(want->data.begin(), want->data.end(), data);
}

}  // namespace

aErr putEcho(int32_t link, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> data{kCmdDebug};
    data.insert(data.end(), payload.begin(), payload.end());
    aPacket* request = aPacket_CreateWithData(kAddress, std::uint8_t(data.size()), data.data());
    if (request == nullptr)
        return aErrParam;
    aErr err = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    return err;
}

bool echo(int32_t link, const std::vector<std::uint8_t>& payload, int timeoutMs)
{
    if (putEcho(link, payload) != aErrNone)
        return false;
    EchoMatch want;
    want.data.push_back(kCmdDebug);
    want.data.insert(want.data.end(), payload.begin(), payload.end());
    aPacket* reply = aLink_AwaitFirst(link, isEcho, &want, (unsigned long)timeoutMs);
    const bool ok = reply != nullptr;
    aPacket_Destroy(&reply);
    return ok;
}

std::vector<std::vector<std::uint8_t>> collect(int32_t link, int ms)
{
    std::vector<std::vector<std::uint8_t>> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        aPacket* packet = aLink_AwaitPacket(link, 10);
        if (packet == nullptr)
            continue;
        std::uint8_t length = 0;
        aPacket_GetLength(packet, &length);
        const std::uint8_t* data = aPacket_GetData(packet);
        out.emplace_back(data, data + length);
        aPacket_Destroy(&packet);
    }
    return out;
}

StatusWatch::StatusWatch(int32_t link)
{
    thread_ = std::thread([this, link] {
        while (!stop_) {
            const int status = aLink_GetStatus(link);
            if (status >= 0 && status < 32)
                mask_ |= 1u << status;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
}

StatusWatch::~StatusWatch()
{
    stop_ = true;
    thread_.join();
}

std::set<int> StatusWatch::seen()
{
    std::set<int> out;
    for (int s = 0; s < 32; ++s)
        if (mask_ & (1u << s))
            out.insert(s);
    return out;
}

bool StatusWatch::sawAnyOf(std::initializer_list<int> statuses)
{
    for (int s : statuses)
        if (mask_ & (1u << s))
            return true;
    return false;
}

int openDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

}  // namespace linkmodsim
