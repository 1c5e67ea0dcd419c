#include "Options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

namespace updsrv {

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        const auto eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        if (name != "--catalogue" && name != "--port" && name != "--port-file" && name != "--path" &&
            name != "--fault" && name != "--bind") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "--catalogue") {
            options.catalogue = value;
        } else if (name == "--port") {
            uint32_t port = 0;
            if (!ParseDecimal(value, port) || port > 65535) {
                error = "--port needs a number from 0 to 65535";
                return false;
            }
            options.port = static_cast<int>(port);
        } else if (name == "--bind") {
            in_addr parsed{};
            if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
                error = "--bind needs an IPv4 address such as 127.0.0.1";
                return false;
            }
            options.bind = value;
        } else if (name == "--port-file") {
            options.portFile = value;
        } else if (name == "--path") {
            if (value.empty() || value[0] != '/') {
                error = "--path must begin with /";
                return false;
            }
            options.path = value;
        } else if (!options.faults.Add(value, error)) {
            return false;
        }
    }
    if (options.catalogue.empty()) {
        error = "--catalogue DIR is required";
        return false;
    }
    struct stat st{};
    if (stat(options.catalogue.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "catalogue '" + options.catalogue + "' is not a directory";
        return false;
    }
    return true;
}

std::string Usage(const char* program) {
    return std::string("usage: ") + program +
           " --catalogue DIR [--bind ADDRESS] [--port N] [--port-file FILE] [--path /cgi/u] [--fault MODE]...\n"
           "Answers update requests from the catalogue DIR on 127.0.0.1, or on the\n"
           "--bind address (see README.md).\n"
           "With port 0 (the default) a free port is chosen; the first line on standard\n"
           "output is \"listening on ADDRESS:PORT\", and --port-file receives PORT.\n"
           "Fault modes (repeat --fault to combine them):\n" +
           FaultModesHelp();
}

}  // namespace updsrv
