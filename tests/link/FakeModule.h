// An in-memory module at the far end of a generic link: it parses what the
// host writes, answers sync requests with its address, and sends whatever the
// test hands it. Thread-safe: the link's two threads use it at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "aLink.h"

struct FakePacket {
    uint8_t address;
    std::vector<uint8_t> data;
};

class FakeModule {
public:
    explicit FakeModule(uint8_t address) : address_(address) {}

    // A stream over this module; the link that takes it calls its delete.
    aStream* makeStream();

    // Bytes the host will read next.
    void send(const std::vector<uint8_t>& bytes);
    void sendPacket(uint8_t address, const std::vector<uint8_t>& data);
    // Not answering sync requests.
    void setMute(bool mute);
    // Reads fail with this code while it is not aErrNone.
    void setReadError(aErr error);
    // Writes wait while the gate is closed.
    void setWriteGate(bool open);

    std::vector<FakePacket> received();
    std::vector<size_t> writeSizes();
    size_t count(uint8_t address);
    bool deleted();
    size_t getCalls();

    // Polls pred() (which may call the accessors) for up to timeoutMs.
    bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 2000);

private:
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(uint8_t byte, void* reference);
    static aErr sWrite(const uint8_t* bytes, size_t length, void* reference);
    static aErr sDelete(void* reference);
    void parseLocked();

    const uint8_t address_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<uint8_t> toHost_;
    std::vector<uint8_t> fromHost_;
    std::vector<FakePacket> received_;
    std::vector<size_t> writes_;
    bool mute_ = false;
    bool gateOpen_ = true;
    bool deleted_ = false;
    size_t getCalls_ = 0;
    aErr readError_ = aErrNone;
};

// Packet helpers for the tests.
aPacket* makePacket(uint8_t address, const std::vector<uint8_t>& data);
FakePacket unpack(const aPacket* packet);
