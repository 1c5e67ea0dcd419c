#include "Background.h"

#include "Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& errPath)
{
    if (argv.empty())
        throw std::invalid_argument("BackgroundProcess needs a program");
    int outPipe[2];
    if (pipe(outPipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        if (!errPath.empty()) {
            int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, STDERR_FILENO);
                close(fd);
            }
        }
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            close(devNull);
        }
        ExecOrExit(argv);
    }
    close(outPipe[1]);
    out_ = outPipe[0];
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
    if (out_ >= 0)
        close(out_);
}

std::string BackgroundProcess::ReadLine(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0)
            return {};
        struct pollfd p = {out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool BackgroundProcess::Running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

int BackgroundProcess::Stop(std::chrono::milliseconds grace)
{
    if (!Running())
        return status_;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!Running())
            return status_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    status_ = -1;
    return status_;
}

int PortFromLine(const std::string& line)
{
    size_t colon = line.rfind(':');
    if (colon == std::string::npos)
        return 0;
    return std::atoi(line.c_str() + colon + 1);
}

}  // namespace testsupport
