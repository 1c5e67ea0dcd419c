// The status block of a run over several modules on a terminal smaller than
// the block: what is drawn must fit, or moving back over it lands in the
// wrong place and every redraw leaves a stale copy behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "FleetConsole.h"

namespace {

struct Terminal {
    int master = -1;
    FILE* out = nullptr;

    Terminal(unsigned short rows, unsigned short columns)
    {
        struct termios raw {};
        cfmakeraw(&raw);
        struct winsize size {};
        size.ws_row = rows;
        size.ws_col = columns;
        int slave = -1;
        if (openpty(&master, &slave, nullptr, &raw, &size) != 0)
            return;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        out = fdopen(slave, "w");
        setvbuf(out, nullptr, _IONBF, 0);
    }
    ~Terminal()
    {
        if (out)
            fclose(out);
        if (master >= 0)
            close(master);
    }
    void Resize(unsigned short rows, unsigned short columns)
    {
        struct winsize size {};
        size.ws_row = rows;
        size.ws_col = columns;
        ioctl(master, TIOCSWINSZ, &size);
    }
    std::string Take()
    {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            text.append(buffer, size_t(n));
        return text;
    }
};

// Every drawing in text: how far it moved back up, and the lines it drew.
struct Drawing {
    unsigned up = 0;
    std::vector<std::string> lines;
};

std::vector<Drawing> Drawings(const std::string& text)
{
    std::vector<Drawing> drawings(1);
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t end = i + 2;
            unsigned n = 0;
            while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
                n = n * 10 + unsigned(text[end++] - '0');
            if (end < text.size() && text[end] == 'A') {
                drawings.push_back(Drawing());
                drawings.back().up = n;
            }
            i = end;
        } else if (text[i] == '\n') {
            drawings.back().lines.push_back(line);
            line.clear();
        } else if (text[i] != '\r') {
            line += text[i];
        }
    }
    return drawings;
}

std::vector<FleetModule> Modules(int count)
{
    std::vector<FleetModule> modules(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        modules[size_t(i)].serial = 0x5EED0001u + unsigned(i);
        modules[size_t(i)].before.modelName = "TS-Hub4";
    }
    return modules;
}

}  // namespace

// Six modules on a terminal of 5 rows and 30 columns, then one resized to 3
// rows: each drawing keeps to the rows above the cursor and to the width; the
// modules under way come first, then those waiting, and a line counts the rest.
TEST(FleetConsoleTerminal, BlockFitsTheTerminalAndFollowsItsSize)
{
    Terminal terminal(5, 30);
    ASSERT_NE(terminal.out, nullptr);
    const std::atomic<bool> stop{false};
    FleetConsole console(Modules(6), true, terminal.out, stop);
    console.phase(4, FleetPhase::Updating);
    console.idle();
    console.phase(5, FleetPhase::Downloading);
    console.idle();
    terminal.Resize(3, 30);
    console.phase(0, FleetPhase::Done);
    console.idle();

    const std::vector<Drawing> drawings = Drawings(terminal.Take());
    ASSERT_EQ(drawings.size(), 3u);
    const unsigned rows[] = {5, 5, 3};
    for (size_t d = 0; d < drawings.size(); ++d) {
        EXPECT_LE(drawings[d].lines.size(), rows[d] - 1u) << "drawing " << d;
        EXPECT_LE(drawings[d].up, rows[d] - 1u) << "drawing " << d;
        for (const std::string& line : drawings[d].lines)
            EXPECT_LT(line.size(), 30u) << "drawing " << d << ": [" << line << "]";
    }
    ASSERT_EQ(drawings[1].lines.size(), 4u);
    EXPECT_EQ(drawings[1].lines[0].substr(0, 12), "    5EED0001");
    EXPECT_EQ(drawings[1].lines[1].substr(0, 12), "    5EED0005");
    EXPECT_EQ(drawings[1].lines[2].substr(0, 12), "    5EED0006");
    EXPECT_EQ(drawings[1].lines[3].substr(0, 11), "    +3 more");
    ASSERT_EQ(drawings[2].lines.size(), 2u);
    EXPECT_EQ(drawings[2].lines[0].substr(0, 12), "    5EED0005");
}

// Off a terminal: a failure whose message names a long store path keeps its
// whole line, and the count still starts a line of its own.
TEST(FleetConsoleSummary, LongErrorKeepsItsLine)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    const std::atomic<bool> stop{false};
    FleetConsole console(Modules(1), true, out, stop);
    FleetResult failed;
    failed.serial = 0x5EED0001u;
    failed.model = "TS-Hub4";
    failed.error = "Failed to record the download in /" + std::string(600, 'd') + "/settings";
    console.PrintSummary({failed});
    std::string text(4096, '\0');
    rewind(out);
    text.resize(fread(&text[0], 1, text.size(), out));
    fclose(out);
    EXPECT_NE(text.find("failed: " + failed.error + "\n0 of 1 modules updated\n"), std::string::npos) << text;
}
