// The process-wide diagnostic log, filtered by a package bit mask. Safe to
// use from several threads: each call writes its text with one locked write,
// so lines of modules updated side by side never mix inside a call.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

class Log {
public:
    // Writes the formatted text (at most 2047 characters, no prefix, no newline
    // added) when package is 0 or shares a bit with the active mask.
    static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* fh);
    static void ActivatePackage(uint32_t bits);
    static void DeactivatePackage(uint32_t bits);
    static uint32_t ActivePackages();
    static bool IsActive(uint32_t package);

private:
    static std::atomic<uint32_t> package_bitmask;
    static std::atomic<FILE*> fh;
};

// Package bits the log lines carry.
enum : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};
