// The console of a run over several modules. On a terminal, one status line
// per module (serial, model, phase, percent) redrawn in place, with errors
// printed above the block; otherwise every message line starts with the
// module's serial number. At the end a summary table.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Fleet.h"
#include "UpdaterDisplayInterface.h"

class FleetConsole : public FleetObserver {
public:
    // out takes information, the status lines and the summary (standard
    // output, or standard error when standard output holds a document);
    // errors go to standard error. The notice of an interrupted run is shown
    // once stop is set.
    FleetConsole(const std::vector<FleetModule>& modules, bool update, FILE* out, const std::atomic<bool>& stop);
    ~FleetConsole() override;

    UpdaterDisplayInterface& display(size_t index) override;
    void phase(size_t index, FleetPhase phase) override;
    void described(size_t index, const DeviceInfo& info) override;
    void idle() override;

    // The table of results and the count of modules done.
    void PrintSummary(const std::vector<FleetResult>& results);

private:
    class ModuleDisplay;
    struct Row {
        uint32_t serial = 0;
        std::string model;
        FleetPhase phase = FleetPhase::Waiting;
        std::string step;   // the part of the update under way, from its messages
        int block = 0;      // firmware block k of blocks
        int blocks = 0;
        double fraction = -1;  // of the current block, -1 when none
    };

    void message(size_t index, bool error, const char* text);
    void progress(size_t index, double fraction);
    void spinner(size_t index, const char* label);
    std::string statusLine(const Row& row) const;
    void redraw();

    const bool update;  // the run writes firmware; else it only downloads
    FILE* out;
    const std::atomic<bool>& stop;
    const bool terminal;
    std::vector<std::unique_ptr<ModuleDisplay>> displays;

    std::mutex mutex;
    std::vector<Row> rows;
    std::vector<std::string> pendingErrors;  // terminal: shown above the block at the next redraw
    bool changed = true;
    size_t drawnLines = 0;
    bool stopNoticed = false;
};
