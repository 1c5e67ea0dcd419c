// Drives a CLI_Display from the command line so that tests can watch its
// bytes on a terminal or a pipe:
//   progress FRACTION [LABEL] | spinner COUNT [LABEL] | erase | info TEXT | error TEXT
#include <cstdlib>
#include <cstring>

#include "CLI_Display.h"

int main(int argc, char** argv)
{
    CLI_Display display;
    for (int i = 1; i < argc; ++i) {
        const char* what = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        const char* label = i + 2 < argc && argv[i + 2][0] ? argv[i + 2] : nullptr;
        if (strcmp(what, "progress") == 0) {
            display.update_progress(atof(value), label);
            i += 2;
        } else if (strcmp(what, "spinner") == 0) {
            for (int n = atoi(value); n > 0; --n)
                display.update_spinner(true, label);
            i += 2;
        } else if (strcmp(what, "erase") == 0) {
            display.display_progress(false);
            display.display_progress(true);
            display.update_spinner(false, nullptr);
        } else if (strcmp(what, "info") == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", value);
            ++i;
        } else if (strcmp(what, "error") == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", value);
            ++i;
        } else {
            return 2;
        }
    }
    return 0;
}
