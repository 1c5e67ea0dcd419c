// The local store: one directory per device under the store root, holding the
// images downloaded for it and its settings file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t { STORE_ITEM_FILE = 0, STORE_ITEM_DIRECTORY = 1, STORE_ITEM_NONE = 2 };

// One entry of the store (a device directory or a stored file) and its settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    // Binds the entry and loads base/name/.settings (created when missing).
    UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // Whether the name of some entry of base/name holds fileName.
    bool FileExists(const std::string& fileName) const;
    // Writes the bytes to base/name/fileName, replacing any file there
    // atomically; aErrNotFound for null bytes or a file that cannot be made.
    aErr WriteFile(const std::string& fileName, const void* bytes, size_t length);
    // Loads base/name/fileName; throws std::runtime_error ("Invalid bird " + path
    // when the quick check fails, or the loader's own reason).
    BirdFile ReadBirdFile(const std::string& fileName) const;

    const std::string& BasePath() const { return basePath; }
    const std::string& Name() const { return name; }
    store_item_t Kind() const { return kind; }
    KeyValueStore& Settings() { return settings; }
    const KeyValueStore& Settings() const { return settings; }

private:
    std::string basePath;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Ensures the root directory; throws std::runtime_error when it cannot be
    // made or is a file.
    explicit UpdaterStore(const std::string& root);

    const std::string& BasePath() const { return basePath; }
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);
    // Appends the device's stored entries (dot entries skipped). Always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

private:
    std::string basePath;
};

// Ensures path is a directory, throwing the store's messages when it cannot be.
void UpdaterStore_EnsureDirectory(const std::string& path);
