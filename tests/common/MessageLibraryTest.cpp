// The message library opened on first use by the link core.
#include <gtest/gtest.h>

#include <pthread.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "aMessageLibrary.h"

namespace {

constexpr int kThreads = 8;
constexpr const char* kChildRole = "MESSAGE_LIBRARY_TEST_CHILD";
pthread_barrier_t gStart;

void* MakeSocket(void*)
{
    pthread_barrier_wait(&gStart);
    zsock_t* socket = zsock_new(ZMQ_PAIR);
    const bool made = socket != nullptr;
    zsock_destroy(&socket);
    return made ? &gStart : nullptr;
}

// Several threads of a program that has not used the library yet make their
// first sockets at once: each gets one, and the process lives on. Each round
// is this program run afresh, in that role.
TEST(MessageLibrary, FirstSocketsFromManyThreadsAtOnce)
{
    if (getenv(kChildRole)) {
        pthread_barrier_init(&gStart, nullptr, kThreads);
        pthread_t threads[kThreads];
        for (pthread_t& thread : threads)
            pthread_create(&thread, nullptr, MakeSocket, nullptr);
        int made = 0;
        for (pthread_t& thread : threads) {
            void* result = nullptr;
            pthread_join(thread, &result);
            made += result != nullptr;
        }
        _exit(made == kThreads ? 0 : 1);
    }
#ifdef __SANITIZE_THREAD__
    // The race is inside the library, which is not instrumented, and a
    // spawned instrumented copy of this program stalls at its first sockets.
    GTEST_SKIP() << "not under the thread sanitizer";
#endif
    setenv(kChildRole, "1", 1);
    char program[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=MessageLibrary.FirstSocketsFromManyThreadsAtOnce";
    char* argv[] = {program, filter, nullptr};
    for (int round = 0; round < 60; ++round) {
        pid_t child = 0;
        ASSERT_EQ(0, posix_spawn(&child, program, nullptr, nullptr, argv, environ));
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << status;
        if (HasFailure())
            break;
    }
    unsetenv(kChildRole);
}

}  // namespace
