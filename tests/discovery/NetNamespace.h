// Runs test bodies inside private network namespaces so discovery traffic,
// fixed ports included, never leaves the test and never meets other suites.
#pragma once

#include <functional>
#include <string>

namespace disctest {

enum class NsOutcome { Passed, Failed, Skipped };

struct NsResult {
    NsOutcome outcome = NsOutcome::Failed;
    std::string message;  // the failure or skip reason
};

// Forks; the child enters a new network namespace with loopback up,
// multicast on it and a multicast route through it, then runs body. body
// returns "" on success or a failure text. Skipped when namespaces cannot be
// made here (not root) or the ip tool is missing.
NsResult RunInNetworkNamespace(const std::function<std::string()>& body, int timeoutSeconds = 30);

// Runs "ip <args>" quietly; true when it succeeded.
bool Ip(const std::string& args);

// Waits until the interface reports its link up; false after timeoutMs.
bool WaitLinkUp(const std::string& name, int timeoutMs = 3000);

// The network-order value of a dotted address.
unsigned int Addr(const char* dotted);

}  // namespace disctest

#define RUN_IN_NETNS(...)                                               \
    do {                                                                \
        const auto nsResult_ = disctest::RunInNetworkNamespace(__VA_ARGS__);   \
        if (nsResult_.outcome == disctest::NsOutcome::Skipped)          \
            GTEST_SKIP() << nsResult_.message;                          \
        EXPECT_EQ(nsResult_.outcome, disctest::NsOutcome::Passed) << nsResult_.message; \
    } while (0)
