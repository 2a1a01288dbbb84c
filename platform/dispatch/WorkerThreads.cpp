#include "platform/dispatch/WorkerThreads.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/dispatch/Internal.h"

namespace {

constexpr std::size_t kSlotCount = 512;
constexpr std::size_t kLabelSize = 128;
constexpr const char* kMainLabel = "com.apple.main-thread";

// One thread's current label. The owner changes it between two increments
// of sequence (odd while a change is under way); readers on other threads
// take only what they saw with the same even sequence before and after.
struct LabelSlot {
    pid_t thread;
    unsigned sequence;
    char label[kLabelSize];
};
LabelSlot gSlots[kSlotCount];
unsigned gForkGeneration;
pthread_introspection_hook_t gHook;

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// A forked child has only the forking thread: every slot is free again.
void afterForkInChild() {
    std::memset(static_cast<void*>(gSlots), 0, sizeof gSlots);
    __atomic_add_fetch(&gForkGeneration, 1, __ATOMIC_SEQ_CST);
}
const int gAtForkRegistered = ::pthread_atfork(nullptr, nullptr, afterForkInChild);

struct SlotHolder {
    LabelSlot* slot = nullptr;
    unsigned generation = 0;
    ~SlotHolder() {
        if (slot != nullptr && generation == __atomic_load_n(&gForkGeneration, __ATOMIC_SEQ_CST))
            __atomic_store_n(&slot->thread, 0, __ATOMIC_RELEASE);
    }
};

LabelSlot* ownSlot() {
    thread_local SlotHolder holder;
    const unsigned generation = __atomic_load_n(&gForkGeneration, __ATOMIC_SEQ_CST);
    if (holder.slot != nullptr && holder.generation == generation) return holder.slot;
    holder.slot = nullptr;
    holder.generation = generation;
    const pid_t self = currentThread();
    for (LabelSlot& slot : gSlots) {
        pid_t expected = 0;
        if (__atomic_compare_exchange_n(&slot.thread, &expected, self, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED)) {
            holder.slot = &slot;
            break;
        }
    }
    return holder.slot;  // null when every slot is taken: the thread reads as ""
}

}  // namespace

namespace sim::detail {

void noteCurrentQueue() {
    LabelSlot* slot = ownSlot();
    if (slot == nullptr) return;
    const auto& stack = frames();
    const char* label = stack.empty() ? "" : stack.back().queue->label().c_str();
    const std::size_t length = std::min(std::strlen(label), kLabelSize - 1);
    __atomic_add_fetch(&slot->sequence, 1, __ATOMIC_SEQ_CST);
    for (std::size_t i = 0; i < length; ++i)
        __atomic_store_n(&slot->label[i], label[i], __ATOMIC_RELAXED);
    __atomic_store_n(&slot->label[length], '\0', __ATOMIC_RELAXED);
    __atomic_add_fetch(&slot->sequence, 1, __ATOMIC_SEQ_CST);
}

void notifyThreadEvent(unsigned int event) {
    const pthread_introspection_hook_t hook = __atomic_load_n(&gHook, __ATOMIC_ACQUIRE);
    if (hook != nullptr) hook(event, ::pthread_self(), nullptr, 0);
}

}  // namespace sim::detail

pthread_introspection_hook_t pthread_introspection_hook_install(pthread_introspection_hook_t hook) {
    (void)gAtForkRegistered;
    return __atomic_exchange_n(&gHook, hook, __ATOMIC_ACQ_REL);
}

bool dispatch_thread_copy_queue_label(pid_t thread, char* out, std::size_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    for (const LabelSlot& slot : gSlots) {
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) != thread) continue;
        const unsigned before = __atomic_load_n(&slot.sequence, __ATOMIC_SEQ_CST);
        if ((before & 1U) != 0) return true;
        std::size_t i = 0;
        while (i + 1 < size && i + 1 < kLabelSize) {
            const char c = __atomic_load_n(&slot.label[i], __ATOMIC_RELAXED);
            if (c == '\0') break;
            out[i++] = c;
        }
        out[i] = '\0';
        if (__atomic_load_n(&slot.sequence, __ATOMIC_SEQ_CST) != before) out[0] = '\0';
        break;
    }
    if (out[0] == '\0' && thread == ::getpid()) {
        std::size_t i = 0;
        for (; i + 1 < size && kMainLabel[i] != '\0'; ++i) out[i] = kMainLabel[i];
        out[i] = '\0';
    }
    return true;
}
