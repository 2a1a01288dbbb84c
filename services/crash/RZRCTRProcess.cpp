#include "services/crash/RZRCTRProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/dispatch/WorkerThreads.h"
#include "platform/runtime/Runtime.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUnwind.h"

// Captures the registers of the enclosing function at this point; its frame
// stays live for a walk started further down.
#define RZRCTR_CAPTURE_OWN_REGISTERS(out)                                                         \
    do {                                                                                          \
        std::uint64_t rbx_, rbp_, rsp_, r12_, r13_, r14_, r15_, rip_;                             \
        asm volatile(                                                                             \
            "movq %%rbx, %0\n movq %%rbp, %1\n movq %%rsp, %2\n movq %%r12, %3\n"                 \
            "movq %%r13, %4\n movq %%r14, %5\n movq %%r15, %6\n leaq 0(%%rip), %7\n"              \
            : "=m"(rbx_), "=m"(rbp_), "=m"(rsp_), "=m"(r12_), "=m"(r13_), "=m"(r14_), "=m"(r15_), \
              "=r"(rip_));                                                                        \
        (out)->registers[REG_RBX] = static_cast<greg_t>(rbx_);                                    \
        (out)->registers[REG_RBP] = static_cast<greg_t>(rbp_);                                    \
        (out)->registers[REG_RSP] = static_cast<greg_t>(rsp_);                                    \
        (out)->registers[REG_R12] = static_cast<greg_t>(r12_);                                    \
        (out)->registers[REG_R13] = static_cast<greg_t>(r13_);                                    \
        (out)->registers[REG_R14] = static_cast<greg_t>(r14_);                                    \
        (out)->registers[REG_R15] = static_cast<greg_t>(r15_);                                    \
        (out)->registers[REG_RIP] = static_cast<greg_t>(rip_);                                    \
        (out)->valid = true;                                                                      \
    } while (0)

namespace {

constexpr int kFrameRepeatLimit = 10;
constexpr long kCaptureWaitNanoseconds = 250'000'000;
// The whole capture is bounded: the stacks of all threads together get this
// long and this many frames (a few megabytes of record), however deep or
// damaged they are. Another thread crashing meanwhile waits ten seconds.
constexpr std::int64_t kStackWalkNanoseconds = 3'000'000'000;
constexpr std::uint32_t kCaptureFrameBudget = kRZRCTRUnwindMaxFrames;
constexpr std::uint32_t kDeadlineCheckEvery = 1024;

timespec gCaptureStart;
std::uint32_t gFramesLeft;

struct CaptureSlot {
    pid_t thread;
    int captured;  // futex word: 1 once registers holds the thread's state
    greg_t registers[NGREG];
};
CaptureSlot gSlots[kRZRCTRProcessMaxThreads];
int gReleased;  // futex word: stopped threads wait until it is 1
int gCaptureSignal;

long futex(int* word, int operation, int value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

void captureHandler(int, siginfo_t*, void* raw) {
    const int savedErrno = errno;
    const auto* context = static_cast<const ucontext_t*>(raw);
    const pid_t self = RZRCTRProcessCurrentThread();
    for (CaptureSlot& slot : gSlots) {
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) != self) continue;
        std::memcpy(slot.registers, context->uc_mcontext.gregs, sizeof slot.registers);
        __atomic_store_n(&slot.captured, 1, __ATOMIC_RELEASE);
        futex(&slot.captured, FUTEX_WAKE, 1, nullptr);
        while (__atomic_load_n(&gReleased, __ATOMIC_ACQUIRE) == 0)
            futex(&gReleased, FUTEX_WAIT, 0, nullptr);
        break;
    }
    errno = savedErrno;
}

bool installCaptureHandler() {
    if (gCaptureSignal == 0) gCaptureSignal = SIGRTMIN + 4;
    struct sigaction action {};
    action.sa_sigaction = captureHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return ::sigaction(gCaptureSignal, &action, nullptr) == 0;
}

std::int64_t elapsedSince(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1'000'000'000LL + (now.tv_nsec - start.tv_nsec);
}

// Appends the decimal digits of value at out; returns the end.
char* appendDecimal(char* out, std::uint64_t value) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

// Reads a whole small file into buffer (NUL-terminated); its length or -1.
ssize_t readSmallFile(const char* path, char* buffer, std::size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t used = 0;
    while (used + 1 < size) {
        const ssize_t got = ::read(fd, buffer + used, size - 1 - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    buffer[used] = '\0';
    return static_cast<ssize_t>(used);
}

// The number after "key" in /proc/meminfo's text (kB), or 0.
std::uint64_t meminfoValue(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    if (at == nullptr) return 0;
    at += std::strlen(key);
    while (*at == ' ') ++at;
    std::uint64_t value = 0;
    while (*at >= '0' && *at <= '9') value = value * 10 + static_cast<std::uint64_t>(*at++ - '0');
    return value;
}

const CaptureSlot* slotOf(pid_t thread) {
    for (const CaptureSlot& slot : gSlots)
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) == thread) return &slot;
    return nullptr;
}

void writeRegisters(RZRCTRFile* file, const greg_t* registers) {
    static constexpr struct {
        const char* name;
        int index;
    } kNames[] = {
        {"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX},    {"rdx", REG_RDX}, {"rdi", REG_RDI},
        {"rsi", REG_RSI}, {"rbp", REG_RBP}, {"rsp", REG_RSP},    {"r8", REG_R8},   {"r9", REG_R9},
        {"r10", REG_R10}, {"r11", REG_R11}, {"r12", REG_R12},    {"r13", REG_R13}, {"r14", REG_R14},
        {"r15", REG_R15}, {"rip", REG_RIP}, {"rflags", REG_EFL},
    };
    RZRCTRFileWriteKey(file, "registers");
    RZRCTRFileOpenHash(file);
    for (const auto& entry : kNames)
        RZRCTRFileWriteUInt64Entry(file, entry.name,
                                   static_cast<std::uint64_t>(registers[entry.index]));
    RZRCTRFileCloseHash(file);
}

// Writes the stacktrace array and the repeat entries of one thread.
void writeStack(RZRCTRFile* file, const RZRCTRThreadContext& context) {
    RZRCTRUnwindRegisters registers;
    RZRCTRThreadContextToUnwindRegisters(context.registers, &registers);
    RZRCTRUnwindContext unwind;
    RZRCTRUnwindInit(&unwind, &registers);
    RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
    const std::uint32_t savedLevel =
        writable != nullptr ? __atomic_load_n(&writable->sdkLogLevel, __ATOMIC_SEQ_CST) : 0;
    std::uint64_t repeatedPC = 0;
    std::uint32_t repeatCount = 0;
    RZRCTRFileWriteKey(file, "stacktrace");
    RZRCTRFileOpenArray(file);
    for (std::uint32_t walked = 0; gFramesLeft > 0 && RZRCTRUnwindNextFrame(&unwind); ++walked) {
        --gFramesLeft;
        if (walked % kDeadlineCheckEvery == kDeadlineCheckEvery - 1 &&
            elapsedSince(gCaptureStart) >= kStackWalkNanoseconds) {
            RZRCTRSDKLogWarn("Stack walks took too long; ending them");
            gFramesLeft = 0;
        }
        const std::uint64_t pc = RZRCTRUnwindGetPC(&unwind);
        const std::uint32_t repeats = RZRCTRUnwindGetFrameRepeatCount(&unwind);
        if (repeatedPC != 0 && pc == repeatedPC) {
            repeatCount = repeats;
            continue;
        }
        if (repeats < kFrameRepeatLimit || repeatedPC != 0) {
            if (repeatedPC != 0 && writable != nullptr)
                __atomic_store_n(&writable->sdkLogLevel, savedLevel, __ATOMIC_SEQ_CST);
            RZRCTRFileAppendUInt64(file, pc);
            continue;
        }
        RZRCTRSDKLogWarn("Possible infinite recursion - suppressing logging");
        if (writable != nullptr)
            __atomic_store_n(&writable->sdkLogLevel, std::uint32_t{RZRCTRSDKLogLevelWarn},
                             __ATOMIC_SEQ_CST);
        repeatedPC = pc;
        repeatCount = repeats;
    }
    RZRCTRFileCloseArray(file);
    if (repeatedPC != 0) {
        RZRCTRFileWriteUInt64Entry(file, "repeated_pc", repeatedPC);
        RZRCTRFileWriteUInt64Entry(file, "repeat_count", repeatCount);
    }
    if (writable != nullptr) __atomic_store_n(&writable->sdkLogLevel, savedLevel, __ATOMIC_SEQ_CST);
}

}  // namespace

pid_t RZRCTRProcessCurrentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool RZRCTRProcessDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
    }
    return false;
}

void RZRCTRThreadContextToUnwindRegisters(const greg_t* registers, RZRCTRUnwindRegisters* out) {
    *out = RZRCTRUnwindRegisters{};
    out->architecture = RZRCTRUnwindArchitecture::x86_64;
    static constexpr int kDwarfOrder[16] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                            REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                            REG_R12, REG_R13, REG_R14, REG_R15};
    for (int i = 0; i < 16; ++i)
        out->value[i] = static_cast<std::uint64_t>(registers[kDwarfOrder[i]]);
    out->pc = static_cast<std::uint64_t>(registers[REG_RIP]);
}

bool RZRCTRProcessInit(RZRCTRProcess* process, pid_t crashedThread, const ucontext_t* userContext) {
    *process = RZRCTRProcess{};
    process->task = ::getpid();
    process->thisThread = RZRCTRProcessCurrentThread();
    process->crashedThread = crashedThread;
    process->userContext = userContext;
    ::clock_gettime(CLOCK_MONOTONIC, &gCaptureStart);
    gFramesLeft = kCaptureFrameBudget;
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        RZRCTRSDKLogError("Error: unable to get task threads");
        return false;
    }
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            if (process->threadCount >= kRZRCTRProcessMaxThreads) break;
            pid_t thread = 0;
            for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c)
                thread = thread * 10 + (*c - '0');
            process->threads[process->threadCount++] = thread;
        }
    }
    ::close(fd);
    return process->threadCount > 0;
}

bool RZRCTRProcessSuspendAllOtherThreads(RZRCTRProcess* process) {
    __atomic_store_n(&gReleased, 0, __ATOMIC_RELEASE);
    for (CaptureSlot& slot : gSlots) {
        __atomic_store_n(&slot.thread, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&slot.captured, 0, __ATOMIC_RELEASE);
    }
    if (!installCaptureHandler()) {
        RZRCTRSDKLogError("Error: unable to install the thread capture handler");
        return false;
    }
    bool all = true;
    for (std::uint32_t i = 0; i < process->threadCount; ++i) {
        const pid_t thread = process->threads[i];
        if (thread == process->thisThread) continue;
        __atomic_store_n(&gSlots[i].thread, thread, __ATOMIC_RELEASE);
        if (::syscall(SYS_tgkill, process->task, thread, gCaptureSignal) != 0) all = false;
    }
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (std::uint32_t i = 0; i < process->threadCount; ++i) {
        if (process->threads[i] == process->thisThread) continue;
        // A thread that has exited or blocks the signal never answers.
        while (__atomic_load_n(&gSlots[i].captured, __ATOMIC_ACQUIRE) == 0) {
            const std::int64_t left = kCaptureWaitNanoseconds - elapsedSince(start);
            if (left <= 0) break;
            const timespec timeout{0, static_cast<long>(left)};
            futex(&gSlots[i].captured, FUTEX_WAIT, 0, &timeout);
        }
        if (__atomic_load_n(&gSlots[i].captured, __ATOMIC_ACQUIRE) == 0) {
            RZRCTRSDKLogWarn("Thread %d did not stop", process->threads[i]);
            all = false;
        }
    }
    return all;
}

bool RZRCTRProcessResumeAllOtherThreads(RZRCTRProcess*) {
    __atomic_store_n(&gReleased, 1, __ATOMIC_RELEASE);
    futex(&gReleased, FUTEX_WAKE, INT32_MAX, nullptr);
    return true;
}

bool RZRCTRProcessGetThreadState(const RZRCTRProcess* process, pid_t thread,
                                 RZRCTRThreadContext* context) {
    if (context == nullptr) {
        RZRCTRSDKLogError("Invalid context supplied");
        return false;
    }
    // Never the registers of a thread read before.
    *context = RZRCTRThreadContext{};
    if (thread == process->crashedThread && process->userContext != nullptr) {
        std::memcpy(context->registers, process->userContext->uc_mcontext.gregs,
                    sizeof context->registers);
        context->valid = true;
        return true;
    }
    const CaptureSlot* slot = slotOf(thread);
    if (slot == nullptr || __atomic_load_n(&slot->captured, __ATOMIC_ACQUIRE) == 0) {
        RZRCTRSDKLogError("Failed to get thread state for thread: %d", thread);
        return false;
    }
    std::memcpy(context->registers, slot->registers, sizeof context->registers);
    context->valid = true;
    return true;
}

bool RZRCTRProcessRecordAllThreads(RZRCTRProcess* process, RZRCTRFile* file) {
    RZRCTRFileOpenSection(file, "threads");
    RZRCTRFileOpenArray(file);
    for (std::uint32_t i = 0; i < process->threadCount; ++i) {
        const pid_t thread = process->threads[i];
        RZRCTRSDKLogInfo("recording thread %d data", i);
        RZRCTRThreadContext context;
        if (thread == process->thisThread &&
            !(thread == process->crashedThread && process->userContext != nullptr)) {
            RZRCTRSDKLogInfo("Faking current thread");
            context = RZRCTRThreadContext{};
            RZRCTR_CAPTURE_OWN_REGISTERS(&context);
        } else if (!RZRCTRProcessGetThreadState(process, thread, &context)) {
            RZRCTRSDKLogError("Unable to get thread state");
        }
        RZRCTRFileOpenHash(file);
        RZRCTRFileWriteInt64Entry(file, "thread_id", thread);
        if (context.valid) {
            writeRegisters(file, context.registers);
            writeStack(file, context);
        }
        if (thread == process->crashedThread) RZRCTRFileWriteBoolEntry(file, "crashed", true);
        RZRCTRFileCloseHash(file);
    }
    RZRCTRFileCloseArray(file);
    RZRCTRFileCloseSection(file);
    RZRCTRSDKLogInfo("Completed recording all thread data");
    return true;
}

bool RZRCTRProcessGetObjCSelectorName(const greg_t* registers, const char** name,
                                      std::size_t* length) {
    const auto dispatcher = reinterpret_cast<std::uint64_t>(&objc_msgSendv);
    const auto pc = static_cast<std::uint64_t>(registers[REG_RIP]);
    if (pc < dispatcher || pc > dispatcher + kRZRCTRDispatcherHintLength) return false;
    // The dispatcher returns its result through a hidden pointer, so the
    // selector is its third argument; a selector refers to its interned
    // name, whose first word points at the characters.
    std::uint64_t characters = 0;
    if (!RZRCTRReadMemory(static_cast<std::uintptr_t>(registers[REG_RDX]), &characters,
                          sizeof characters) ||
        !RZRCTRReadString(characters, name, 128, length)) {
        RZRCTRSDKLogError("Unable to read the selector string");
        return false;
    }
    return true;
}

void RZRCTRProcessRecordRuntimeInfo(RZRCTRProcess* process, RZRCTRFile* file) {
    RZRCTRThreadContext crashed;
    if (process->crashedThread == process->thisThread && process->userContext == nullptr) {
        // The recording thread itself, not stopped inside the dispatcher.
    } else if (!RZRCTRProcessGetThreadState(process, process->crashedThread, &crashed)) {
        RZRCTRSDKLogError("unable to get crashed thread state");
    }
    const char* selector = nullptr;
    std::size_t selectorLength = 0;
    if (!crashed.valid ||
        !RZRCTRProcessGetObjCSelectorName(crashed.registers, &selector, &selectorLength)) {
        selector = "";
        selectorLength = 0;
    }
    RZRCTRFileOpenSection(file, "runtime");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteStringEntryWithLength(file, "objc_selector", selector, selectorLength);
    RZRCTRFileWriteKey(file, "crash_info_entries");
    RZRCTRFileOpenArray(file);
    const RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
    for (std::size_t i = 0; writable != nullptr && i < kRZRCTRBinaryImageNodeCount; ++i) {
        const RZRCTRBinaryImageRuntimeNode& node = writable->binaryImage.nodes[i];
        if (__atomic_load_n(&node.baseAddress, __ATOMIC_ACQUIRE) == 0 || node.crashInfo == nullptr)
            continue;
        std::uint64_t info[7];
        if (!RZRCTRReadMemory(reinterpret_cast<std::uintptr_t>(node.crashInfo), info, sizeof info))
            continue;
        RZRCTRSDKLogDebug("Found crash info with version %d", static_cast<int>(info[0]));
        if (info[0] >= 6 || info[1] == 0) continue;
        const char* message = nullptr;
        std::size_t length = 0;
        if (!RZRCTRReadString(info[1], &message, 256, &length)) {
            RZRCTRSDKLogWarn("Failed to copy crash info string");
            continue;
        }
        char copy[257];
        std::memcpy(copy, message, length);
        copy[length] = '\0';
        RZRCTRRedactUUID(copy);
        RZRCTRFileAppendHexString(file, copy);
    }
    RZRCTRFileCloseArray(file);
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}

void RZRCTRProcessRecordDispatchQueueNames(RZRCTRProcess* process, RZRCTRFile* file) {
    RZRCTRFileOpenSection(file, "dispatch_queue_names");
    RZRCTRFileOpenArray(file);
    for (std::uint32_t i = 0; i < process->threadCount; ++i) {
        char label[128];
        if (!dispatch_thread_copy_queue_label(process->threads[i], label, sizeof label))
            label[0] = '\0';
        RZRCTRFileAppendString(file, label);
    }
    RZRCTRFileCloseArray(file);
    RZRCTRFileCloseSection(file);
}

void RZRCTRProcessRecordThreadNames(RZRCTRProcess* process, RZRCTRFile* file) {
    RZRCTRFileOpenSection(file, "thread_names");
    RZRCTRFileOpenArray(file);
    for (std::uint32_t i = 0; i < process->threadCount; ++i) {
        char path[64] = "/proc/self/task/";
        char* end = appendDecimal(path + std::strlen(path),
                                  static_cast<std::uint64_t>(process->threads[i]));
        std::memcpy(end, "/comm", 6);
        char name[64];
        const ssize_t length = readSmallFile(path, name, sizeof name);
        if (length > 0 && name[length - 1] == '\n') name[length - 1] = '\0';
        RZRCTRFileAppendString(file, length > 0 ? name : "");
    }
    RZRCTRFileCloseArray(file);
    RZRCTRFileCloseSection(file);
}

void RZRCTRProcessRecordStats(RZRCTRProcess*, RZRCTRFile* file) {
    char meminfo[4096];
    if (readSmallFile("/proc/meminfo", meminfo, sizeof meminfo) <= 0) {
        RZRCTRSDKLogError("Unable to get process memory usage");
        return;
    }
    char statm[256];
    rusage usage{};
    if (readSmallFile("/proc/self/statm", statm, sizeof statm) <= 0 ||
        ::getrusage(RUSAGE_SELF, &usage) != 0) {
        RZRCTRSDKLogError("Unable to get process stats");
        return;
    }
    std::uint64_t pages[2] = {};
    const char* at = statm;
    for (std::uint64_t& value : pages) {
        while (*at == ' ') ++at;
        while (*at >= '0' && *at <= '9')
            value = value * 10 + static_cast<std::uint64_t>(*at++ - '0');
    }
    const std::uint64_t pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t freeBytes = meminfoValue(meminfo, "MemFree:") * 1024;
    const auto micros = [](const timeval& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * 1000000 +
               static_cast<std::uint64_t>(t.tv_usec);
    };
    RZRCTRFileOpenSection(file, "process_stats");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteUInt64Entry(file, "active", meminfoValue(meminfo, "Active:") * 1024);
    RZRCTRFileWriteUInt64Entry(file, "inactive", meminfoValue(meminfo, "Inactive:") * 1024);
    RZRCTRFileWriteUInt64Entry(file, "wired", meminfoValue(meminfo, "Mlocked:") * 1024);
    RZRCTRFileWriteUInt64Entry(file, "freeMem", freeBytes);
    RZRCTRFileWriteUInt64Entry(file, "free_mem", freeBytes);
    RZRCTRFileWriteUInt64Entry(file, "virtual", pages[0] * pageSize);
    RZRCTRFileWriteUInt64Entry(file, "resident", pages[1] * pageSize);
    RZRCTRFileWriteUInt64Entry(file, "user_time", micros(usage.ru_utime));
    RZRCTRFileWriteUInt64Entry(file, "sys_time", micros(usage.ru_stime));
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}
