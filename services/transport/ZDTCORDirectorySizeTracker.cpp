#include "services/transport/ZDTCORDirectorySizeTracker.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

ZDTCORDirectorySizeTracker::ZDTCORDirectorySizeTracker(std::string directoryPath)
    : directoryPath_(std::move(directoryPath)) {}

std::uint64_t ZDTCORDirectorySizeTracker::directoryContentSize() {
    if (!cachedSizeBytes_) cachedSizeBytes_ = calculateDirectoryContentSize();
    return *cachedSizeBytes_;
}

bool ZDTCORDirectorySizeTracker::contains(const std::string& path) const {
    return path.rfind(directoryPath_, 0) == 0;
}

void ZDTCORDirectorySizeTracker::fileWasAddedAtPath(const std::string& path, std::uint64_t size) {
    if (!contains(path)) return;
    cachedSizeBytes_ = directoryContentSize() + size;
}

void ZDTCORDirectorySizeTracker::fileWasRemovedAtPath(const std::string& path, std::uint64_t size) {
    if (!contains(path)) return;
    const std::uint64_t current = directoryContentSize();
    cachedSizeBytes_ = current > size ? current - size : 0;
}

std::uint64_t ZDTCORDirectorySizeTracker::calculateDirectoryContentSize() const {
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(directoryPath_,
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec) return 0;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) {
            ec.clear();
            continue;
        }
        const std::string name = it->path().filename().string();
        if (!name.empty() && name[0] == '.') {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::regular) {
            total += fileSizeAtPath(it->path().string());
        }
    }
    return total;
}

std::uint64_t ZDTCORDirectorySizeTracker::fileSizeAtPath(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}
