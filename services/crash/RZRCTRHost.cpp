#include "services/crash/RZRCTRHost.h"

#include <sys/utsname.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/system/Sysctl.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

constexpr std::uint32_t kMinimumPageSize = 4096;
constexpr std::uint32_t kMaximumPageSize = 16384;

std::string cpuBrand() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) break;
        auto brand = line.substr(colon + 1);
        brand.erase(0, brand.find_first_not_of(" \t"));
        return brand;
    }
    return "(failed)";
}

}  // namespace

RZRCTROSVersion RZRCTRHostGetOSVersion() {
    const auto version = NSProcessInfo::processInfo()->operatingSystemVersion();
    return {version.majorVersion, version.minorVersion, version.patchVersion};
}

std::string RZRCTRHostOSDisplayVersion() {
    const auto version = RZRCTRHostGetOSVersion();
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
}

std::optional<std::string> RZRCTRHostOSBuildVersion() {
    struct utsname names;
    if (::uname(&names) != 0) return std::nullopt;
    return std::string(names.release);
}

std::optional<std::string> RZRCTRHostModelInfo() {
    return RZRCTRHostSysctlString("hw.model");
}

std::optional<std::string> RZRCTRHostSysctlString(const char* name) {
    if (!name) return std::nullopt;
    char buffer[128] = {};
    std::size_t size = sizeof(buffer);
    if (sysctlbyname(name, buffer, &size, nullptr, 0) != 0) return std::nullopt;
    return std::string(buffer, strnlen(buffer, size));
}

std::uint32_t RZRCTRHostClampPageSize(long reported) {
    if (reported <= 0) return kMaximumPageSize;
    if (reported < static_cast<long>(kMinimumPageSize)) return kMinimumPageSize;
    if (reported > static_cast<long>(kMaximumPageSize)) return kMaximumPageSize;
    return static_cast<std::uint32_t>(reported);
}

std::uint32_t RZRCTRHostGetPageSize() {
    if (RZRCTRHostIsRosettaTranslated()) {
        RZRCTRSDKLogInfo("Running under Rosetta 2 emulation. Using the arm64 page size.");
    }
    const long size = ::sysconf(_SC_PAGESIZE);
    if (size <= 0) {
        RZRCTRSDKLogError("sysconf failed while trying to get the page size");
        return kMaximumPageSize;
    }
    return RZRCTRHostClampPageSize(size);
}

bool RZRCTRHostIsRosettaTranslated() {
    std::int32_t translated = 0;
    std::size_t size = sizeof(translated);
    if (sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) != 0) {
        if (errno != ENOENT) {
            RZRCTRSDKLogError(
                "sysctlbyname failed while trying to get sysctl.proc_translated for Rosetta 2 "
                "translation");
        }
        return false;
    }
    return translated == 1;
}

std::string RZRCTRHostDocumentDirectory() {
    return sim::lumbrelHome() + "/Documents";
}

void RZRCTRHostInitialize(RZRCTRHostContext* context) {
    if (!context) return;
    context->pageSize = RZRCTRHostGetPageSize();
    const auto documents = RZRCTRHostDocumentDirectory();
    context->documentDirectoryPath =
        documents.empty() ? nullptr : RZRCTRDupString(documents.c_str());
}

bool RZRCTRHostRecord(RZRCTRFile* file) {
    struct utsname names;
    const bool named = ::uname(&names) == 0;
    const auto model = RZRCTRHostModelInfo();
    const auto build = RZRCTRHostOSBuildVersion();
    const auto display = RZRCTRHostOSDisplayVersion();
    const auto platform = RZRCTRApplicationGetPlatform();
    const auto reruzeraPlatform = RZRCTRApplicationGetReruzeraPlatform();
    const auto cpu = cpuBrand();

    RZRCTRFileOpenSection(file, "host");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteStringEntry(file, "model", model ? model->c_str() : nullptr);
    RZRCTRFileWriteStringEntry(file, "machine", named ? names.machine : "(failed)");
    RZRCTRFileWriteStringEntry(file, "cpu", cpu.c_str());
    RZRCTRFileWriteStringEntry(file, "os_build_version", build ? build->c_str() : nullptr);
    RZRCTRFileWriteStringEntry(file, "os_display_version", display.c_str());
    RZRCTRFileWriteStringEntry(file, "platform", platform.c_str());
    RZRCTRFileWriteStringEntry(file, "reruzera_platform", reruzeraPlatform.c_str());
    RZRCTRFileWriteStringEntry(file, "locale", uloc_getDefault());
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
    return true;
}
