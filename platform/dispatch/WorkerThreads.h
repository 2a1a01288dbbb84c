#pragma once
// What crash-time code may learn about the threads that run dispatch blocks,
// and a hook on the threads the stand-in starts itself.

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>

// Events of the introspection hook, numbered as on the platform.
enum : unsigned int {
    PTHREAD_INTROSPECTION_THREAD_CREATE = 1,
    PTHREAD_INTROSPECTION_THREAD_START = 2,
    PTHREAD_INTROSPECTION_THREAD_TERMINATE = 3,
    PTHREAD_INTROSPECTION_THREAD_DESTROY = 4,
};
using pthread_introspection_hook_t = void (*)(unsigned int event, pthread_t thread, void* addr,
                                              std::size_t size);

// Installs hook and returns the one it replaces, which the new hook should
// call on. The stand-in reports only the threads it starts, the dispatch
// pool's workers: START on the new thread before it runs any block,
// TERMINATE on it just before it leaves. addr and size are always 0.
pthread_introspection_hook_t pthread_introspection_hook_install(pthread_introspection_hook_t hook);

// Copies into out (NUL-terminated, cut to size) the label of the queue whose
// block the thread with kernel id `thread` is running now: the innermost
// one for nested syncs; "com.apple.main-thread" for the process's main
// thread outside any block; "" for any other thread. Lock-free and
// async-signal-safe, so crash-time code may call it while the thread is
// stopped anywhere; a thread stopped in the middle of changing its label
// reads as "". False only when size is 0.
bool dispatch_thread_copy_queue_label(pid_t thread, char* out, std::size_t size);
