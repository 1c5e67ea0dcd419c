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
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

constexpr int kSkipNoNamespace = 77;
constexpr int kSkipNoIpTool = 78;
constexpr int kSetupFailed = 79;
constexpr const char* kNoNamespace =
    "cannot create a network namespace here (needs root); discovery traffic is only ever sent inside one";
constexpr const char* kNoIpTool = "the ip tool (iproute2) is not installed";

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

bool SetUpLoopback() {
    return Ip("link set lo up") && Ip("link set lo multicast on") && Ip("route add 224.0.0.0/4 dev lo");
}

// 0, or the exit code that tells the parent why there is no namespace.
int EnterNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) return kSkipNoNamespace;
    if (!HaveIpTool()) return kSkipNoIpTool;
    if (!SetUpLoopback()) return kSetupFailed;
    return 0;
}

// Forks a child that enters a namespace and runs body; body fills text and
// says whether it succeeded. The parent gets the child's verdict and text.
NsResult RunChild(const std::function<bool(std::string&)>& body, int timeoutSeconds) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return {NsOutcome::Failed, "pipe"};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return {NsOutcome::Failed, "fork"};
    if (pid == 0) {
        ::close(pipefd[0]);
        ::alarm(unsigned(timeoutSeconds));
        const int entered = EnterNamespace();
        if (entered != 0) ::_exit(entered);
        std::string text;
        bool ok = false;
        try {
            ok = body(text);
        } catch (const std::exception& e) {
            text = std::string("the namespace child failed: ") + e.what();
        }
#if defined(__SANITIZE_ADDRESS__)
        // _exit skips the leak check at exit; children are where the code under test runs.
        if (ok && __lsan_do_recoverable_leak_check() != 0) {
            ok = false;
            text = "memory leaked (see the report above)";
        }
#endif
        WriteAll(pipefd[1], text);
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipefd[1]);
    std::string message;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) message.append(buf, std::size_t(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return {NsOutcome::Failed, "namespace child ended by signal " + std::to_string(WTERMSIG(status)) +
                                       (WTERMSIG(status) == SIGALRM ? " (timed out)" : "")};
    const int code = WEXITSTATUS(status);
    if (code == kSkipNoNamespace) return {NsOutcome::Skipped, kNoNamespace};
    if (code == kSkipNoIpTool) return {NsOutcome::Skipped, kNoIpTool};
    if (code == kSetupFailed) return {NsOutcome::Failed, "could not set up loopback in the namespace"};
    if (code == 0) return {NsOutcome::Passed, message};
    return {NsOutcome::Failed, message.empty() ? "namespace child failed with " + std::to_string(code) : message};
}

// The child's ProcessResult as text for the pipe, and back.
std::string Encode(const ProcessResult& r) {
    std::ostringstream s;
    s << r.exitCode << ' ' << int(r.timedOut) << ' ' << r.out.size() << ' ' << r.err.size() << '\n'
      << r.out << r.err;
    return s.str();
}

bool Decode(const std::string& text, ProcessResult& r) {
    std::istringstream s(text);
    int timedOut = 0;
    std::size_t outSize = 0, errSize = 0;
    if (!(s >> r.exitCode >> timedOut >> outSize >> errSize) || s.get() != '\n') return false;
    const std::size_t at = std::size_t(s.tellg());
    if (text.size() != at + outSize + errSize) return false;
    r.timedOut = timedOut != 0;
    r.out = text.substr(at, outSize);
    r.err = text.substr(at + outSize);
    return true;
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
    NsResult r = RunChild(
        [&](std::string& text) {
            text = body();
            return text.empty();
        },
        timeoutSeconds);
    if (r.outcome == NsOutcome::Passed) r.message.clear();
    return r;
}

IsolatedRun RunProcessInNetworkNamespace(const std::vector<std::string>& argv, const ProcessOptions& options) {
    IsolatedRun run;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options.timeout).count();
    run.ns = RunChild(
        [&](std::string& text) {
            text = Encode(RunProcess(argv, options));
            return true;
        },
        int(seconds) + 10);
    if (run.ns.outcome == NsOutcome::Passed) {
        if (!Decode(run.ns.message, run.process)) run.ns = {NsOutcome::Failed, "garbled result from the namespace child"};
        else run.ns.message.clear();
    }
    return run;
}

bool EnterNetworkNamespace(std::string* why) {
    switch (EnterNamespace()) {
    case 0:
        return true;
    case kSkipNoNamespace:
        *why = kNoNamespace;
        return false;
    case kSkipNoIpTool:
        *why = kNoIpTool;
        return false;
    default:
        *why = "could not set up loopback in the namespace";
        return false;
    }
}

bool AddVethPair(const std::string& nameA, const std::string& addressA, const std::string& nameB,
                 const std::string& addressB) {
    return Ip("link add " + nameA + " type veth peer name " + nameB) && Ip("addr add " + addressA + "/24 dev " + nameA) &&
           Ip("addr add " + addressB + "/24 dev " + nameB) && Ip("link set " + nameA + " up") &&
           Ip("link set " + nameB + " up") && WaitLinkUp(nameA) && WaitLinkUp(nameB);
}

}  // namespace testsupport
