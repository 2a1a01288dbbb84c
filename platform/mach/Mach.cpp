#include "platform/mach/Mach.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/mach/MachTesting.h"

namespace {

constexpr task_t kOwnTask = 0x103;
constexpr task_t kForeignTask = 0x203;
constexpr mach_port_name_t kFirstPortName = 0x1003;

struct Port {
    std::deque<std::vector<std::uint8_t>> messages;
    bool sendRight = false;
};

struct ExceptionEntry {
    mach_port_t port = MACH_PORT_NULL;
    exception_behavior_t behavior = 0;
    thread_state_flavor_t flavor = 0;
};

struct State {
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<mach_port_name_t, Port> ports;
    mach_port_name_t nextName = kFirstPortName;
    ExceptionEntry exceptionPorts[EXC_TYPES_COUNT];
    std::uint64_t generation = 0;  // bumped by reset: waiting receivers leave
};

State& state() {
    static auto* s = new State;
    return *s;
}

bool coversType(exception_mask_t mask, int type) {
    return (mask & (1U << type)) != 0;
}

}  // namespace

task_t mach_task_self() {
    return kOwnTask;
}

thread_t mach_thread_self() {
    return static_cast<thread_t>(::syscall(SYS_gettid));
}

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name) {
    if (task != kOwnTask || right != MACH_PORT_RIGHT_RECEIVE || name == nullptr)
        return KERN_INVALID_ARGUMENT;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    *name = s.nextName;
    s.nextName += 0x100;
    s.ports[*name];
    return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
    if (task != kOwnTask || name != poly || polyPoly != MACH_MSG_TYPE_MAKE_SEND)
        return KERN_INVALID_ARGUMENT;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    if (it == s.ports.end()) return KERN_INVALID_NAME;
    it->second.sendRight = true;
    return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
    if (task != kOwnTask) return KERN_INVALID_ARGUMENT;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.ports.erase(name) == 0) return KERN_INVALID_NAME;
    s.arrived.notify_all();
    return KERN_SUCCESS;
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior,
                                       thread_state_flavor_t flavor) {
    if (task != kOwnTask) return KERN_INVALID_ARGUMENT;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (port != MACH_PORT_NULL) {
        auto it = s.ports.find(port);
        if (it == s.ports.end() || !it->second.sendRight) return KERN_INVALID_RIGHT;
    }
    for (int type = 1; type < EXC_TYPES_COUNT; ++type)
        if (coversType(mask, type)) s.exceptionPorts[type] = {port, behavior, flavor};
    return KERN_SUCCESS;
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors,
                                       thread_state_flavor_t* flavors) {
    if (task != kOwnTask || count == nullptr) return KERN_INVALID_ARGUMENT;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const mach_msg_type_number_t capacity = *count;
    mach_msg_type_number_t used = 0;
    for (int type = 1; type < EXC_TYPES_COUNT; ++type) {
        const ExceptionEntry& entry = s.exceptionPorts[type];
        if (!coversType(mask, type) || entry.port == MACH_PORT_NULL) continue;
        mach_msg_type_number_t i = 0;
        while (i < used && !(ports[i] == entry.port && behaviors[i] == entry.behavior &&
                             flavors[i] == entry.flavor))
            ++i;
        if (i == used) {
            if (used == capacity) break;
            masks[used] = 0;
            ports[used] = entry.port;
            behaviors[used] = entry.behavior;
            flavors[used] = entry.flavor;
            ++used;
        }
        masks[i] |= 1U << type;
    }
    *count = used;
    return KERN_SUCCESS;
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors) {
    const kern_return_t read =
        task_get_exception_ports(task, mask, masks, count, ports, behaviors, flavors);
    if (read != KERN_SUCCESS) return read;
    return task_set_exception_ports(task, mask, port, behavior, flavor);
}

mach_msg_return_t mach_msg(mach_msg_header_t* message, mach_msg_option_t option,
                           mach_msg_size_t sendSize, mach_msg_size_t receiveSize,
                           mach_port_name_t receiveName, mach_msg_timeout_t, mach_port_name_t) {
    auto& s = state();
    std::unique_lock lock(s.mutex);
    if ((option & MACH_SEND_MSG) != 0) {
        auto it = s.ports.find(message->msgh_remote_port);
        if (it == s.ports.end() || sendSize < sizeof(mach_msg_header_t))
            return MACH_SEND_INVALID_DEST;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
        it->second.messages.emplace_back(bytes, bytes + sendSize);
        s.arrived.notify_all();
    }
    if ((option & MACH_RCV_MSG) == 0) return MACH_MSG_SUCCESS;
    const std::uint64_t generation = s.generation;
    for (;;) {
        auto it = s.ports.find(receiveName);
        if (it == s.ports.end() || s.generation != generation)
            return it == s.ports.end() && s.generation == generation ? MACH_RCV_INVALID_NAME
                                                                     : MACH_RCV_PORT_DIED;
        if (!it->second.messages.empty()) {
            std::vector<std::uint8_t>& front = it->second.messages.front();
            if (front.size() > receiveSize) {
                if ((option & MACH_RCV_LARGE) != 0) return MACH_RCV_TOO_LARGE;
                it->second.messages.pop_front();
                return MACH_RCV_TOO_LARGE;
            }
            std::memcpy(message, front.data(), front.size());
            it->second.messages.pop_front();
            return MACH_MSG_SUCCESS;
        }
        s.arrived.wait(lock);
    }
}

namespace sim {

kern_return_t MachExceptions::raise(pid_t thread, exception_type_t exception,
                                    const std::vector<mach_exception_data_type_t>& codes,
                                    task_t task) {
    if (exception <= 0 || exception >= EXC_TYPES_COUNT) return KERN_INVALID_ARGUMENT;
    mach_port_t handler = MACH_PORT_NULL;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        handler = s.exceptionPorts[exception].port;
    }
    if (handler == MACH_PORT_NULL) return KERN_FAILURE;
    mach_port_name_t reply = MACH_PORT_NULL;
    if (mach_port_allocate(kOwnTask, MACH_PORT_RIGHT_RECEIVE, &reply) != KERN_SUCCESS)
        return KERN_FAILURE;
    mach_exception_raise_request_t request{};
    request.Head.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                             MACH_MSGH_BITS_COMPLEX;
    request.Head.msgh_size = sizeof request - sizeof request.trailer;
    request.Head.msgh_remote_port = handler;
    request.Head.msgh_local_port = reply;
    request.Head.msgh_id = kMachExceptionRaiseId;
    request.msgh_body.msgh_descriptor_count = 2;
    request.thread.name = static_cast<mach_port_t>(thread);
    request.thread.disposition = MACH_MSG_TYPE_MOVE_SEND;
    request.task.name = task == MACH_PORT_NULL ? kOwnTask : task;
    request.task.disposition = MACH_MSG_TYPE_MOVE_SEND;
    request.exception = exception;
    request.codeCnt = static_cast<mach_msg_type_number_t>(codes.size() < 2 ? codes.size() : 2);
    for (mach_msg_type_number_t i = 0; i < request.codeCnt; ++i) request.code[i] = codes[i];
    kern_return_t result = mach_msg(&request.Head, MACH_SEND_MSG, sizeof request, 0, MACH_PORT_NULL,
                                    MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (result == MACH_MSG_SUCCESS) {
        mach_exception_raise_reply_t answer{};
        result = mach_msg(&answer.Head, MACH_RCV_MSG, 0, sizeof answer, reply,
                          MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
        if (result == MACH_MSG_SUCCESS)
            result =
                answer.Head.msgh_id == kMachExceptionRaiseId + 100 ? answer.RetCode : KERN_FAILURE;
    }
    mach_port_deallocate(kOwnTask, reply);
    return result;
}

void MachExceptions::reset() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.ports.clear();
    for (ExceptionEntry& entry : s.exceptionPorts) entry = {};
    ++s.generation;
    s.arrived.notify_all();
}

task_t MachExceptions::foreignTask() {
    return kForeignTask;
}

}  // namespace sim
