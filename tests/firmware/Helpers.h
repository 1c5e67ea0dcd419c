// Small helpers shared by the firmware suites.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>

#include "Log.h"

// Collects what the diagnostic log writes for the given packages while it lives.
class LogCapture {
public:
    explicit LogCapture(uint32_t packages) : file_(std::tmpfile()), packages_(packages)
    {
        Log::SetOutput(file_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(packages_);
        std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    bool Has(const std::string& text) const
    {
        std::string all;
        char buffer[4096];
        std::fflush(file_);
        std::rewind(file_);
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
            all.append(buffer, n);
        return all.find(text) != std::string::npos;
    }

private:
    FILE* file_;
    uint32_t packages_;
};

// The text of the std::runtime_error that f throws, empty when it throws none.
template <typename F>
std::string ErrorOf(F f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> Names(const std::string& directory)
{
    std::set<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.insert(entry->d_name);
        closedir(d);
    }
    return names;
}
