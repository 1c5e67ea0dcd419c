// Private network namespaces for tests and benchmarks: discovery traffic,
// fixed ports included, never leaves them and never meets other suites.
// Each has its loopback up, multicast on it and a multicast route through it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Process.h"

namespace testsupport {

enum class NsOutcome { Passed, Failed, Skipped };

struct NsResult {
    NsOutcome outcome = NsOutcome::Failed;
    std::string message;  // the failure or skip reason
};

// Forks; the child enters a new network namespace, then runs body. body
// returns "" on success or a failure text. Skipped when namespaces cannot be
// made here (not root) or the ip tool is missing.
NsResult RunInNetworkNamespace(const std::function<std::string()>& body, int timeoutSeconds = 30);

// RunProcess(argv, options) from a child in a new network namespace: the
// program and everything it starts see only that namespace. ns says whether
// it ran (Skipped with the reason when no namespace can be made).
struct IsolatedRun {
    NsResult ns;
    ProcessResult process;
};
IsolatedRun RunProcessInNetworkNamespace(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Moves the calling process into a new network namespace for the rest of its
// life; call it before any thread starts. False with the reason when that
// cannot be done here.
bool EnterNetworkNamespace(std::string* why);

// A veth pair in the current namespace, each end with its address (/24) and
// up; false when the kernel refused or a link did not come up.
bool AddVethPair(const std::string& nameA, const std::string& addressA, const std::string& nameB,
                 const std::string& addressB);

// Runs "ip <args>" quietly; true when it succeeded.
bool Ip(const std::string& args);

// Waits until the interface reports its link up; false after timeoutMs.
bool WaitLinkUp(const std::string& name, int timeoutMs = 3000);

// The network-order value of a dotted address.
unsigned int Addr(const char* dotted);

}  // namespace testsupport

#define RUN_IN_NETNS(...)                                                                \
    do {                                                                                 \
        const auto nsResult_ = testsupport::RunInNetworkNamespace(__VA_ARGS__);          \
        if (nsResult_.outcome == testsupport::NsOutcome::Skipped)                        \
            GTEST_SKIP() << nsResult_.message;                                           \
        EXPECT_EQ(nsResult_.outcome, testsupport::NsOutcome::Passed) << nsResult_.message; \
    } while (0)
