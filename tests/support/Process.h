// Runs a program as a user would and keeps what it printed on each stream apart.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1;      // -1 when the program did not exit normally
    bool timedOut = false;
    std::string out;        // standard output
    std::string err;        // standard error
};

struct ProcessOptions {
    std::map<std::string, std::string> env;   // added to (or replacing in) the environment
    std::vector<std::string> unsetEnv;
    std::string workDir;
    std::string input;                         // written to standard input, then closed
    bool stdoutOnTerminal = false;             // standard output is a pseudo-terminal
    std::chrono::milliseconds timeout{30000};
};

// Runs argv[0] (a path) with argv; waits for it to end or kills it at the time-out.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// In a forked child: replaces the child by argv[0] (a path) with argv, or ends
// it with status 127 when that cannot be done.
[[noreturn]] void ExecOrExit(const std::vector<std::string>& argv);

// A fresh directory under TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);

}  // namespace testsupport
