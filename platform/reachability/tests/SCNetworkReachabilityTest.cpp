#include "platform/reachability/SCNetworkReachability.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"

namespace {

struct Sink {
    std::vector<SCNetworkReachabilityFlags> calls;
    int retains = 0;
    int releases = 0;
};

void record(SCNetworkReachabilityRef, SCNetworkReachabilityFlags flags, void* info) {
    static_cast<Sink*>(info)->calls.push_back(flags);
}
const void* retainSink(const void* info) {
    ++static_cast<Sink*>(const_cast<void*>(info))->retains;
    return info;
}
void releaseSink(const void* info) {
    ++static_cast<Sink*>(const_cast<void*>(info))->releases;
}

class ReachabilityTest : public ::testing::Test {
  protected:
    void TearDown() override {
        sim::setReachabilityFlags(std::nullopt);
        sim::clearServiceHostOverride();
        sim::MainLoop::runUntilIdle();
    }
    SCNetworkReachabilityRef watch(const char* host, Sink& sink) {
        auto ref = SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, host);
        SCNetworkReachabilityContext context{0, &sink, retainSink, releaseSink, nullptr};
        EXPECT_TRUE(SCNetworkReachabilitySetCallback(ref, record, &context));
        EXPECT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(ref, CFRunLoopGetMain(),
                                                             kCFRunLoopCommonModes));
        return ref;
    }
};

}  // namespace

TEST_F(ReachabilityTest, LoopbackAndOverriddenServiceHostsAreLocalAndReachable) {
    EXPECT_EQ(SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, ""), nullptr);
    EXPECT_EQ(SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, nullptr), nullptr);
    const SCNetworkReachabilityFlags local = kSCNetworkReachabilityFlagsReachable |
                                             kSCNetworkReachabilityFlagsIsLocalAddress |
                                             kSCNetworkReachabilityFlagsIsDirect;
    EXPECT_EQ(sim::systemReachabilityFlags("127.0.0.1"), local);
    sim::setServiceHostOverride("http://127.0.0.1:9");
    auto ref = SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, "upload.example.com");
    SCNetworkReachabilityFlags flags = 0;
    ASSERT_TRUE(SCNetworkReachabilityGetFlags(ref, &flags));
    EXPECT_EQ(flags, local);
    CFRelease(ref);
}

TEST_F(ReachabilityTest, ScheduledHandlesHearTheCurrentFlagsThenOnlyChangesOnTheMainQueue) {
    sim::setReachabilityFlags(0);
    Sink sink;
    auto ref = watch("example.com", sink);
    EXPECT_TRUE(sink.calls.empty());  // never inline
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(sink.calls, std::vector<SCNetworkReachabilityFlags>{0});

    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(sink.calls,
              (std::vector<SCNetworkReachabilityFlags>{0, kSCNetworkReachabilityFlagsReachable}));

    EXPECT_TRUE(
        SCNetworkReachabilityUnscheduleFromRunLoop(ref, CFRunLoopGetMain(), kCFRunLoopCommonModes));
    sim::setReachabilityFlags(0);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(sink.calls.size(), 2u);
    EXPECT_EQ(sim::scheduledReachabilityCount(), 0u);
    CFRelease(ref);
    EXPECT_EQ(sink.retains, 1);
    EXPECT_EQ(sink.releases, 1);
}

TEST_F(ReachabilityTest, ReleasingDropsPendingCallbacksAndForeignRunLoopsAreRefused) {
    Sink sink;
    auto before = sim::reachabilityHandleCount();
    auto ref = watch("example.com", sink);
    CFRelease(ref);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(sink.calls.empty());
    EXPECT_EQ(sim::reachabilityHandleCount(), before);

    __CFRunLoop* other = reinterpret_cast<__CFRunLoop*>(&sink);
    auto second = SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, "example.com");
    EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(second, other, kCFRunLoopCommonModes));
    CFRelease(second);
}
