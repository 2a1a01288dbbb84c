#include "platform/dispatch/WorkerThreads.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <semaphore>
#include <string>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"

namespace {

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

std::string labelOf(pid_t thread, std::size_t size = 128) {
    char out[128] = "unchanged";
    EXPECT_TRUE(dispatch_thread_copy_queue_label(thread, out, size));
    return out;
}

TEST(WorkerThreads, EachThreadReadsAsTheQueueItRunsNow) {
    auto outer = DispatchQueue::create("com.test.introspection.outer");
    auto inner = DispatchQueue::create("com.test.introspection.inner");
    std::binary_semaphore reached(0);
    std::binary_semaphore proceed(0);
    pid_t thread = 0;
    // Stops at each point of interest until the test has looked.
    const auto stop = [&] {
        reached.release();
        proceed.acquire();
    };
    std::thread syncing([&] {
        thread = currentThread();
        outer->sync([&] {
            inner->sync(stop);
            stop();
        });
        stop();
    });
    const struct {
        const char* where;
        const char* label;
    } cases[] = {
        {"nested sync", "com.test.introspection.inner"},
        {"back in the outer block", "com.test.introspection.outer"},
        {"outside any block", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        reached.acquire();
        EXPECT_EQ(labelOf(thread), c.label);
        proceed.release();
    }
    syncing.join();

    auto worker = DispatchQueue::create("com.test.introspection.async");
    pid_t workerThread = 0;
    worker->async([&] {
        workerThread = currentThread();
        stop();
    });
    reached.acquire();
    EXPECT_EQ(labelOf(workerThread), "com.test.introspection.async");
    EXPECT_EQ(labelOf(workerThread, 5), "com.");
    proceed.release();
    worker->sync([] {});

    EXPECT_EQ(labelOf(::getpid()), "com.apple.main-thread");
    EXPECT_EQ(labelOf(0), "");
}

thread_local bool tStarted;
void recordStart(unsigned int event, pthread_t, void*, std::size_t) {
    if (event == PTHREAD_INTROSPECTION_THREAD_START) tStarted = true;
}

// A forked child starts workers of its own; each is announced on itself
// before it runs a block, and its label is readable there.
TEST(WorkerThreads, AForkedChildAnnouncesItsOwnWorkers) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot start threads in the child of a multi-threaded
    // process, which is exactly what this test does.
    GTEST_SKIP() << "a multi-threaded fork cannot start threads under ThreadSanitizer";
#endif
    // Workers in this process, which the child does not have, and a label
    // slot held by this thread.
    auto warm = DispatchQueue::create("com.test.introspection.warm");
    warm->async([] {});
    warm->sync([] {});
    const pthread_introspection_hook_t earlier = pthread_introspection_hook_install(recordStart);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(20);  // a child whose block never runs ends instead of hanging
        auto queue = DispatchQueue::create("com.test.introspection.child");
        bool started = false;
        std::string label;
        // The forking thread, known by another id now.
        std::string ownLabel;
        queue->sync([&] {
            char out[64];
            dispatch_thread_copy_queue_label(currentThread(), out, sizeof out);
            ownLabel = out;
        });
        DispatchSemaphore done;
        queue->async([&] {
            started = tStarted;
            char out[64];
            dispatch_thread_copy_queue_label(currentThread(), out, sizeof out);
            label = out;
            done.signal();
        });
        done.wait();
        ::_exit(started && label == "com.test.introspection.child" &&
                        ownLabel == "com.test.introspection.child"
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    pthread_introspection_hook_install(earlier);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
