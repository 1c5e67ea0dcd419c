// birdmake: writes a BIRD firmware file described on the command line.
#include "Assemble.h"
#include "CommandLine.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    birdmake::CommandLine commandLine;
    std::string error;
    if (!birdmake::ParseCommandLine(args, &commandLine, &error)) {
        std::fprintf(stderr, "birdmake: %s\nTry 'birdmake --help'.\n", error.c_str());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(birdmake::UsageText(), stdout);
        return 0;
    }

    birdmake::Image image;
    if (!birdmake::AssembleImage(commandLine, &image, &error)) {
        std::fprintf(stderr, "birdmake: %s\n", error.c_str());
        return 1;
    }
    if (!birdmake::WriteFile(commandLine.output, image, &error)) {
        std::fprintf(stderr, "birdmake: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
