// Where every flow sends its messages and progress; the flows never print.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    virtual ~UpdaterDisplayInterface() = default;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into 2048 bytes (longer text is cut at 2047 characters) and passes
    // it to error_message for LEVEL_ERROR, to info_message for any other level.
    // Prints nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted = false;
};
