#include "CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

uint8_t CLI_Display::count = 0;

namespace {

constexpr int kBarWidth = 69;
constexpr int kEraseWidth = 88;
const char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth, "the bar string is the full bar width");

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool _on_terminal(FILE* out)
{
    return isatty(fileno(out)) == 1;
}

void _erase_line(FILE* out)
{
    fprintf(out, "\r%*s\r", kEraseWidth, " ");
}

}  // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show)
{
    if (!_on_terminal(progressStream()) || show)
        return;
    _erase_line(progressStream());
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    FILE* out = progressStream();
    if (!_on_terminal(out))
        return;
    if (!(fraction > 0.0))  // NaN too
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int percent = int(100.0 * fraction);
    int width = kBarWidth;
    if (label)
        width = kBarWidth - int(strnlen(label, kBarWidth + 4)) - 4;

    std::string bar;
    if (width >= 1) {
        // The '>' takes one place, so at most width - 1 '=' fit inside the bar.
        int n = int(width * fraction);
        if (n > width - 1)
            n = width - 1;
        bar.assign(kBar, size_t(n));
        bar += '>';
        bar.append(size_t(width - n - 1), ' ');
    }
    if (label)
        fprintf(out, "\r (%s) [%s] (%3d%% ) ", label, bar.c_str(), percent);
    else
        fprintf(out, "\r[%s] (%3d%% ) ", bar.c_str(), percent);
}

void CLI_Display::update_spinner(bool on, const char* label)
{
    FILE* out = progressStream();
    if (!_on_terminal(out))
        return;
    if (!on) {
        _erase_line(out);
        return;
    }
    const char* frame = kSpinnerFrames[count];
    if (label)
        fprintf(out, "\r (%s) %s      \r", label, frame);
    else
        fprintf(out, "\r %s      \r", frame);
    count = uint8_t((count + 1) % 8);
}

void CLI_Display::info_message(const char* text)
{
    fprintf(progressStream(), "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
