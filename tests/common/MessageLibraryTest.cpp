// The message library opened on first use by the link core.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "aMessageLibrary.h"

namespace {

constexpr int kThreads = 8;
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
// first sockets at once: each gets one, and the process lives on.
TEST(MessageLibrary, FirstSocketsFromManyThreadsAtOnce)
{
    for (int round = 0; round < 60; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
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
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << status;
    }
}

}  // namespace
