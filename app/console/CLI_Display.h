// The console sink: messages on the standard streams, and a progress bar and
// spinner drawn only when standard output is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so that frames
    // drawn without a newline appear at once.
    CLI_Display();

    // show = false erases the current line; show = true draws nothing.
    void display_progress(bool show) override;
    // Draws the bar for fraction (clamped to 0..1), with the label before it
    // when one is given; the bar never grows past its width, and a label too
    // long to leave room draws an empty bar.
    void update_progress(double fraction, const char* label) override;
    // on = true draws the next spinner frame, on = false erases the line.
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    // Sends information, the progress bar and the spinner to standard error
    // as well (drawn when it is a terminal), keeping standard output for one
    // document a script reads.
    void send_info_to_stderr(bool toStderr) { infoToStderr = toStderr; }
    // Where information and progress go.
    FILE* progressStream() const { return infoToStderr ? stderr : stdout; }

private:
    bool infoToStderr = false;
    static uint8_t count;  // the spinner's next frame, shared by every display
};
