// update-server: answers the update tool's requests from a local catalogue,
// for tests, demonstrations and labs without internet access.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "Options.h"
#include "Server.h"

namespace {

bool WritePortFile(const std::string& path, int port) {
    // Written aside and renamed, so a reader never sees half a number.
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << port << "\n";
        if (!out.flush()) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    updsrv::Options options;
    std::string error;
    if (!updsrv::ParseOptions(argc, argv, options, error)) {
        std::cerr << "update-server: " << error << "\n" << updsrv::Usage(argv[0]);
        return 2;
    }
    if (options.help) {
        std::cout << updsrv::Usage(argv[0]);
        return 0;
    }

    // Signals are taken by one thread with sigwait; every other thread,
    // including the server's workers created later, has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);   // a client that hangs up must not end the server

    updsrv::Server server(options);
    const int port = server.Bind(error);
    if (port < 0) {
        std::cerr << "update-server: " << error << "\n";
        return 1;
    }
    // The port file first: whoever has read the line on standard output finds it in place.
    if (!options.portFile.empty() && !WritePortFile(options.portFile, port)) {
        std::cerr << "update-server: cannot write port file '" << options.portFile << "'\n";
        return 1;
    }
    std::cout << "listening on " << options.bind << ":" << port << std::endl;
    std::cerr << "update-server: serving catalogue " << options.catalogue << " at " << options.path
              << (options.faults.Any() ? " with faults" : "") << "\n";

    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.Stop();
    });
    const bool ok = server.Run();
    // Run also ends without a signal when the server fails; release the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    std::cerr << "update-server: stopped\n";
    return ok ? 0 : 1;
}
