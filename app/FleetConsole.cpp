#include "FleetConsole.h"

#include <cstring>
#include <unistd.h>

namespace {

bool _starts_with(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

const char* _phase_name(FleetPhase phase)
{
    switch (phase) {
    case FleetPhase::Waiting: return "waiting";
    case FleetPhase::Asking: return "asking";
    case FleetPhase::Downloading: return "downloading";
    case FleetPhase::Updating: return "updating";
    case FleetPhase::Done: return "done";  // "updated" or "downloaded" in the line
    case FleetPhase::Failed: return "failed";
    case FleetPhase::NotStarted: return "not started";
    }
    return "";
}

std::string _version_cell(bool known, const std::string& version, uint32_t build)
{
    if (!known)
        return "-";
    return version + " (" + std::to_string(build) + ")";
}

}  // namespace

// One module's sink: every call goes to the console with the module's row.
class FleetConsole::ModuleDisplay : public UpdaterDisplayInterface {
public:
    ModuleDisplay(FleetConsole& owner, size_t row) : console(owner), index(row) {}
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { console.progress(index, fraction); }
    void update_spinner(bool on, const char* label) override
    {
        if (on)
            console.spinner(index, label);
    }
    void info_message(const char* text) override { console.message(index, false, text); }
    void error_message(const char* text) override { console.message(index, true, text); }

private:
    FleetConsole& console;
    const size_t index;
};

FleetConsole::FleetConsole(const std::vector<FleetModule>& modules, bool updating, FILE* stream,
                           const std::atomic<bool>& stopFlag)
    : update(updating), out(stream), stop(stopFlag), terminal(isatty(fileno(stream)) == 1)
{
    for (size_t i = 0; i < modules.size(); ++i) {
        displays.push_back(std::make_unique<ModuleDisplay>(*this, i));
        Row row;
        row.serial = modules[i].serial;
        row.model = modules[i].before.modelName;
        rows.push_back(row);
    }
}

FleetConsole::~FleetConsole() = default;

UpdaterDisplayInterface& FleetConsole::display(size_t index)
{
    return *displays.at(index);
}

void FleetConsole::phase(size_t index, FleetPhase phase)
{
    std::lock_guard<std::mutex> lock(mutex);
    Row& row = rows.at(index);
    row.phase = phase;
    row.step.clear();
    row.fraction = -1;
    changed = true;
}

void FleetConsole::described(size_t index, const DeviceInfo& info)
{
    std::lock_guard<std::mutex> lock(mutex);
    rows.at(index).model = info.modelName;
    changed = true;
}

// The update's own messages tell which part of it is under way; off a
// terminal each is also printed, after the module's serial number.
void FleetConsole::message(size_t index, bool error, const char* text)
{
    std::lock_guard<std::mutex> lock(mutex);
    Row& row = rows.at(index);
    unsigned k = 0, n = 0;
    if (_starts_with(text, "Updating firmware with build") || _starts_with(text, "Updating from Birdfile")) {
        row.step = "image";
    } else if (_starts_with(text, "Transferring loader")) {
        row.step = "loader";
    } else if (_starts_with(text, "Starting Load on Device")) {
        row.step = "restarting";
    } else if (sscanf(text, "Transferring firmware block %u of %u", &k, &n) == 2 && n > 0) {
        row.step = "firmware";
        row.block = int(k);
        row.blocks = int(n);
        row.fraction = 0;
    }
    changed = true;

    char serial[12];
    snprintf(serial, sizeof serial, "%08X: ", row.serial);
    const std::string line = serial + std::string(text) + "\n";
    if (terminal && error)
        pendingErrors.push_back(line);
    else if (!terminal)
        fputs(line.c_str(), error ? stderr : out);
}

void FleetConsole::progress(size_t index, double fraction)
{
    std::lock_guard<std::mutex> lock(mutex);
    rows.at(index).fraction = fraction;
    changed = true;
}

void FleetConsole::spinner(size_t index, const char* label)
{
    std::lock_guard<std::mutex> lock(mutex);
    Row& row = rows.at(index);
    const std::string step = label && strcmp(label, "Verifying Update") == 0 ? "verifying" : "";
    if (row.step != step) {
        row.step = step;
        row.fraction = -1;
        changed = true;
    }
}

std::string FleetConsole::statusLine(const Row& row) const
{
    std::string phase = _phase_name(row.phase);
    if (row.phase == FleetPhase::Done)
        phase = update ? "updated" : "downloaded";
    if (row.phase == FleetPhase::Updating && !row.step.empty())
        phase = row.step;
    char percent[8] = "";
    if (row.phase == FleetPhase::Updating && row.step == "firmware" && row.blocks > 0) {
        const double f = row.fraction < 0 ? 0 : row.fraction > 1 ? 1 : row.fraction;
        snprintf(percent, sizeof percent, "%3d%%", int(100.0 * ((row.block - 1) + f) / row.blocks));
    } else if (row.phase == FleetPhase::Done) {
        snprintf(percent, sizeof percent, "100%%");
    }
    char line[128];
    snprintf(line, sizeof line, "    %08X  %-12s %-12s %s", row.serial, row.model.c_str(), phase.c_str(), percent);
    return line;
}

// Terminal only: moves back over the block, prints the errors that came
// since, then the block again, in one write.
void FleetConsole::redraw()
{
    std::string text;
    if (drawnLines > 0)
        text += "\033[" + std::to_string(drawnLines) + "A\r\033[J";
    std::string errors;
    for (const std::string& line : pendingErrors)
        errors += line;
    pendingErrors.clear();
    for (const Row& row : rows)
        text += statusLine(row) + "\n";
    drawnLines = rows.size();
    changed = false;
    if (!errors.empty()) {
        // The errors go where errors go; the block is drawn again below them.
        std::string clear = drawnLines > 0 ? text.substr(0, text.find("\033[J") + 3) : "";
        fputs(clear.c_str(), out);
        fflush(out);
        fputs(errors.c_str(), stderr);
        fflush(stderr);
        text.erase(0, clear.size());
    }
    fputs(text.c_str(), out);
    fflush(out);
}

void FleetConsole::idle()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (stop && !stopNoticed) {
        stopNoticed = true;
        const char* notice =
            "Interrupted: no further module is started; the modules in transfer finish (Ctrl+C again ends at once)\n";
        if (terminal)
            pendingErrors.push_back(notice);
        else
            fputs(notice, stderr);
        changed = true;
    }
    if (terminal && changed)
        redraw();
}

void FleetConsole::PrintSummary(const std::vector<FleetResult>& results)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::string text = "Summary:\n";
    text += "    Device    Model        Before              After               Seconds  Result\n";
    size_t done = 0;
    for (const FleetResult& r : results) {
        std::string result;
        if (r.ok) {
            result = update ? "updated" : "downloaded";
            ++done;
        } else {
            result = r.interrupted ? r.error : "failed: " + r.error;
        }
        char line[512];
        snprintf(line, sizeof line, "    %08X  %-12s %-19s %-19s %7.2f  %s\n", r.serial,
                 r.model.empty() ? "-" : r.model.c_str(),
                 _version_cell(r.beforeKnown, r.versionBefore, r.buildBefore).c_str(),
                 _version_cell(r.afterKnown, r.versionAfter, r.buildAfter).c_str(), r.seconds, result.c_str());
        text += line;
    }
    text += std::to_string(done) + " of " + std::to_string(results.size()) + " modules " +
            (update ? "updated" : "downloaded") + "\n";
    fputs(text.c_str(), out);
    fflush(out);
}
