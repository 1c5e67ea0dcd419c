#include "Parameters.h"

#include <cstring>

#include "Log.h"
#include "SimpleOpt.h"
#include "UpdaterDisplayInterface.h"
#include "aDirectory.h"

namespace {

// More modules at once than this would only queue on the two cores and the links.
constexpr unsigned kMaxJobs = 64;

enum OptionClass { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };

// Option ids are the option's class times 100 plus its own number, so the
// class can be read back without a second table.
enum OptionId {
    ID_HELP_H = OPT_HELP * 100,
    ID_HELP_UPPER_H,
    ID_HELP_LONG,
    ID_LIST_BUILDS = OPT_COMMAND * 100,
    ID_LIST_LOCAL_BUILDS,
    ID_DISCOVER,
    ID_GET_BUILD,
    ID_DEVICE_INFO,
    ID_UPDATE,
    ID_OVERRIDE,
    ID_FINGERPRINT,
    ID_UNHANDLED_Y,
    ID_CHECK_BIRD,
    ID_GET_JWT,
    ID_NO_FLAG = OPT_PARAMETER * 100,
    ID_LOG_MASK,
    ID_RESERVED_Z,
    ID_UEI_BYTES,
    ID_STORE_DIR,
    ID_BUILD,
    ID_DEVICE,
    ID_TRANSPORT,
    ID_BIRD_FILE,
    ID_ROUTER,
    ID_SERIAL_PORT,
    ID_BAUD_RATE,
    ID_ECHO,
    ID_LOG_MESSAGE,
    ID_LOG_FILE,
    ID_SERVER_URL,
    ID_JSON,
    ID_JOBS,
    ID_MODEL,
};

const CSimpleOpt::SOption kOptions[] = {
    {ID_LIST_BUILDS, "-B", SO_NONE},
    {ID_LIST_LOCAL_BUILDS, "-L", SO_NONE},
    {ID_DISCOVER, "-D", SO_NONE},
    {ID_GET_BUILD, "-G", SO_NONE},
    {ID_DEVICE_INFO, "-I", SO_NONE},
    {ID_UPDATE, "-U", SO_NONE},
    {ID_OVERRIDE, "-OVERRIDE", SO_NONE},
    {ID_FINGERPRINT, "-N", SO_NONE},
    {ID_UNHANDLED_Y, "-Y", SO_NONE},
    {ID_CHECK_BIRD, "-C", SO_NONE},
    {ID_GET_JWT, "-J", SO_NONE},
    {ID_HELP_H, "-h", SO_NONE},
    {ID_HELP_UPPER_H, "-H", SO_NONE},
    {ID_NO_FLAG, "-n", SO_NONE},
    {ID_LOG_MASK, "-X", SO_REQ_SEP},
    {ID_RESERVED_Z, "-Z", SO_REQ_SEP},
    {ID_UEI_BYTES, "-m", SO_REQ_SEP},
    {ID_STORE_DIR, "-i", SO_REQ_SEP},
    {ID_BUILD, "-b", SO_REQ_SEP},
    {ID_DEVICE, "-d", SO_REQ_SEP},
    {ID_TRANSPORT, "-t", SO_REQ_SEP},
    {ID_BIRD_FILE, "-f", SO_REQ_SEP},
    {ID_ROUTER, "-r", SO_REQ_SEP},
    {ID_SERIAL_PORT, "-s", SO_REQ_SEP},
    {ID_BAUD_RATE, "-o", SO_REQ_SEP},
    {ID_ECHO, "-e", SO_NONE},
    {ID_LOG_MESSAGE, "-l", SO_REQ_SEP},
    {ID_LOG_FILE, "-k", SO_REQ_SEP},
    {ID_SERVER_URL, "-u", SO_REQ_SEP},
    {ID_HELP_LONG, "--help", SO_NONE},
    {ID_JSON, "--json", SO_NONE},
    {ID_JOBS, "--jobs", SO_REQ_SEP},
    {ID_MODEL, "--model", SO_REQ_SEP},
    {-1, nullptr, SO_NONE},
};

// True when every character of text is one of digits (an empty text too).
bool _consists_of(const char* text, const char* digits)
{
    return text[strspn(text, digits)] == '\0';
}

// Reads the leading digits of text in base 10 or 16, keeping the low 32
// bits; *rest is left at the first character that is not a digit.
uint32_t _read_number(const char* text, int base, const char** rest)
{
    const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
    uint32_t value = 0;
    for (; *text && strchr(digits, *text); ++text) {
        uint32_t digit = *text <= '9' ? uint32_t(*text - '0') : uint32_t((*text | 0x20) - 'a' + 10);
        value = value * uint32_t(base) + digit;
    }
    *rest = text;
    return value;
}

// A serial number in hexadecimal, with or without "0x"; 0 when the text is
// not hexadecimal. *digits is left at the text after the prefix.
uint32_t _read_serial(const char* text, const char* prefixLog, const char** digits)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", prefixLog);
        text += 2;
    }
    *digits = text;
    if (!_consists_of(text, "0123456789ABCDEFabcdef"))
        return 0;
    const char* rest;
    return _read_number(text, 16, &rest);
}

// A decimal number, or 0 when the text holds anything but decimal digits.
uint32_t _read_decimal(const char* text)
{
    if (!_consists_of(text, "0123456789"))
        return 0;
    const char* rest;
    return _read_number(text, 10, &rest);
}

// The transport code that the -t text names, TRANSPORT_INVALID for none.
int32_t _read_transport(const char* text)
{
    if (strncmp(text, "USB", 3) == 0)
        return TRANSPORT_USB;
    if (strncmp(text, "TCP", 3) == 0)
        return TRANSPORT_TCPIP;
    if (strncmp(text, "RECOVER", 7) == 0)
        return TRANSPORT_RECOVER;
    return TRANSPORT_INVALID;
}

// -d: one serial number, a comma-separated list of them, or ALL. Each
// serial number is checked as a lone one is; the first bad one fails the
// parse with the same message. Repeated serial numbers count once.
bool _apply_devices(const char* value, Parameters& params, UpdaterDisplayInterface& display)
{
    params.serials.clear();
    params.serialNumber = 0;
    params.allDevices = strcmp(value, "ALL") == 0;
    if (params.allDevices)
        return true;
    const std::string text = value;
    for (size_t at = 0;;) {
        const size_t comma = text.find(',', at);
        const std::string word = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const char* digits;
        const uint32_t serial = _read_serial(word.c_str(), "Discarding '0x' serial number prefix\n", &digits);
        if (serial == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid serial number obtained from argument [%s]",
                            digits);
            params.serials.clear();
            return false;
        }
        bool seen = false;
        for (uint32_t s : params.serials)
            seen = seen || s == serial;
        if (!seen)
            params.serials.push_back(serial);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    if (params.serials.size() == 1)
        params.serialNumber = params.serials.front();
    return true;
}

// Applies one -X value; a value with characters left over is reported and
// not applied (the parse still succeeds).
void _apply_log_mask(const char* text, Parameters& params, UpdaterDisplayInterface& display)
{
    params.logMaskGiven = true;
    const char* rest;
    uint32_t mask = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? _read_number(text + 2, 16, &rest)
                                                                         : _read_number(text, 10, &rest);
    if (*rest) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", rest);
        return;
    }
    params.logMask = mask;
    Log::ActivatePackage(mask);
}

// Sets the command bit or flag of one command option; false for -Y.
bool _apply_command(int id, Parameters& params, UpdaterDisplayInterface& display)
{
    switch (id) {
    case ID_LIST_BUILDS: params.commands.Set(CMD_LIST_BUILDS); break;
    case ID_LIST_LOCAL_BUILDS: params.commands.Set(CMD_LIST_LOCAL_BUILDS); break;
    case ID_DISCOVER: params.commands.Set(CMD_DISCOVER); break;
    case ID_GET_BUILD: params.commands.Set(CMD_GET_BUILD); break;
    case ID_DEVICE_INFO: params.commands.Set(CMD_DEVICE_INFO); break;
    case ID_UPDATE: params.commands.Set(CMD_UPDATE); break;
    case ID_OVERRIDE: params.override = true; break;
    case ID_FINGERPRINT: params.commands.Set(CMD_FINGERPRINT); break;
    case ID_CHECK_BIRD: params.commands.Set(CMD_CHECK_BIRD); break;
    case ID_GET_JWT: params.commands.Set(CMD_GET_JWT); break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", "-Y");
        return false;
    }
    return true;
}

// Stores one parameter option's value; false when the value fails the parse.
bool _apply_parameter(int id, const char* value, Parameters& params, UpdaterDisplayInterface& display)
{
    using Display = UpdaterDisplayInterface;
    const char* digits;
    switch (id) {
    case ID_NO_FLAG: params.noFlag = true; break;
    case ID_ECHO: params.echoBytes = true; break;
    case ID_LOG_MASK: _apply_log_mask(value, params, display); break;
    case ID_RESERVED_Z: params.commands.Set(CMD_RESERVED_Z); break;
    case ID_UEI_BYTES: params.useUeiBytes = value[0] == '1' || strncmp(value, "true", 4) == 0; break;
    case ID_STORE_DIR: params.storeDir = value; break;
    case ID_BUILD: params.buildText = std::to_string(_read_decimal(value)); break;
    case ID_BIRD_FILE: params.birdFile = value; break;
    case ID_SERIAL_PORT: params.serialPort = value; break;
    case ID_BAUD_RATE: params.baudRate = _read_decimal(value); break;
    case ID_LOG_MESSAGE: params.logMessage = value; break;
    case ID_LOG_FILE: params.logFile = value; break;
    case ID_SERVER_URL: params.serverUrl = value; break;
    case ID_DEVICE: return _apply_devices(value, params, display);
    case ID_JSON: params.json = true; break;
    case ID_MODEL: params.modelFilter = value; break;
    case ID_JOBS:
        params.jobs = _read_decimal(value);
        if (params.jobs == 0 || params.jobs > kMaxJobs) {
            display.message(Display::LEVEL_ERROR, "Invalid number of jobs obtained from argument [%s] (1 to %u)",
                            value, kMaxJobs);
            return false;
        }
        break;
    case ID_ROUTER:
        params.routerSerial = _read_serial(value, "Discarding '0x' router serial number prefix\n", &digits);
        if (params.routerSerial == 0) {
            display.message(Display::LEVEL_ERROR, "Invalid router serial number obtained from argument [%s]",
                            digits);
            return false;
        }
        break;
    case ID_TRANSPORT:
        params.transportGiven = true;
        params.transport = _read_transport(value);
        if (params.transport == TRANSPORT_INVALID) {
            display.message(Display::LEVEL_ERROR,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value);
            return false;
        }
        break;
    }
    return true;
}

// The home directory, or an empty text when it cannot be read.
std::string _home_directory()
{
    char buffer[2048];
    if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone)
        return std::string();
    return buffer;
}

}  // namespace

bool _get_params(int argc, char** argv, Parameters& params, UpdaterDisplayInterface& display)
{
    params = Parameters();
    if (argc > 0 && argv[0]) {
        const char* name = argv[0];
        for (const char* p = argv[0]; *p; ++p)
            if (*p == '/' || *p == '\\')
                name = p + 1;
        params.appName = name;
    }
    params.homeDir = _home_directory();
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params.homeDir.c_str());

    bool ok = true;
    CSimpleOpt parser(argc, argv, kOptions);
    while (parser.Next()) {
        if (parser.LastError() != SO_SUCCESS)
            continue;
        int id = parser.OptionId();
        switch (id / 100) {
        case OPT_HELP:
            params.commands.Set(CMD_HELP);
            params.helpGiven = true;
            return true;
        case OPT_COMMAND:
            ok = _apply_command(id, params, display) && ok;
            break;
        default:
            ok = _apply_parameter(id, parser.OptionArg(), params, display) && ok;
            break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.appName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
    return ok;
}
