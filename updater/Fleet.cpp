// Running the single-module download and update on worker threads: one
// Updater and one display per module, the modules of one router in turn.
#include "Fleet.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

#include "BirdFile.h"
#include "Log.h"
#include "UpdaterStore.h"
#include "aTime.h"

namespace {

constexpr auto kIdleInterval = std::chrono::milliseconds(100);

// The modules that must go one after another: those behind one router form
// one group; every other module is a group of its own. Groups keep the order
// in which their first module was given.
std::vector<std::vector<size_t>> groupByRouter(const std::vector<FleetModule>& modules)
{
    std::vector<std::vector<size_t>> groups;
    std::map<uint32_t, size_t> groupOfRouter;
    for (size_t i = 0; i < modules.size(); ++i) {
        const uint32_t router = modules[i].routerSerial;
        if (router == 0) {
            groups.push_back({i});
            continue;
        }
        auto found = groupOfRouter.find(router);
        if (found == groupOfRouter.end()) {
            groupOfRouter[router] = groups.size();
            groups.push_back({i});
        } else {
            groups[found->second].push_back(i);
        }
    }
    return groups;
}

// The firmware the store records as last written into serial: its version
// and build. False when the record or the image cannot be read.
bool transferredImage(const std::string& storeDir, uint32_t serial, const std::string& birdFile,
                      std::string& version, uint32_t& build)
{
    try {
        BirdFile file;
        if (!birdFile.empty()) {
            file = BirdFile(birdFile);
        } else {
            UpdaterStore store(storeDir);
            UpdaterStoreItem item;
            if (!store.FindDevice(serial, &item))
                return false;
            const char* name = item.Settings()["LATEST_TRANSFER"];
            if (name == nullptr || *name == '\0')
                return false;
            file = item.ReadBirdFile(name);
        }
        version = file.GetVersion();
        build = file.GetBuild();
        return !version.empty();
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "Could not read the image written into %08X: %s\n", serial, e.what());
        return false;
    }
}

// Worker threads leave the asynchronous signals to the thread that started
// the run: a signal landing here would cut a wait short (a discovery's
// receive, a sleep between reconnections) and fail a module for nothing.
void blockSignals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

class FleetRun {
public:
    FleetRun(const std::string& serverUrl, const std::string& storeDir, const std::vector<FleetModule>& modules,
             const FleetPlan& plan, FleetObserver& observer, const std::atomic<bool>& stop)
        : m_serverUrl(serverUrl), m_storeDir(storeDir), m_modules(modules), m_plan(plan), m_observer(observer),
          m_stop(stop), m_groups(groupByRouter(modules)), m_results(modules.size())
    {
        for (size_t i = 0; i < m_modules.size(); ++i)
            m_results[i] = notStarted(m_modules[i]);
    }

    std::vector<FleetResult> Run()
    {
        const size_t jobs = std::min<size_t>(std::max(1u, m_plan.jobs), m_groups.size());
        std::vector<std::thread> workers;
        for (size_t j = 0; j < jobs; ++j)
            workers.emplace_back([this] { work(); });
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (m_finishedWorkers < workers.size()) {
                lock.unlock();
                m_observer.idle();
                lock.lock();
                m_done.wait_for(lock, kIdleInterval);
            }
        }
        for (std::thread& worker : workers)
            worker.join();
        m_observer.idle();
        return m_results;
    }

private:
    static FleetResult notStarted(const FleetModule& module)
    {
        FleetResult r;
        r.serial = module.serial;
        r.interrupted = true;
        r.error = "not started: the run was interrupted";
        r.model = module.before.modelName;
        if (module.described)
            describe(module.before, r);
        return r;
    }

    // What the module said before the run; until an update is written into
    // it, that is also what it runs after.
    static void describe(const DeviceInfo& before, FleetResult& r)
    {
        r.model = before.modelName;
        r.versionBefore = r.versionAfter = VersionText(before);
        r.buildBefore = r.buildAfter = before.build;
        r.beforeKnown = r.afterKnown = !r.versionBefore.empty();
    }

    void work()
    {
        blockSignals();
        for (;;) {
            size_t g;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_nextGroup >= m_groups.size())
                    break;
                g = m_nextGroup++;
            }
            for (size_t index : m_groups[g]) {
                if (m_stop)
                    break;
                m_results[index] = runModule(index);
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_finishedWorkers;
        m_done.notify_all();
    }

    // One module from start to end, as the single-module commands do it.
    FleetResult runModule(size_t index)
    {
        FleetModule module = m_modules[index];
        ErrorRecordingDisplay display(m_observer.display(index));
        Updater updater(m_serverUrl.c_str(), m_storeDir.c_str(), display);
        updater.Set_UEIBytes_Load(m_plan.useUeiBytes);
        FleetResult r;
        r.serial = module.serial;
        r.model = module.before.modelName;  // discovery's answer names it, when there was one
        r.started = true;
        const uint64_t start = aTime_GetMSTicks();

        if (m_plan.update && !module.described && module.routerSerial == 0) {
            m_observer.phase(index, FleetPhase::Asking);
            module.described = _describe_module(display, module.serial, module.before);
            if (module.described)
                m_observer.described(index, module.before);
        }
        if (module.described)
            describe(module.before, r);

        std::string buildText = m_plan.buildText;
        bool ok = true;
        if (m_plan.download) {
            m_observer.phase(index, FleetPhase::Downloading);
            ok = download(updater, display, module.serial, m_plan.override, buildText);
            r.build = ok ? uint32_t(std::stoul(buildText)) : 0;
        }
        if (ok && m_plan.update) {
            if (m_stop) {
                r.interrupted = true;
                r.error = "not updated: the run was interrupted";
                m_observer.phase(index, FleetPhase::NotStarted);
                r.seconds = double(aTime_GetMSTicks() - start) / 1000.0;
                return r;
            }
            m_observer.phase(index, FleetPhase::Updating);
            r.afterKnown = false;  // a failed update may leave the module anywhere
            const uint32_t build = buildText.empty() ? 0 : uint32_t(std::stoul(buildText));
            ok = updater.Update_Firmware(module.serial, build, m_plan.birdFile, module.moduleAddress,
                                         module.routerSerial, m_plan.override);
            if (ok)
                r.afterKnown =
                    transferredImage(m_storeDir, module.serial, m_plan.birdFile, r.versionAfter, r.buildAfter);
            if (ok && r.afterKnown)
                r.build = r.buildAfter;
        }
        r.ok = ok;
        if (!ok)
            r.error = display.FirstError().empty() ? (m_plan.update ? "update failed" : "download failed")
                                                   : display.FirstError();
        r.seconds = double(aTime_GetMSTicks() - start) / 1000.0;
        m_observer.phase(index, ok ? FleetPhase::Done : FleetPhase::Failed);
        return r;
    }

    // The messages and the call of the download command for one module;
    // buildText becomes the build fetched.
    static bool download(Updater& updater, UpdaterDisplayInterface& display, uint32_t serial, bool override,
                         std::string& buildText)
    {
        using Level = UpdaterDisplayInterface::Level;
        display.message(Level::LEVEL_INFO, "Retrieving firmware for device with serial number %08X", serial);
        if (buildText.empty()) {
            display.message(Level::LEVEL_INFO, "No build specified");
            display.message(Level::LEVEL_INFO, "Using Latest build");
        } else {
            display.message(Level::LEVEL_INFO, "Retrieving firmware build %s", buildText.c_str());
        }
        const uint32_t fetched = updater.Download_Firmware(serial, buildText, override, false);
        if (fetched == 0)
            return false;
        buildText = std::to_string(fetched);
        return true;
    }

    const std::string& m_serverUrl;
    const std::string& m_storeDir;
    const std::vector<FleetModule>& m_modules;
    const FleetPlan& m_plan;
    FleetObserver& m_observer;
    const std::atomic<bool>& m_stop;
    const std::vector<std::vector<size_t>> m_groups;
    std::vector<FleetResult> m_results;  // each written by the one worker of its module

    std::mutex m_mutex;
    std::condition_variable m_done;
    size_t m_nextGroup = 0;
    size_t m_finishedWorkers = 0;
};

}  // namespace

std::vector<FleetResult> RunFleet(const std::string& serverUrl, const std::string& storeDir,
                                  const std::vector<FleetModule>& modules, const FleetPlan& plan,
                                  FleetObserver& observer, const std::atomic<bool>& stop)
{
    if (modules.empty())
        return {};
    return FleetRun(serverUrl, storeDir, modules, plan, observer, stop).Run();
}
