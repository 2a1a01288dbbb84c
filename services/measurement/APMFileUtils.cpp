#include "services/measurement/APMFileUtils.h"

#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMMeasurement.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBackupAttribute = "user.lumbrel.excluded-from-backup";

std::string withPlistExtension(const std::string& name) {
    return name + ".plist";
}

bool endsWithPlist(const std::string& name) {
    return fs::path(name).extension() == ".plist";
}

void fillError(NSError* error, long long code, const std::string& text) {
    if (error)
        *error = NSError("NSPOSIXErrorDomain", code, {{NSError::NSLocalizedDescriptionKey, text}});
}

void removeDomain(const std::string& suiteName) {
    auto defaults = NSUserDefaults::initWithSuiteName(suiteName);
    if (!defaults) return;
    for (const auto& key : defaults->persistentDomain().keys()) defaults->removeObjectForKey(key);
}

}  // namespace

std::string APMMeasurementDirectoryPath(const std::string& fileName) {
    if (fileName.empty()) return "";
    std::string support = sim::applicationSupportPath();
    if (support.empty()) {
        APMMeasurement::monitor().logWithLevel(
            2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
        return "";
    }
    return (fs::path(support) / "Zevera/Measurement" / fileName).string();
}

std::string APMMeasurementPlistPath(const std::string& suiteName) {
    if (suiteName.empty()) return "";
    return APMMeasurementDirectoryPath(endsWithPlist(suiteName) ? suiteName
                                                                : withPlistExtension(suiteName));
}

std::string APMPreferencesPlistPath(const std::string& suiteName) {
    if (suiteName.empty()) return "";
    std::string library = sim::libraryPath();
    if (library.empty()) {
        APMMeasurement::monitor().logWithLevel(2, 19000,
                                               "NSSearchPath for Library directory is empty");
        return "";
    }
    return (fs::path(library) / "Preferences" / withPlistExtension(suiteName)).string();
}

bool APMRemoveFileAtPath(const std::string& path, NSError* error) {
    if (path.empty()) {
        fillError(error, EINVAL, "Received empty path for deleting file");
        return false;
    }
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) {
        fillError(error, ENOENT, "No such file: " + path);
        return false;
    }
    fs::remove_all(path, ec);
    if (ec) {
        fillError(error, ec.value(), ec.message());
        return false;
    }
    return true;
}

bool APMSetExcludedFromBackup(const std::string& path, NSError* error) {
    static const char value = '1';
    if (::setxattr(path.c_str(), kBackupAttribute, &value, 1, 0) != 0) {
        int err = errno;
        fillError(error, err,
                  std::string("Cannot mark file excluded from backup: ") +
                      std::generic_category().message(err));
        return false;
    }
    return true;
}

bool APMIsExcludedFromBackup(const std::string& path) {
    char value = 0;
    return ::getxattr(path.c_str(), kBackupAttribute, &value, 1) == 1 && value == '1';
}

bool APMMoveFile(const std::string& source, const std::string& destination, bool replace) {
    if (source.empty() || destination.empty()) return false;
    std::error_code ec;
    auto sourceStatus = fs::status(source, ec);
    if (!fs::exists(sourceStatus)) return true;
    if (fs::is_directory(sourceStatus)) return false;
    auto destinationStatus = fs::status(destination, ec);
    if (fs::exists(destinationStatus)) {
        if (fs::is_directory(destinationStatus)) return false;
        if (!replace) return APMRemoveFileAtPath(source);
        if (!APMRemoveFileAtPath(destination)) return false;
    }
    fs::create_directories(fs::path(destination).parent_path(), ec);
    if (ec) return false;
    fs::rename(source, destination, ec);
    return !ec;
}

bool APMRemoveUserDefaultsSuite(const std::string& suiteName) {
    if (suiteName.empty()) return false;
    if (!APMMoveFile(APMPreferencesPlistPath(suiteName), APMMeasurementPlistPath(suiteName),
                     false)) {
        return false;
    }
    // The store still holds the suite in memory; drop it without touching
    // the file that now lives in the measurement directory.
    removeDomain(suiteName);
    std::error_code ec;
    fs::remove(APMPreferencesPlistPath(suiteName), ec);
    return true;
}

bool APMRestoreUserDefaultsSuite(const std::string& suiteName) {
    if (suiteName.empty()) return false;
    std::string stored = APMMeasurementPlistPath(suiteName);
    std::optional<Dictionary> dictionary;
    if (auto bytes = sim::FileSystem::readFile(stored)) {
        if (auto value = PropertyListSerialization::propertyListWithData(*bytes)) {
            if (const Dictionary* d = value->asDictionary()) dictionary = *d;
        }
    }
    bool moved = APMMoveFile(stored, APMPreferencesPlistPath(suiteName), true);
    if (dictionary) {
        removeDomain(suiteName);
        auto defaults = NSUserDefaults::initWithSuiteName(suiteName);
        if (defaults) {
            for (const auto& [key, value] : *dictionary) defaults->setObject(value, key);
        }
    }
    return moved;
}
