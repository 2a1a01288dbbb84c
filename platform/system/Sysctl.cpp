#include "platform/system/Sysctl.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/Clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::mutex& stateMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, Bytes>& overrides() {
    static std::map<std::string, Bytes> o;
    return o;
}
std::optional<std::uint32_t>& cryptIdSetting() {
    static std::optional<std::uint32_t> c;
    return c;
}
// Every header built stays alive, so pointers handed out never dangle.
std::deque<Bytes>& headers() {
    static std::deque<Bytes> h;
    return h;
}
const Bytes* currentHeader = nullptr;

Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}
template <class T>
Bytes scalar(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

// Linux keeps the boot time in /proc/stat ("btime <seconds>").
std::int64_t linuxBootTimeSeconds() {
    std::ifstream stat("/proc/stat");
    std::string word;
    while (stat >> word) {
        if (word != "btime") continue;
        long long seconds = 0;
        if (stat >> seconds) return seconds;
        break;
    }
    return 0;
}

// The platform's record: 64-bit seconds, 32-bit microseconds, padding. On the
// virtual clock the machine booted a fixed time before the virtual epoch, so
// uptime (wall clock minus boot time) moves with virtual time.
Bytes bootTimeRecord() {
    std::int64_t seconds = 0;
    if (sim::isVirtualClock()) {
        seconds =
            static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) -
            std::chrono::duration_cast<std::chrono::seconds>(sim::kVirtualEpoch.time_since_epoch())
                .count();
    } else {
        seconds = linuxBootTimeSeconds();
    }
    Bytes b(16, 0);
    std::memcpy(b.data(), &seconds, sizeof seconds);
    return b;
}

std::optional<Bytes> answer(const std::string& name) {
    {
        std::lock_guard lock(stateMutex());
        auto it = overrides().find(name);
        if (it != overrides().end()) return it->second;
    }
    auto info = NSProcessInfo::processInfo();
    if (name == "hw.model") return text(sim::hostModel());
    if (name == "hw.machine") return text("arm64");
    if (name == "hw.ncpu") return scalar(static_cast<std::int32_t>(info->processorCount()));
    if (name == "hw.memsize") return scalar(static_cast<std::int64_t>(info->physicalMemory()));
    if (name == "kern.ostype") return text("Darwin");
    if (name == "kern.hostname") return text(info->hostName());
    if (name == "kern.boottime") return bootTimeRecord();
    if (name == "kern.osproductversion") {
        auto v = info->operatingSystemVersion();
        std::string s = std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
        if (v.patchVersion != 0) s += "." + std::to_string(v.patchVersion);
        return text(s);
    }
    return std::nullopt;
}

void put32(Bytes& b, std::uint32_t v) {
    auto s = scalar(v);
    b.insert(b.end(), s.begin(), s.end());
}

const Bytes& buildHeaderLocked() {
    Bytes cmds;
    std::uint32_t ncmds = 1;
    put32(cmds, LC_UUID);
    put32(cmds, 24);
    for (int i = 0; i < 4; ++i) put32(cmds, 0x4C554D42u + static_cast<std::uint32_t>(i));
    if (cryptIdSetting()) {
        ++ncmds;
        put32(cmds, LC_ENCRYPTION_INFO_64);
        put32(cmds, 24);
        put32(cmds, 0x4000);  // cryptoff
        put32(cmds, 0x1000);  // cryptsize
        put32(cmds, *cryptIdSetting());
        put32(cmds, 0);  // pad
    }
    mach_header_64 h{};
    h.magic = MH_MAGIC_64;
    h.cputype = 0x0100000C;  // arm64
    h.filetype = MH_EXECUTE;
    h.ncmds = ncmds;
    h.sizeofcmds = static_cast<std::uint32_t>(cmds.size());
    Bytes all(sizeof h);
    std::memcpy(all.data(), &h, sizeof h);
    all.insert(all.end(), cmds.begin(), cmds.end());
    headers().push_back(std::move(all));
    currentHeader = &headers().back();
    return *currentHeader;
}

std::string executablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen) {
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto value = answer(name);
    if (!value) {
        errno = ENOENT;
        return -1;
    }
    if (newp != nullptr || newlen != 0) {
        errno = EPERM;
        return -1;
    }
    if (oldlenp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (oldp == nullptr) {
        *oldlenp = value->size();
        return 0;
    }
    if (*oldlenp < value->size()) {
        errno = ENOMEM;
        return -1;
    }
    if (!value->empty()) std::memcpy(oldp, value->data(), value->size());
    *oldlenp = value->size();
    return 0;
}

std::uint32_t _dyld_image_count() {
    return 1;
}

const mach_header* _dyld_get_image_header(std::uint32_t index) {
    if (index != 0) return nullptr;
    std::lock_guard lock(stateMutex());
    const Bytes& h = currentHeader ? *currentHeader : buildHeaderLocked();
    return reinterpret_cast<const mach_header*>(h.data());
}

const char* _dyld_get_image_name(std::uint32_t index) {
    if (index != 0) return nullptr;
    static const std::string path = executablePath();
    return path.c_str();
}

namespace sim {

void setSysctlOverride(const std::string& name, std::optional<std::vector<std::uint8_t>> bytes) {
    std::lock_guard lock(stateMutex());
    if (bytes) {
        overrides()[name] = std::move(*bytes);
    } else {
        overrides().erase(name);
    }
}

void clearSysctlOverrides() {
    std::lock_guard lock(stateMutex());
    overrides().clear();
}

void setMainExecutableCryptId(std::optional<std::uint32_t> cryptId) {
    std::lock_guard lock(stateMutex());
    cryptIdSetting() = cryptId;
    buildHeaderLocked();
}

}  // namespace sim
