#pragma once
// Network reachability of a named host, with change callbacks on the main
// run loop. The flags come from the kernel's routing table
// (/proc/net/route, /proc/net/ipv6_route): a host is reachable while a
// default route over an interface that is up exists; loopback hosts, and
// hosts that the service-host override sends to loopback, always are.
// Changes are noticed through a netlink route socket. The control surface
// can replace the real flags with injected ones.
//
// Callbacks run on the main queue (pump sim::MainLoop). A newly scheduled
// handle gets one callback with its current flags; later callbacks come
// only when the flags change. Thread-safe.

#include <cstdint>
#include <optional>
#include <string>

using SCNetworkReachabilityFlags = std::uint32_t;
enum : SCNetworkReachabilityFlags {
    kSCNetworkReachabilityFlagsTransientConnection = 1u << 0,
    kSCNetworkReachabilityFlagsReachable = 1u << 1,
    kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2,
    kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3,
    kSCNetworkReachabilityFlagsInterventionRequired = 1u << 4,
    kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5,
    kSCNetworkReachabilityFlagsIsLocalAddress = 1u << 16,
    kSCNetworkReachabilityFlagsIsDirect = 1u << 17,
};

struct __SCNetworkReachability;
using SCNetworkReachabilityRef = __SCNetworkReachability*;
struct __CFAllocator;
using CFAllocatorRef = const __CFAllocator*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
struct __CFRunLoop;
using CFRunLoopRef = __CFRunLoop*;
using CFRunLoopMode = const char*;
inline constexpr CFRunLoopMode kCFRunLoopCommonModes = "kCFRunLoopCommonModes";
inline constexpr CFRunLoopMode kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";
CFRunLoopRef CFRunLoopGetMain();

struct SCNetworkReachabilityContext {
    long version = 0;
    void* info = nullptr;
    const void* (*retain)(const void* info) = nullptr;
    void (*release)(const void* info) = nullptr;
    const char* (*copyDescription)(const void* info) = nullptr;
};
using SCNetworkReachabilityCallBack = void (*)(SCNetworkReachabilityRef target,
                                               SCNetworkReachabilityFlags flags, void* info);

// Null for a null or empty name.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(CFAllocatorRef allocator,
                                                             const char* nodename);
// A null callback removes it. The context is copied; its retain and release
// functions are honoured.
bool SCNetworkReachabilitySetCallback(SCNetworkReachabilityRef target,
                                      SCNetworkReachabilityCallBack callout,
                                      SCNetworkReachabilityContext* context);
// Only the main run loop is supported; false for any other.
bool SCNetworkReachabilityScheduleWithRunLoop(SCNetworkReachabilityRef target, CFRunLoopRef runLoop,
                                              CFRunLoopMode runLoopMode);
bool SCNetworkReachabilityUnscheduleFromRunLoop(SCNetworkReachabilityRef target,
                                                CFRunLoopRef runLoop, CFRunLoopMode runLoopMode);
bool SCNetworkReachabilityGetFlags(SCNetworkReachabilityRef target,
                                   SCNetworkReachabilityFlags* flags);
// Unschedules and frees the handle; no callback runs afterwards.
void CFRelease(SCNetworkReachabilityRef target);

namespace sim {
// Every handle reports these flags instead of the real ones (nullopt: back
// to the routing table). Scheduled handles whose flags change are called.
void setReachabilityFlags(std::optional<SCNetworkReachabilityFlags> flags);
// The flags the routing table gives for a host now.
SCNetworkReachabilityFlags systemReachabilityFlags(const std::string& host);
// Handles alive / scheduled.
std::size_t reachabilityHandleCount();
std::size_t scheduledReachabilityCount();
}  // namespace sim
