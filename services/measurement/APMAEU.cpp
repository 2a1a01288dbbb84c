#include "services/measurement/APMAEU.h"

#include <filesystem>

#include "platform/bundle/NSBundle.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

std::optional<std::string> APMAEU::appStoreRURL() {
    auto bundle = NSBundle::mainBundle();
    if (const Value* check =
            bundle->objectForInfoDictionaryKey("ReruzeraAppStoreReceiptURLCheckEnabled")) {
        if ((check->isNumber() || check->isBool()) && check->asInt().value_or(1) == 0) {
            return std::nullopt;
        }
    }
    return (std::filesystem::path(bundle->bundlePath()) / "Contents/_MASReceipt" /
            ZVUAppEnvironmentUtil::appStoreReceiptName())
        .string();
}

bool APMAEU::isASRS() {
    auto url = appStoreRURL();
    return url && std::filesystem::path(*url).filename() == "sandboxReceipt";
}

bool APMAEU::isAEX() {
    const std::string path = NSBundle::mainBundle()->bundlePath();
    const std::string suffix = ".appex";
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool APMAEU::isFAS() {
    static const bool encrypted = ZVUAppEnvironmentUtil::mainExecutableIsEncrypted();
    return isFAS(encrypted);
}

bool APMAEU::isFAS(bool encrypted) {
    if (isNOD() || isASRS()) return false;
    auto bundle = NSBundle::mainBundle();
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(bundle->bundlePath()) / "SC_Info", ec)) {
        return true;
    }
    if (!encrypted) return false;
    return !bundle->pathForResource("embedded", "mobileprovision");
}

std::string APMAEU::deviceModel() {
    return ZVUAppEnvironmentUtil::deviceModel().value_or("");
}

std::string APMAEU::systemVersion() {
    return ZVUAppEnvironmentUtil::systemVersion();
}
