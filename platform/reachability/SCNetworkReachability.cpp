#include "platform/reachability/SCNetworkReachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/NSURLSession.h"

struct __CFRunLoop {};

namespace {

struct Handle {
    std::string host;
    SCNetworkReachabilityCallBack callback = nullptr;
    SCNetworkReachabilityContext context;
    bool scheduled = false;
    bool released = false;
    std::optional<SCNetworkReachabilityFlags> lastReported;
};

struct Registry {
    std::mutex mutex;
    std::set<std::shared_ptr<Handle>> handles;
    std::optional<SCNetworkReachabilityFlags> injected;
    bool watching = false;
};

Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "127.0.0.1" || host == "::1" ||
           host.rfind("127.", 0) == 0;
}

// A default route through an interface that is up (and not loopback).
bool hasDefaultRoute() {
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line);  // header
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway;
        unsigned flags = 0;
        fields >> iface >> destination >> gateway >> std::hex >> flags;
        if (destination == "00000000" && (flags & 0x1) && iface != "lo") return true;
    }
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags,
            iface;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >>
            use >> flags >> iface;
        if (destination == std::string(32, '0') && prefix == "00" && iface != "lo" &&
            (std::stoul(flags, nullptr, 16) & 0x1)) {
            return true;
        }
    }
    return false;
}

SCNetworkReachabilityFlags flagsFor(const std::string& host) {
    {
        std::lock_guard lock(registry().mutex);
        if (registry().injected) return *registry().injected;
    }
    return sim::systemReachabilityFlags(host);
}

void deliver(const std::shared_ptr<Handle>& handle, bool onlyOnChange) {
    SCNetworkReachabilityFlags flags = flagsFor(handle->host);
    std::weak_ptr<Handle> weak = handle;
    {
        std::lock_guard lock(registry().mutex);
        if (!handle->scheduled || handle->released) return;
        if (onlyOnChange && handle->lastReported == flags) return;
        handle->lastReported = flags;
    }
    DispatchQueue::main()->async([weak, flags] {
        auto h = weak.lock();
        if (!h) return;
        SCNetworkReachabilityCallBack callback;
        void* info;
        {
            std::lock_guard lock(registry().mutex);
            if (!h->scheduled || h->released || !h->callback) return;
            callback = h->callback;
            info = h->context.info;
        }
        callback(reinterpret_cast<SCNetworkReachabilityRef>(h.get()), flags, info);
    });
}

void notifyAll() {
    std::vector<std::shared_ptr<Handle>> handles;
    {
        std::lock_guard lock(registry().mutex);
        handles.assign(registry().handles.begin(), registry().handles.end());
    }
    for (auto& h : handles) deliver(h, true);
}

// Watches the kernel's route and address changes; leaked at exit like the
// other platform threads.
void startWatcher() {
    {
        std::lock_guard lock(registry().mutex);
        if (registry().watching) return;
        registry().watching = true;
    }
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        ::close(fd);
        return;
    }
    std::thread([fd] {
        char buffer[8192];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, -1) <= 0) continue;
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) continue;
            // Drain a burst before recomputing.
            while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            }
            notifyAll();
        }
    }).detach();
}

Handle* handleOf(SCNetworkReachabilityRef ref) {
    return reinterpret_cast<Handle*>(ref);
}

std::shared_ptr<Handle> find(SCNetworkReachabilityRef ref) {
    std::lock_guard lock(registry().mutex);
    for (const auto& h : registry().handles) {
        if (h.get() == handleOf(ref)) return h;
    }
    return nullptr;
}

}  // namespace

CFRunLoopRef CFRunLoopGetMain() {
    static __CFRunLoop mainLoop;
    return &mainLoop;
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(CFAllocatorRef, const char* nodename) {
    if (!nodename || !*nodename) return nullptr;
    auto handle = std::make_shared<Handle>();
    handle->host = nodename;
    std::lock_guard lock(registry().mutex);
    registry().handles.insert(handle);
    return reinterpret_cast<SCNetworkReachabilityRef>(handle.get());
}

bool SCNetworkReachabilitySetCallback(SCNetworkReachabilityRef target,
                                      SCNetworkReachabilityCallBack callout,
                                      SCNetworkReachabilityContext* context) {
    auto handle = find(target);
    if (!handle) return false;
    SCNetworkReachabilityContext old;
    {
        std::lock_guard lock(registry().mutex);
        old = handle->context;
        handle->callback = callout;
        handle->context = context && callout ? *context : SCNetworkReachabilityContext{};
        if (handle->context.retain && handle->context.info) {
            handle->context.info = const_cast<void*>(handle->context.retain(handle->context.info));
        }
    }
    if (old.release && old.info) old.release(old.info);
    return true;
}

bool SCNetworkReachabilityScheduleWithRunLoop(SCNetworkReachabilityRef target, CFRunLoopRef runLoop,
                                              CFRunLoopMode) {
    auto handle = find(target);
    if (!handle || runLoop != CFRunLoopGetMain()) return false;
    {
        std::lock_guard lock(registry().mutex);
        if (handle->scheduled) return true;
        handle->scheduled = true;
        handle->lastReported.reset();
    }
    startWatcher();
    deliver(handle, false);
    return true;
}

bool SCNetworkReachabilityUnscheduleFromRunLoop(SCNetworkReachabilityRef target,
                                                CFRunLoopRef runLoop, CFRunLoopMode) {
    auto handle = find(target);
    if (!handle || runLoop != CFRunLoopGetMain()) return false;
    std::lock_guard lock(registry().mutex);
    handle->scheduled = false;
    return true;
}

bool SCNetworkReachabilityGetFlags(SCNetworkReachabilityRef target,
                                   SCNetworkReachabilityFlags* flags) {
    auto handle = find(target);
    if (!handle || !flags) return false;
    *flags = flagsFor(handle->host);
    return true;
}

void CFRelease(SCNetworkReachabilityRef target) {
    auto handle = find(target);
    if (!handle) return;
    SCNetworkReachabilityContext context;
    {
        std::lock_guard lock(registry().mutex);
        handle->released = true;
        handle->scheduled = false;
        context = handle->context;
        handle->context = {};
        registry().handles.erase(handle);
    }
    if (context.release && context.info) context.release(context.info);
}

namespace sim {

void setReachabilityFlags(std::optional<SCNetworkReachabilityFlags> flags) {
    {
        std::lock_guard lock(registry().mutex);
        registry().injected = flags;
    }
    notifyAll();
}

SCNetworkReachabilityFlags systemReachabilityFlags(const std::string& host) {
    std::string target = host;
    if (auto url = NSURL::URLWithString("https://" + host + "/")) {
        target = sim::resolveServiceURL(*url).host();
    }
    if (isLoopback(target)) {
        return kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
               kSCNetworkReachabilityFlagsIsDirect;
    }
    return hasDefaultRoute() ? SCNetworkReachabilityFlags{kSCNetworkReachabilityFlagsReachable}
                             : SCNetworkReachabilityFlags{0};
}

std::size_t reachabilityHandleCount() {
    std::lock_guard lock(registry().mutex);
    return registry().handles.size();
}

std::size_t scheduledReachabilityCount() {
    std::lock_guard lock(registry().mutex);
    std::size_t n = 0;
    for (const auto& h : registry().handles) n += h->scheduled ? 1 : 0;
    return n;
}

}  // namespace sim
