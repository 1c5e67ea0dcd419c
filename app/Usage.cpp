#include "Usage.h"

#include <cstring>
#include <vector>

#include "Parameters.h"

namespace {

constexpr size_t kOptionIndent = 4;
constexpr size_t kDashColumn = 30;
constexpr size_t kTextColumn = 32;
constexpr size_t kSampleTextColumn = 44;
constexpr size_t kLineWidth = 80;

// Appends text to out as words that fill lines up to kLineWidth; each line
// after the first starts with `column` spaces. The first line starts at
// `column` too, whatever the caller put before it.
void _wrap(std::string& out, const char* text, size_t column)
{
    size_t lineLength = column;
    bool lineEmpty = true;
    const char* p = text;
    while (*p) {
        while (*p == ' ')
            ++p;
        size_t wordLength = strcspn(p, " ");
        if (wordLength == 0)
            break;
        if (!lineEmpty && lineLength + 1 + wordLength > kLineWidth) {
            out += "\n";
            out.append(column, ' ');
            lineLength = column;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += ' ';
            ++lineLength;
        }
        out.append(p, wordLength);
        lineLength += wordLength;
        lineEmpty = false;
        p += wordLength;
    }
    out += "\n";
}

// An entry whose text is followed by extra lines, each on its own
// continuation line.
std::string _usage_entry_lines(const char* option, const char* text, const std::vector<std::string>& lines)
{
    std::string out = _usage_entry(option, text);
    for (const auto& line : lines) {
        if (line.empty()) {
            out += "\n";
            continue;
        }
        out.append(kTextColumn, ' ');
        out += line + "\n";
    }
    return out;
}

// One line of the sample block: the command and its explanation beside it.
std::string _sample(const char* command, const char* explanation)
{
    std::string out(kOptionIndent, ' ');
    out += "Updater ";
    out += command;
    out.resize(kSampleTextColumn < out.size() + 1 ? out.size() + 1 : kSampleTextColumn, ' ');
    _wrap(out, explanation, kSampleTextColumn);
    return out;
}

std::string _package_line(const char* name, uint32_t bit)
{
    char line[64];
    snprintf(line, sizeof line, "%-20s0x%08X", name, bit);
    return line;
}

std::string _parameters_block()
{
    std::string out = "  Parameters to commands:\n";
    out += _usage_entry("-i <tarvelin_directory>",
                        "The Tarvelin directory used for storage of firmware files. [Default: ~/.tarvelin ].");
    out += _usage_entry("-b <build number>",
                        "Build version of the firmware to transfer. [Default: latest version available].");
    out += _usage_entry("-d <device>", "Device serial number of the device to access.");
    out += _usage_entry("-t <transport type>", "communications method [USB,TCP,RECOVER].");
    out += _usage_entry("-f <bird file>", "Firmware file to be transferred to device.");
    out += _usage_entry("-r <router serial>", "indirect connection through router device");
    out += _usage_entry("-s <serial port>", "name of serial port to use for recovery");
    out += _usage_entry("-o <baud rate>",
                        "baud rate for serial port (2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)");
    return out + "\n";
}

std::string _commands_block()
{
    std::string out = "  Commands:\n";
    out += _usage_entry("-B", "list the Builds available for given device.");
    out += _usage_entry("-L", "list the local Builds available for given device.");
    out += _usage_entry("-D", "Discover devices that are currently connected.");
    out += _usage_entry("-G",
                        "Get build file from the Tarvelin server and store on local machine for download to "
                        "device. Must specify a specific device [\"-d\" option]. Default is to obtain the latest "
                        "build for the given device, override with \"-b\" option.");
    out += _usage_entry("-U",
                        "Update the firmware on device specified. Must specify a specific device [\"-d\" option]. "
                        "Default is to download the latest build for the given device, override with \"-b\" "
                        "option or specify specific BIRD file using \"-f\" option.");
    out += _usage_entry("-J", "Get a JWT containing the devices software features");
    out += _usage_entry("-H or -h", "Display extended usage information.");
    return out + "\n";
}

std::string _extended_parameters_block()
{
    std::string defaultServer = std::string("Default:[") + DEFAULT_SERVER_HOST + ":" + DEFAULT_SERVER_PORT + "]";
    std::string out = "  Extended Parameters:\n";
    out += _usage_entry("-e", "echoing of bytes enabled during recovery.");
    out += _usage_entry("-m", "Attemps to use UEIBytes for faster loading");
    out += _usage_entry("-l 'log message'", "message to place in device history log");
    out += _usage_entry_lines("-k <filename>", "log messages written into given filename", {"Default:[APP.log]"});
    out += _usage_entry_lines("-u <host:port>", "The hostname and port of the update server", {defaultServer});
    return out + "\n";
}

std::string _extended_commands_block()
{
    std::string out = "  Extended Commands:\n";
    out += _usage_entry("-I",
                        "View stored device information. Must either use DISCOVER command [\"-D\"] or specify a "
                        "specific device [\"-d\" option].");
    out += _usage_entry("-OVERRIDE",
                        "Override the model checks for BIRD firmware files. This option should only be used when "
                        "authorized by Tarvelin development engineers.");
    out += _usage_entry("-N", "Get fingerprint from a device, requires -s");
    out += _usage_entry_lines("-X <BIT_MASK>", "Bitmask for Logging",
                              {
                                  _package_line("DEBUG_Updater", 0x00000001),
                                  _package_line("DEBUG_History", 0x00000002),
                                  _package_line("DEBUG_Attributes", 0x00000004),
                                  _package_line("DEBUG_BirdFile", 0x00000008),
                                  _package_line("DEBUG_Network", 0x00000010),
                                  _package_line("DEBUG_ServerComm", 0x00000020),
                                  "",
                                  _package_line("DEBUG_Network", 0x00000100),
                                  _package_line("DEBUG_Network_SR", 0x00000200),
                                  _package_line("DEBUG_Network_FIRM", 0x00000400),
                                  "",
                                  _package_line("DEBUG_NXPSerial", 0x00001000),
                                  _package_line("DEBUG_NXPSerial_E", 0x00002000),
                                  _package_line("DEBUG_NXPSerial_SR", 0x00004000),
                                  "",
                                  _package_line("DEBUG_APP", 0x00010000),
                                  "",
                                  _package_line("DEBUG_iMXSerial", 0x10000000),
                              });
    out += _usage_entry("-C", "Check the given BIRDFILE");
    return out + "\n";
}

std::string _sample_block()
{
    std::string out = " Sample usage:\n";
    out += _sample("-D", "Discover all devices and record the information of each device in its settings.");
    out += _sample("-D -t USB", "Discover the devices connected by USB.");
    out += _sample("-D -t USB -d 0F5849A", "Discover device 0F5849A on USB.");
    out += _sample("-G -d 40F5849A", "Get the latest firmware for device 40F5849A into the device's own directory.");
    out += _sample("-U -d 40F5849A", "Update device 40F5849A with the latest firmware.");
    out += _sample("-G -d 40F5849A -b 99528558",
                   "Get build 99528558 for device 40F5849A, stored with the build number as file name.");
    out += _sample("-G -U -d 40F5849A", "Download the latest firmware for device 40F5849A, then update with it.");
    out += _sample("-U -t RECOVER -s /dev/serial", "Update a device through the serial interface.");
    out += "\n Sample usage for network discovery and updates:\n";
    out += _sample("-D -r D272031D", "Discover the devices on the I2C Tessaluma network of routing device D272031D.");
    out += _sample("-G -U -d 2181F0EE -r D272031D",
                   "Get and update device 2181F0EE indirectly through routing device D272031D.");
    return out + "\n";
}

}  // namespace

std::string _usage_entry(const char* option, const char* text)
{
    std::string out(kOptionIndent, ' ');
    out += option;
    out.resize(kDashColumn < out.size() + 1 ? out.size() + 1 : kDashColumn, ' ');
    out += "- ";
    _wrap(out, text, kTextColumn);
    return out;
}

void _print_short_usage(FILE* out)
{
    fprintf(out,
            "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
            "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
            "  Tessaluma Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n",
            "Updater");
}

void _print_usage(FILE* out, bool extended, bool helpGiven)
{
    _print_short_usage(out);
    if (!helpGiven)
        return;
    std::string text = _parameters_block() + _commands_block();
    if (extended)
        text += _extended_parameters_block() + _extended_commands_block();
    text += _sample_block();
    fputs(text.c_str(), out);
}
