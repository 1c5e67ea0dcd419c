#include "NetNamespace.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace disctest {

namespace {

constexpr int kSkipNoNamespace = 77;
constexpr int kSkipNoIpTool = 78;

bool HaveIpTool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(p, X_OK) == 0) return true;
    return false;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n <= 0) return;
        off += std::size_t(n);
    }
}

}  // namespace

bool Ip(const std::string& args) {
    const std::string cmd = "ip " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool WaitLinkUp(const std::string& name, int timeoutMs) {
    // sysfs shows the namespace it was mounted in, so ask the kernel directly.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < until) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
        up = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_RUNNING);
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return up;
}

unsigned int Addr(const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

NsResult RunInNetworkNamespace(const std::function<std::string()>& body, int timeoutSeconds) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return {NsOutcome::Failed, "pipe"};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return {NsOutcome::Failed, "fork"};
    if (pid == 0) {
        ::close(pipefd[0]);
        ::alarm(unsigned(timeoutSeconds));
        if (::unshare(CLONE_NEWNET) != 0) ::_exit(kSkipNoNamespace);
        if (!HaveIpTool()) ::_exit(kSkipNoIpTool);
        if (!Ip("link set lo up") || !Ip("link set lo multicast on") ||
            !Ip("route add 224.0.0.0/4 dev lo")) {
            WriteAll(pipefd[1], "could not set up loopback in the namespace");
            ::_exit(1);
        }
        std::string failure = body();
#if defined(__SANITIZE_ADDRESS__)
        // _exit skips the leak check at exit; children are where the code under test runs.
        if (failure.empty() && __lsan_do_recoverable_leak_check() != 0) failure = "memory leaked (see the report above)";
#endif
        WriteAll(pipefd[1], failure);
        ::_exit(failure.empty() ? 0 : 1);
    }
    ::close(pipefd[1]);
    std::string message;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) message.append(buf, std::size_t(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return {NsOutcome::Failed, "namespace child ended by signal " + std::to_string(WTERMSIG(status)) +
                                       (WTERMSIG(status) == SIGALRM ? " (timed out)" : "")};
    const int code = WEXITSTATUS(status);
    if (code == kSkipNoNamespace)
        return {NsOutcome::Skipped, "cannot create a network namespace here (needs root); discovery traffic "
                                    "is only ever sent inside one"};
    if (code == kSkipNoIpTool) return {NsOutcome::Skipped, "the ip tool (iproute2) is not installed"};
    if (code == 0) return {NsOutcome::Passed, ""};
    return {NsOutcome::Failed, message.empty() ? "namespace child failed with " + std::to_string(code) : message};
}

}  // namespace disctest
