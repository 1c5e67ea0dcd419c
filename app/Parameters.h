// Everything the command line asked for: the commands and the value of every
// parameter, as one record that lives for the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"

class UpdaterDisplayInterface;

// Where the update server is reached unless -u names another.
constexpr const char* DEFAULT_SERVER_HOST = "updates.tessaluma.example";
constexpr const char* DEFAULT_SERVER_PORT = "80";
constexpr const char* DEFAULT_SERVER_URL = "http://updates.tessaluma.example/cgi/u";

// Transport codes of -t.
enum : int32_t {
    TRANSPORT_INVALID = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerial = 0;
    int32_t transport = TRANSPORT_USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string logMessage;
    std::string buildText;  // decimal build number; empty means the latest
    bool echoBytes = false;
    std::string serverUrl = DEFAULT_SERVER_URL;
    bool noFlag = false;
    std::string storeDir;
    std::string appName;
    std::string homeDir;
    std::string logMode = "a+";
    std::string logFile = "Updater.log";
    bool override = false;
    bool useUeiBytes = true;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool helpGiven = false;
    // Several modules in one run: -d with a comma-separated list fills
    // serials (serialNumber is then 0 unless the list names one module);
    // -d ALL stands for every module discovery finds, of modelFilter when given.
    std::vector<uint32_t> serials;
    bool allDevices = false;
    std::string modelFilter;
    unsigned jobs = 8;  // modules updated at once
    bool json = false;  // one JSON document on standard output, the rest on standard error
};

// True when -d named more than one module, or ALL.
inline bool _several_devices(const Parameters& params)
{
    return params.allDevices || params.serials.size() > 1;
}

// Fills params from the command line, starting from the start values.
// Reports every value error through display at error level and returns false
// when any of them fails the parse; option syntax faults are skipped silently.
// The first help option ends the parse with success.
bool _get_params(int argc, char** argv, Parameters& params, UpdaterDisplayInterface& display);
