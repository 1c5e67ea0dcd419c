// A settings file of key=value lines, held in memory as a sorted map.
#pragma once

#include <map>
#include <string>

#include "aError.h"

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; with a path, loads it at once.
    explicit KeyValueStore(const char* path = nullptr);

    // Reads path (entries already held stay unless a line replaces them). A
    // missing file is created with its time keys (aErrNotFound). A file that
    // exists but cannot be opened is left alone and reported: aErrPermission
    // or aErrIO, and until a load succeeds Save(nullptr) will not replace it.
    // Otherwise returns the close result: 0 when a file was read.
    aErr Load(const char* path);
    // Writes every entry, replacing the file atomically; failures are logged
    // and leave the store modified. Without a path, a file the last load
    // could not read is not replaced.
    void Save(const char* path);

    const char* operator[](const std::string& key) const;
    std::string GetString(const std::string& key, const char* defaultValue) const;
    // These four add a missing key with an empty value (modified stays clear).
    int GetInt(const std::string& key, int defaultValue);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue);
    bool GetBOOL(const std::string& key, bool defaultValue);
    double GetDouble(const std::string& key, double defaultValue);

    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool AddHex(const std::string& key, uint32_t value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    const std::string& Path() const { return path; }
    bool IsModified() const { return modified; }
    // True after a load found the file but could not read it.
    bool IsUnreadable() const { return unreadable; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

private:
    void ParseLine(const std::string& line);
    // Save, waiting for the disk only when flushed.
    void SaveAs(const char* path, bool flushed);

    std::string path;
    std::map<std::string, std::string> entries;
    bool modified = false;
    bool unreadable = false;
};

// The local time in the 24-character ctime form, without its newline.
std::string KeyValueStore_TimeText();
