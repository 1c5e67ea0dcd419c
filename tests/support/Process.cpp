#include "Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <ftw.h>

namespace testsupport {

namespace {

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Drains fd into sink; returns false once the other end is closed.
bool Drain(int fd, std::string& sink)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            sink.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        return false;  // EOF, or EIO from a pty whose slave side closed
    }
}

}  // namespace

void ExecOrExit(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    if (argv.empty())
        throw std::invalid_argument("RunProcess needs a program");

    int outPipe[2], errPipe[2], inPipe[2];
    int ptyMaster = -1, ptySlave = -1;
    if (pipe(errPipe) != 0 || pipe(inPipe) != 0)
        throw std::runtime_error("pipe failed");
    if (options.stdoutOnTerminal) {
        struct termios tio{};
        cfmakeraw(&tio);
        if (openpty(&ptyMaster, &ptySlave, nullptr, &tio, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        outPipe[0] = ptyMaster;
        outPipe[1] = ptySlave;
    } else if (pipe(outPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        for (const auto& name : options.unsetEnv)
            unsetenv(name.c_str());
        for (const auto& [name, value] : options.env)
            setenv(name.c_str(), value.c_str(), 1);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0)
            _exit(126);
        testsupport::ExecOrExit(argv);
    }

    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (!options.input.empty()) {
        ssize_t ignored = write(inPipe[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    close(inPipe[1]);
    SetNonBlocking(outPipe[0]);
    SetNonBlocking(errPipe[0]);

    ProcessResult result;
    bool outOpen = true, errOpen = true;
    int status = 0;
    bool exited = false;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (!exited || outOpen || errOpen) {
        struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        if (outOpen)
            outOpen = Drain(outPipe[0], result.out);
        if (errOpen)
            errOpen = Drain(errPipe[0], result.err);
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            // A pty master never reports EOF while we hold it; the child is gone, so
            // whatever is left is already buffered.
            if (options.stdoutOnTerminal) {
                Drain(outPipe[0], result.out);
                outOpen = false;
            }
        }
        if (!exited && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            exited = true;
            result.timedOut = true;
            Drain(outPipe[0], result.out);
            Drain(errPipe[0], result.err);
            break;
        }
        if (exited && std::chrono::steady_clock::now() > deadline + std::chrono::seconds(2))
            break;  // a grandchild holds the pipes open
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (!result.timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    // Tests may leave read-only directories behind; make them writable on the way.
    nftw(path_.c_str(),
         [](const char* p, const struct stat*, int type, struct FTW*) {
             if (type == FTW_DP)
                 return rmdir(p) == 0 ? 0 : (chmod(p, 0700), rmdir(p), 0);
             unlink(p);
             return 0;
         },
         16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace testsupport
