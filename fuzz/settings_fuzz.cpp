// Settings files (key=value lines): loading, the typed reads the flows use,
// and a save and reload that must give back what was loaded.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "KeyValueStore.h"

namespace {

// Where saves land: a private directory on a memory file system when there
// is one, so that the run does not wear a disk; removed when the run ends.
std::string gSaveDirectory;

void RemoveSaveDirectory()
{
    std::string file = gSaveDirectory + "/settings";
    unlink(file.c_str());
    rmdir(gSaveDirectory.c_str());
}

std::string SaveDirectory()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    gSaveDirectory = std::string(base) + "/updater-settings-fuzz-" + std::to_string(getpid());
    mkdir(gSaveDirectory.c_str(), 0700);
    std::atexit(RemoveSaveDirectory);
    return gSaveDirectory;
}

// Entries a save writes in a form that loads back differently by design: a
// key beginning with "#" comes back as a comment, and an empty key with an
// empty value is a line too short to count.
bool SurvivesSave(const std::string& key, const std::string& value)
{
    return !(key.size() > 0 && key[0] == '#') && !(key.empty() && value.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file("settings");
    static const std::string saved = SaveDirectory() + "/settings";
    file.Set(data, size);

    KeyValueStore store;
    FUZZ_CHECK(store.Load(file.path().c_str()) == aErrNone);
    FUZZ_CHECK(!store.IsModified());
    const std::map<std::string, std::string> loaded = store.Entries();
    for (const auto& [key, value] : loaded) {
        FUZZ_CHECK(key.find('=') == std::string::npos && key.find('\n') == std::string::npos);
        FUZZ_CHECK(value.find('\n') == std::string::npos);
    }

    // The reads the store and the flows make; each may add its key.
    KeyValueStore reads(store);
    (void)reads.GetInt("LATEST_DOWNLOAD", -1);
    (void)reads.GetInt("LATEST_TRANSFER", 0);
    (void)reads.GetHex("SERIAL", 0);
    (void)reads.GetBOOL("FLAG", false);
    (void)reads.GetDouble("RATE", 0.5);
    (void)reads.GetString("LAST_DOWNLOAD_DATE", nullptr);
    if (!loaded.empty())
        (void)reads.GetInt(loaded.begin()->first, 7);

    // Save and reload: every entry that can be written comes back unchanged,
    // nothing comes back that was not there, and the time key is added.
    store.Add("LATEST_DOWNLOAD", "1017.bird");
    const bool changed = store.IsModified();
    store.Save(saved.c_str());
    FUZZ_CHECK(!store.IsModified());
    KeyValueStore again;
    FUZZ_CHECK(again.Load(saved.c_str()) == aErrNone);
    const auto& back = again.Entries();
    for (const auto& [key, value] : store.Entries()) {
        if (!SurvivesSave(key, value))
            continue;
        auto it = back.find(key);
        FUZZ_CHECK(it != back.end() && it->second == value);
    }
    for (const auto& [key, value] : back) {
        auto it = store.Entries().find(key);
        FUZZ_CHECK(it != store.Entries().end() && it->second == value);
    }
    FUZZ_CHECK(!changed || back.count(KeyValueStore::KEY_UPDATED_TIME) == 1);
    return 0;
}
