#include "platform/mach/Mach.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "platform/mach/MachTesting.h"

namespace {

class MachTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::MachExceptions::reset(); }
    void TearDown() override { sim::MachExceptions::reset(); }

    mach_port_t makePort() {
        mach_port_t port = MACH_PORT_NULL;
        EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port),
                  KERN_SUCCESS);
        EXPECT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND),
                  KERN_SUCCESS);
        return port;
    }
};

TEST_F(MachTest, ARaisedExceptionReachesTheTasksPortAndWaitsForTheReply) {
    const mach_port_t port = makePort();
    ASSERT_EQ(
        task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, port,
                                 EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, THREAD_STATE_NONE),
        KERN_SUCCESS);
    const struct {
        exception_type_t exception;
        std::vector<mach_exception_data_type_t> codes;
        task_t task;
        kern_return_t answer;
    } cases[] = {
        {EXC_BAD_ACCESS, {KERN_INVALID_ADDRESS, 0x40}, MACH_PORT_NULL, KERN_SUCCESS},
        {EXC_ARITHMETIC, {1}, MACH_PORT_NULL, KERN_FAILURE},
        {EXC_BAD_ACCESS, {}, sim::MachExceptions::foreignTask(), KERN_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exception);
        const pid_t thread = static_cast<pid_t>(::syscall(SYS_gettid));
        std::thread server([&] {
            mach_exception_raise_request_t request{};
            ASSERT_EQ(mach_msg(&request.Head, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof request,
                               port, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL),
                      MACH_MSG_SUCCESS);
            EXPECT_EQ(request.Head.msgh_id, kMachExceptionRaiseId);
            EXPECT_EQ(request.thread.name, static_cast<mach_port_t>(thread));
            EXPECT_EQ(request.task.name, c.task == MACH_PORT_NULL ? mach_task_self() : c.task);
            EXPECT_EQ(request.exception, c.exception);
            ASSERT_EQ(request.codeCnt, c.codes.size());
            // The message is packed to 4 bytes, so the codes are read by value, never bound
            // to a reference.
            for (std::size_t i = 0; i < c.codes.size(); ++i) {
                const mach_exception_data_type_t code = request.code[i];
                EXPECT_EQ(code, c.codes[i]);
            }
            mach_exception_raise_reply_t reply{};
            reply.Head.msgh_bits = request.Head.msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
            reply.Head.msgh_size = sizeof reply;
            reply.Head.msgh_remote_port = request.Head.msgh_local_port;
            reply.Head.msgh_id = request.Head.msgh_id + 100;
            reply.RetCode = c.answer;
            EXPECT_EQ(mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL,
                               MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL),
                      MACH_MSG_SUCCESS);
        });
        EXPECT_EQ(sim::MachExceptions::raise(thread, c.exception, c.codes, c.task), c.answer);
        server.join();
    }
    // A type nobody handles becomes a signal.
    EXPECT_EQ(sim::MachExceptions::raise(1, EXC_BAD_INSTRUCTION, {}), KERN_FAILURE);
}

TEST_F(MachTest, SwappingReturnsTheEarlierPortsAndSettingPutsThemBack) {
    const mach_port_t earlier = makePort();
    const mach_port_t ours = makePort();
    ASSERT_EQ(task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_BREAKPOINT,
                                       earlier, EXCEPTION_DEFAULT, THREAD_STATE_NONE),
              KERN_SUCCESS);
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
    mach_msg_type_number_t count = EXC_TYPES_COUNT;
    const exception_mask_t mask = EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC;
    ASSERT_EQ(task_swap_exception_ports(mach_task_self(), mask, ours,
                                        EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, THREAD_STATE_NONE,
                                        masks, &count, ports, behaviors, flavors),
              KERN_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(masks[0], EXC_MASK_BAD_ACCESS);
    EXPECT_EQ(ports[0], earlier);
    EXPECT_EQ(behaviors[0], EXCEPTION_DEFAULT);

    count = EXC_TYPES_COUNT;
    ASSERT_EQ(task_get_exception_ports(mach_task_self(), mask | EXC_MASK_BREAKPOINT, masks, &count,
                                       ports, behaviors, flavors),
              KERN_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ports[0], ours);
    EXPECT_EQ(masks[0], mask);
    EXPECT_EQ(ports[1], earlier);
    EXPECT_EQ(masks[1], EXC_MASK_BREAKPOINT);

    // A port without a send right cannot be installed.
    mach_port_t bare = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &bare), KERN_SUCCESS);
    EXPECT_EQ(task_set_exception_ports(mach_task_self(), mask, bare, EXCEPTION_DEFAULT,
                                       THREAD_STATE_NONE),
              KERN_INVALID_RIGHT);
}

TEST_F(MachTest, MessagesLargerThanTheBufferStayQueued) {
    const mach_port_t port = makePort();
    mach_exception_raise_request_t big{};
    big.Head.msgh_remote_port = port;
    big.Head.msgh_id = 7;
    ASSERT_EQ(mach_msg(&big.Head, MACH_SEND_MSG, sizeof big, 0, MACH_PORT_NULL,
                       MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
    mach_exception_raise_reply_t small{};
    EXPECT_EQ(mach_msg(&small.Head, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof small, port,
                       MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL),
              MACH_RCV_TOO_LARGE);
    mach_exception_raise_request_t whole{};
    EXPECT_EQ(mach_msg(&whole.Head, MACH_RCV_MSG, 0, sizeof whole, port, MACH_MSG_TIMEOUT_NONE,
                       MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
    EXPECT_EQ(whole.Head.msgh_id, 7);
    ASSERT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    EXPECT_EQ(mach_msg(&whole.Head, MACH_RCV_MSG, 0, sizeof whole, port, MACH_MSG_TIMEOUT_NONE,
                       MACH_PORT_NULL),
              MACH_RCV_INVALID_NAME);
}

}  // namespace
