#include "ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

std::string UpdateServerBinary() { return UPDATE_SERVER_BINARY; }

ServerProcess::ServerProcess(const std::vector<std::string>& args) {
    static int counter = 0;
    errPath_ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/updsrv-test-" +
               std::to_string(getpid()) + "-" + std::to_string(++counter) + ".err";
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{UpdateServerBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + all[0]);
    }
    // The first line tells the port; a server that fails exits and closes the pipe.
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') firstLine_ += c;
    close(out[0]);
    const auto colon = firstLine_.rfind(':');
    if (colon != std::string::npos) port_ = std::atoi(firstLine_.c_str() + colon + 1);
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) Stop(SIGKILL);
    unlink(errPath_.c_str());
}

int ServerProcess::Stop(int sig, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

std::string ServerProcess::Log() const {
    std::ifstream in(errPath_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

std::string Dechunk(const std::string& raw) {
    std::string body;
    size_t at = 0;
    while (true) {
        const size_t eol = raw.find("\r\n", at);
        if (eol == std::string::npos) break;
        const size_t size = std::strtoul(raw.substr(at, eol - at).c_str(), nullptr, 16);
        at = eol + 2;
        body += raw.substr(at, size);   // a chunk cut short keeps what arrived
        if (size == 0 || at + size > raw.size()) break;
        at += size + 2;
    }
    return body;
}

}  // namespace

HttpReply ServerProcess::Get(const std::string& target, std::chrono::milliseconds timeout) const {
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return reply;
    }
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        close(fd);
        return reply;
    }
    std::string raw;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            reply.complete = true;
            break;
        }
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t split = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(raw.c_str() + 9);
    reply.headers = raw.substr(0, split);
    if (split != std::string::npos) {
        reply.body = raw.substr(split + 4);
        if (reply.headers.find("Transfer-Encoding: chunked") != std::string::npos) reply.body = Dechunk(reply.body);
    }
    return reply;
}
