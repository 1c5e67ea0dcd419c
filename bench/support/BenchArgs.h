// What every benchmark program reads its figures with: a monotonic clock in
// seconds and "--name=N" options.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace bench {

inline double Seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Sets *value from the last word "name=N" of the command line; false when none.
inline bool Option(int argc, char** argv, const char* name, long* value)
{
    const std::string prefix = std::string(name) + "=";
    bool found = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind(prefix, 0) == 0) {
            *value = std::atol(argv[i] + prefix.size());
            found = true;
        }
    return found;
}

}  // namespace bench
