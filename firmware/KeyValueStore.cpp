#include "KeyValueStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t kLineBuffer = 2048;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin]))
        ++begin;
    while (end > begin && IsSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string KeyValueStore_TimeText()
{
    time_t now = time(nullptr);
    char buffer[32] = {0};
    if (!ctime_r(&now, buffer))
        return {};
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

KeyValueStore::KeyValueStore(const char* loadPath)
{
    if (loadPath)
        Load(loadPath);
}

void KeyValueStore::ParseLine(const std::string& line)
{
    if (line.size() < 3 || line[0] == '#')
        return;
    size_t equals = line.find('=');
    std::string key = Trim(line.substr(0, equals));
    std::string value = equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
    entries[key] = value;
}

aErr KeyValueStore::Load(const char* loadPath)
{
    if (!loadPath)
        return aErrParam;
    aFile* file = aFile_Open(loadPath, aFileModeReadOnly);
    if (!file) {
        const int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", loadPath, error);
        // Only a file that is not there is made anew. One that exists but
        // cannot be read (no permission, an I/O error, too many open files)
        // still holds the device's history: it is kept, and no save replaces
        // it until a load of it succeeds.
        if (error != ENOENT && error != ENOTDIR) {
            path = loadPath;
            unreadable = true;
            return error == EACCES || error == EPERM ? aErrPermission : aErrIO;
        }
        unreadable = false;
        Add(KEY_CREATED_TIME, KeyValueStore_TimeText());
        // Nothing but the two times, made again if a crash loses them: the
        // file is not worth a wait for the disk.
        SaveAs(loadPath, false);
        path = loadPath;
        modified = false;
        return aErrNotFound;
    }
    path = loadPath;
    modified = false;
    unreadable = false;

    // Lines longer than the read buffer are gathered in pieces: stopping at
    // one would make the next save drop every entry after it.
    char buffer[kLineBuffer];
    std::string line;
    aErr status;
    for (;;) {
        size_t length = 0;
        status = aFile_ReadLine(file, buffer, sizeof buffer, &length);
        if (status == aErrOverrun) {
            line.append(buffer, length ? length : strnlen(buffer, sizeof buffer));
            continue;
        }
        if (status != aErrNone)
            break;
        line.append(buffer, length);
        ParseLine(line);
        line.clear();
    }
    if (!line.empty())
        ParseLine(line);
    const aErr closed = aFile_Close(&file);
    // A read that failed part-way leaves the entries after it unread: the
    // file is kept as if it could not be opened.
    if (status != aErrEOF) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", loadPath,
                 static_cast<int>(status));
        unreadable = true;
        return aErrIO;
    }
    return closed;
}

void KeyValueStore::Save(const char* savePath) { SaveAs(savePath, true); }

void KeyValueStore::SaveAs(const char* savePath, bool flushed)
{
    if (savePath) {
        path = savePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    if (modified)
        Add(KEY_UPDATED_TIME, KeyValueStore_TimeText());
    if (unreadable && !savePath) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - '%s' could not be read; not replacing it\n", path.c_str());
        return;
    }

    aFile* file = aFile_OpenReplacement(path.c_str());
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), errno);
        return;
    }
    // Written by length, not as C strings: a key or value read with a NUL byte
    // in it must not come back cut short, or as another key.
    std::string line;
    for (const auto& [key, value] : entries) {
        line.assign(key).append(1, '=').append(value).append(1, '\n');
        if (aFile_Write(file, line.data(), line.size(), nullptr) != aErrNone) {
            int error = errno;
            aFile_AbandonReplacement(&file);
            Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                     path.c_str(), error);
            return;
        }
    }
    if ((flushed ? aFile_CommitReplacement(&file) : aFile_CommitReplacementUnflushed(&file)) != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), errno);
        return;
    }
    modified = false;
    unreadable = false;
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const
{
    auto it = entries.find(key);
    if (it != entries.end())
        return it->second;
    return defaultValue ? defaultValue : "";
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : std::atoi(value.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : static_cast<uint32_t>(std::strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : std::atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue)
{
    const std::string& value = entries[key];
    return value.empty() ? defaultValue : std::atof(value.c_str());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value)
{
    auto it = entries.find(key);
    const std::string current = it == entries.end() ? std::string() : it->second;
    if (current != value)
        modified = true;
    entries[key] = value;
    return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) { return Add(key, std::string(value ? value : "")); }

bool KeyValueStore::Add(const std::string& key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string& key, double value)
{
    char text[64];
    snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    for (const auto& [key, value] : other.entries)
        entries[key] = value;
    if (!other.entries.empty())
        modified = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    modified = true;
    return true;
}
