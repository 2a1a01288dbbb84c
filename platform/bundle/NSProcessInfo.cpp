#include "platform/bundle/NSProcessInfo.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

extern char** environ;

namespace {

std::mutex& simMutex() {
    static std::mutex m;
    return m;
}
std::optional<NSOperatingSystemVersion>& osOverride() {
    static std::optional<NSOperatingSystemVersion> v;
    return v;
}
std::string& modelOverride() {
    static std::string m;
    return m;
}

constexpr NSOperatingSystemVersion kDefaultVersion{13, 0, 0};
constexpr const char* kDefaultModel = "Macmini9,1";

}  // namespace

namespace sim {

void setOperatingSystemVersion(const NSOperatingSystemVersion& version) {
    std::lock_guard<std::mutex> lock(simMutex());
    osOverride() = version;
}

void clearOperatingSystemVersion() {
    std::lock_guard<std::mutex> lock(simMutex());
    osOverride().reset();
}

std::optional<NSOperatingSystemVersion> parseOperatingSystemVersion(const std::string& text) {
    long parts[3] = {0, 0, 0};
    std::size_t count = 0, i = 0;
    while (true) {
        if (count == 3 || i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
        long n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i] - '0');
            if (n > 1000000) return std::nullopt;
            ++i;
        }
        parts[count++] = n;
        if (i == text.size()) break;
        if (text[i] != '.') return std::nullopt;
        ++i;
    }
    return NSOperatingSystemVersion{parts[0], parts[1], parts[2]};
}

void setHostModel(std::string model) {
    std::lock_guard<std::mutex> lock(simMutex());
    modelOverride() = std::move(model);
}

void clearHostModel() {
    setHostModel(std::string());
}

std::string hostModel() {
    {
        std::lock_guard<std::mutex> lock(simMutex());
        if (!modelOverride().empty()) return modelOverride();
    }
    if (const char* env = std::getenv("LUMBREL_HOST_MODEL"); env && *env) return env;
    return kDefaultModel;
}

}  // namespace sim

std::shared_ptr<NSProcessInfo> NSProcessInfo::processInfo() {
    static const auto shared = std::make_shared<NSProcessInfo>();
    return shared;
}

int NSProcessInfo::processIdentifier() const {
    return static_cast<int>(getpid());
}

std::vector<std::string> NSProcessInfo::arguments() const {
    std::vector<std::string> args;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

std::map<std::string, std::string> NSProcessInfo::environment() const {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq == std::string::npos) continue;
        env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

std::string NSProcessInfo::processName() const {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.filename().empty()) return exe.filename().string();
    auto args = arguments();
    if (!args.empty()) return std::filesystem::path(args.front()).filename().string();
    return std::string();
}

std::string NSProcessInfo::hostName() const {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

std::string NSProcessInfo::globallyUniqueString() const {
    static std::atomic<std::uint64_t> counter{0};
    static std::mutex rngMutex;
    static std::mt19937_64 rng(std::random_device{}() ^
                               static_cast<std::uint64_t>(std::time(nullptr)) ^
                               (static_cast<std::uint64_t>(getpid()) << 32));
    std::uint64_t hi, lo;
    {
        std::lock_guard<std::mutex> lock(rngMutex);
        hi = rng();
        lo = rng();
    }
    hi = (hi & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;  // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // variant
    char out[96];
    std::snprintf(out, sizeof out, "%08llX-%04llX-%04llX-%04llX-%012llX-%d-%016llX",
                  static_cast<unsigned long long>(hi >> 32),
                  static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(hi & 0xFFFF),
                  static_cast<unsigned long long>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull), processIdentifier(),
                  static_cast<unsigned long long>(++counter));
    return out;
}

NSOperatingSystemVersion NSProcessInfo::operatingSystemVersion() const {
    {
        std::lock_guard<std::mutex> lock(simMutex());
        if (osOverride()) return *osOverride();
    }
    if (const char* env = std::getenv("LUMBREL_OS_VERSION"); env && *env) {
        if (auto v = sim::parseOperatingSystemVersion(env)) return *v;
    }
    return kDefaultVersion;
}

bool NSProcessInfo::isOperatingSystemAtLeastVersion(const NSOperatingSystemVersion& v) const {
    return operatingSystemVersion() >= v;
}

std::string NSProcessInfo::operatingSystemVersionString() const {
    auto v = operatingSystemVersion();
    std::string text =
        "Version " + std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
    if (v.patchVersion != 0) text += "." + std::to_string(v.patchVersion);
    // Darwin's major is macOS's + 9 (13 -> 22); the letter is the minor.
    long darwin = v.majorVersion >= 11 ? v.majorVersion + 9 : v.minorVersion + 4;
    char letter = static_cast<char>('A' + (v.majorVersion >= 11 ? v.minorVersion : 0) % 26);
    text +=
        " (Build " + std::to_string(darwin) + letter + std::to_string(100 + v.patchVersion) + ")";
    return text;
}

unsigned NSProcessInfo::processorCount() const {
    long n = sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

unsigned NSProcessInfo::activeProcessorCount() const {
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : processorCount();
}

std::uint64_t NSProcessInfo::physicalMemory() const {
    long pages = sysconf(_SC_PHYS_PAGES);
    long size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

double NSProcessInfo::systemUptime() const {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}
