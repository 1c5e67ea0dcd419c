#include "UpdaterStore.h"

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>

#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

std::string SerialName(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

struct Search {
    const std::string* name;
    std::string found;
    bool isDirectory = false;
    bool hit = false;
};

bool SearchEntry(const aDirectoryListData* entry, void* user)
{
    auto* search = static_cast<Search*>(user);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, entry->isDirectory,
             static_cast<int>(entry->size), search->name->c_str());
    std::string path = entry->path;
    std::string leaf = path.substr(path.rfind('/') + 1);
    if (leaf == "." || leaf == "..")
        return true;
    // Only the entry's own name counts: the directory above it may well hold
    // the text too (a store root named after a device), and would then make
    // the first entry listed, whatever it is, match.
    if (leaf.find(*search->name) == std::string::npos)
        return true;
    search->found = path;
    search->isDirectory = entry->isDirectory;
    search->hit = true;
    return false;
}

// Lists directory and returns the first entry whose name holds name.
Search Find(const std::string& directory, const std::string& name)
{
    Search search;
    search.name = &name;
    aDirectory_List(directory.c_str(), SearchEntry, &search);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.hit ? "Found" : "Not Found", name.c_str());
    return search;
}

}  // namespace

void UpdaterStore_EnsureDirectory(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), 0755);
        if (err != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string(static_cast<int>(err)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& entryName, store_item_t entryKind)
    : basePath(base), name(entryName), kind(entryKind)
{
    settings.Load(BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const
{
    return Find(BuildPath(basePath.c_str(), name.c_str(), nullptr), fileName).hit;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const void* bytes, size_t length)
{
    if (!bytes)
        return aErrNotFound;
    std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
    aFile* file = aFile_OpenReplacement(path.c_str());
    if (!file)
        return aErrNotFound;
    aErr result = aFile_Write(file, bytes, length, nullptr);
    if (result != aErrNone) {
        aFile_AbandonReplacement(&file);
        return result;
    }
    return aFile_CommitReplacement(&file);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const
{
    std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
    if (!BirdFile::VerifyFile(path))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string& root) : basePath(root) { UpdaterStore_EnsureDirectory(basePath); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(SerialName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name)
{
    UpdaterStore_EnsureDirectory(BuildPath(basePath.c_str(), name.c_str(), nullptr));
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) { return FindDevice(SerialName(serial), item); }

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item)
{
    Search search = Find(basePath, name);
    if (search.hit && item) {
        size_t slash = search.found.rfind('/');
        *item = UpdaterStoreItem(search.found.substr(0, slash), search.found.substr(slash + 1),
                                 search.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return search.hit;
}

namespace {

struct Collect {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool CollectEntry(const aDirectoryListData* entry, void* user)
{
    auto* collect = static_cast<Collect*>(user);
    std::string path = entry->path;
    std::string leaf = path.substr(path.rfind('/') + 1);
    if (leaf.empty() || leaf[0] == '.')
        return true;
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory,
             static_cast<int>(entry->size));
    collect->items->emplace_back(collect->directory, leaf, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

}  // namespace

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items)
{
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    Collect collect{BuildPath(device.BasePath().c_str(), device.Name().c_str(), nullptr), &items};
    aDirectory_List(collect.directory.c_str(), CollectEntry, &collect);
    return true;
}
