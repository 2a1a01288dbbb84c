#pragma once
// Mach ports and task exception ports, for code written against the
// platform's exception delivery. Linux has no such mechanism: ports here are
// in-process message queues, and exceptions reach a task's exception port
// only when a test or the console raises one (MachTesting.h); a real fault
// always arrives as a signal.
//
// Guarantees:
//  * A message sent to a port is received whole, in FIFO order per port, by
//    the thread that receives on it; a receive without a timeout blocks until
//    a message arrives or the port is destroyed (MACH_RCV_PORT_DIED).
//  * A message larger than the receive size stays queued: MACH_RCV_TOO_LARGE.
//  * Thread ports are the threads' kernel ids; the own task is
//    mach_task_self().

#include <cstdint>

using kern_return_t = int;
using mach_msg_return_t = kern_return_t;
using mach_port_t = std::uint32_t;
using mach_port_name_t = mach_port_t;
using mach_port_right_t = std::uint32_t;
using mach_msg_type_name_t = std::uint32_t;
using mach_msg_option_t = std::int32_t;
using mach_msg_size_t = std::uint32_t;
using mach_msg_bits_t = std::uint32_t;
using mach_msg_id_t = std::int32_t;
using mach_msg_timeout_t = std::uint32_t;
using mach_msg_type_number_t = std::uint32_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using exception_type_t = std::int32_t;
using exception_mask_t = std::uint32_t;
using exception_behavior_t = std::int32_t;
using thread_state_flavor_t = std::int32_t;
using mach_exception_data_type_t = std::int64_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;

inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000U;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_REMOTE_MASK = 0x1fU;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
    return remote | (local << 8);
}

inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_CRASH = 10;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1U << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1U << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1U << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1U << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_CRASH = 1U << EXC_CRASH;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1U << EXC_GUARD;
inline constexpr int EXC_TYPES_COUNT = 14;
inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<std::int32_t>(0x80000000U);
inline constexpr thread_state_flavor_t THREAD_STATE_NONE = 5;
inline constexpr std::int64_t KERN_INVALID_ADDRESS = 1;
inline constexpr std::int64_t KERN_PROTECTION_FAILURE = 2;

struct mach_msg_header_t {
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    mach_port_name_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
};
struct mach_msg_body_t {
    std::uint32_t msgh_descriptor_count;
};
struct mach_msg_port_descriptor_t {
    mach_port_t name;
    std::uint32_t pad1;
    std::uint16_t pad2;
    std::uint8_t disposition;
    std::uint8_t type;
};
struct NDR_record_t {
    std::uint8_t bytes[8];
};
struct mach_msg_trailer_t {
    std::uint32_t msgh_trailer_type;
    std::uint32_t msgh_trailer_size;
};

// The exception request of the 64-bit-code behaviour, and its reply.
inline constexpr mach_msg_id_t kMachExceptionRaiseId = 2405;
#pragma pack(push, 4)
struct mach_exception_raise_request_t {
    mach_msg_header_t Head;
    mach_msg_body_t msgh_body;
    mach_msg_port_descriptor_t thread;
    mach_msg_port_descriptor_t task;
    NDR_record_t NDR;
    exception_type_t exception;
    mach_msg_type_number_t codeCnt;
    mach_exception_data_type_t code[2];
    mach_msg_trailer_t trailer;
};
struct mach_exception_raise_reply_t {
    mach_msg_header_t Head;
    NDR_record_t NDR;
    kern_return_t RetCode;
};
#pragma pack(pop)

task_t mach_task_self();
thread_t mach_thread_self();

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
// Destroys the port: waiting receivers get MACH_RCV_PORT_DIED.
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor);
// Installs port for mask and returns the earlier entries that mask covered,
// one per distinct (port, behavior, flavor), with the mask bits each had.
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors);
kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors,
                                       thread_state_flavor_t* flavors);

mach_msg_return_t mach_msg(mach_msg_header_t* message, mach_msg_option_t option,
                           mach_msg_size_t sendSize, mach_msg_size_t receiveSize,
                           mach_port_name_t receiveName, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);
