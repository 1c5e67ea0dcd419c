// Turning a parsed command line into an image: the step that reads the data files.
#pragma once

#include "CommandLine.h"
#include "birdmake.h"

#include <string>

namespace birdmake {

// False with a message when a data file cannot be read or an edit cannot be applied.
bool AssembleImage(const CommandLine& commandLine, Image* image, std::string* error);

}  // namespace birdmake
