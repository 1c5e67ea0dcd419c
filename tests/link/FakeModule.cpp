#include "FakeModule.h"

#include <thread>

aStream* FakeModule::makeStream()
{
    return aStream_Create(sGet, sPut, sWrite, sDelete, this);
}

void FakeModule::send(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
}

void FakeModule::sendPacket(uint8_t address, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> wire;
    wire.reserve(2 + data.size());
    wire.push_back(address);
    wire.push_back(static_cast<uint8_t>(data.size()));
    for (uint8_t b : data)
        wire.push_back(b);
    send(wire);
}

void FakeModule::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mute_ = mute;
}

void FakeModule::setReadError(aErr error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    readError_ = error;
}

void FakeModule::setWriteGate(bool open)
{
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = open;
    changed_.notify_all();
}

std::vector<FakePacket> FakeModule::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<size_t> FakeModule::writeSizes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

size_t FakeModule::count(uint8_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& p : received_)
        n += p.address == address;
    return n;
}

size_t FakeModule::getCalls()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return getCalls_;
}

bool FakeModule::deleted()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
}

bool FakeModule::waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Splits the host's bytes into packets; the host always writes whole packets.
void FakeModule::parseLocked()
{
    while (fromHost_.size() >= 2 && fromHost_.size() >= 2u + fromHost_[1]) {
        FakePacket p{fromHost_[0], {fromHost_.begin() + 2, fromHost_.begin() + 2 + fromHost_[1]}};
        fromHost_.erase(fromHost_.begin(), fromHost_.begin() + 2 + fromHost_[1]);
        if (p.address == aPACKET_ADDRESS_SYNC && !mute_) {
            toHost_.push_back(address_);
            toHost_.push_back(0);
        }
        received_.push_back(std::move(p));
    }
    changed_.notify_all();
}

aErr FakeModule::sGet(uint8_t* byte, void* reference)
{
    auto* self = static_cast<FakeModule*>(reference);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->getCalls_++;
    if (self->readError_ != aErrNone)
        return self->readError_;
    if (self->toHost_.empty())
        return aErrNotReady;
    *byte = self->toHost_.front();
    self->toHost_.pop_front();
    return aErrNone;
}

aErr FakeModule::sPut(uint8_t byte, void* reference)
{
    return sWrite(&byte, 1, reference);
}

aErr FakeModule::sWrite(const uint8_t* bytes, size_t length, void* reference)
{
    auto* self = static_cast<FakeModule*>(reference);
    std::unique_lock<std::mutex> lock(self->mutex_);
    self->changed_.wait(lock, [self] { return self->gateOpen_; });
    self->writes_.push_back(length);
    self->fromHost_.insert(self->fromHost_.end(), bytes, bytes + length);
    self->parseLocked();
    return aErrNone;
}

aErr FakeModule::sDelete(void* reference)
{
    auto* self = static_cast<FakeModule*>(reference);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->deleted_ = true;
    return aErrNone;
}

aPacket* makePacket(uint8_t address, const std::vector<uint8_t>& data)
{
    static const uint8_t none = 0;
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                  data.empty() ? &none : data.data());
}

FakePacket unpack(const aPacket* packet)
{
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    return {address, std::vector<uint8_t>(data, data + length)};
}
