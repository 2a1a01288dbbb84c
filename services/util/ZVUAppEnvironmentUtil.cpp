#include "services/util/ZVUAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/runtime/Runtime.h"
#include "platform/system/Sysctl.h"

namespace {
constexpr const char* kReceiptCheckKey = "ReruzeraAppStoreReceiptURLCheckEnabled";

std::uint32_t word(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
}  // namespace

bool ZVUAppEnvironmentUtil::mainExecutableIsEncrypted() {
    const mach_header* header = nullptr;
    for (std::uint32_t i = 0, n = _dyld_image_count(); i < n; ++i) {
        const mach_header* h = _dyld_get_image_header(i);
        if (h && h->filetype == MH_EXECUTE) {
            header = h;
            break;
        }
    }
    if (!header) return false;
    const bool is64 = header->magic == MH_MAGIC_64;
    const auto* cursor = reinterpret_cast<const std::uint8_t*>(header) +
                         (is64 ? sizeof(mach_header_64) : sizeof(mach_header));
    const std::uint32_t wanted = is64 ? LC_ENCRYPTION_INFO_64 : LC_ENCRYPTION_INFO;
    for (std::uint32_t i = 0; i < header->ncmds; ++i) {
        const std::uint32_t cmd = word(cursor);
        const std::uint32_t size = word(cursor + 4);
        if (cmd == wanted) return word(cursor + 16) != 0;
        if (size == 0) break;
        cursor += size;
    }
    return false;
}

bool ZVUAppEnvironmentUtil::isFromAppStore() {
    static const bool encrypted = mainExecutableIsEncrypted();
    if (isSimulator()) return false;
    if (isAppStoreReceiptSandbox()) return false;
    return encrypted;
}

std::string ZVUAppEnvironmentUtil::appStoreReceiptName() {
    auto bundle = NSBundle::mainBundle();
    std::filesystem::path dir =
        std::filesystem::path(bundle->bundlePath()) / "Contents/_MASReceipt";
    std::error_code ec;
    return std::filesystem::exists(dir / "sandboxReceipt", ec) ? "sandboxReceipt" : "receipt";
}

bool ZVUAppEnvironmentUtil::isAppStoreReceiptSandbox() {
    auto bundle = NSBundle::mainBundle();
    if (const Value* check = bundle->objectForInfoDictionaryKey(kReceiptCheckKey)) {
        if (check->isNumber() || check->isBool()) {
            if (check->asInt().value_or(1) == 0) return false;
        }
    }
    return appStoreReceiptName() == "sandboxReceipt";
}

std::optional<std::string> ZVUAppEnvironmentUtil::readDeviceModel() {
    std::size_t size = 0;
    if (sysctlbyname("hw.model", nullptr, &size, nullptr, 0) == 0 && size > 0) {
        std::vector<char> buffer(size);
        if (sysctlbyname("hw.model", buffer.data(), &size, nullptr, 0) == 0) {
            return std::string(buffer.data(), strnlen(buffer.data(), size));
        }
        return std::nullopt;
    }
    struct utsname info {};
    if (uname(&info) == 0) return std::string(info.machine);
    return std::nullopt;
}

std::optional<std::string> ZVUAppEnvironmentUtil::deviceModel() {
    static const std::optional<std::string> model = readDeviceModel();
    return model;
}

std::string ZVUAppEnvironmentUtil::systemVersion() {
    auto info = NSProcessInfo::processInfo();
    if (!info) return "0.0";
    auto v = info->operatingSystemVersion();
    std::string text = std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
    if (v.patchVersion != 0) text += "." + std::to_string(v.patchVersion);
    return text;
}

bool ZVUAppEnvironmentUtil::hasSwiftRuntime() {
    return objc_getClass("Swift._SwiftObject") != nullptr ||
           objc_getClass("_TtCs12_SwiftObject") != nullptr;
}
