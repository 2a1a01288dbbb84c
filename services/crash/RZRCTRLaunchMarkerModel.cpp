#include "services/crash/RZRCTRLaunchMarkerModel.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRUtilities.h"

RZRCTRLaunchMarkerModel::RZRCTRLaunchMarkerModel(std::shared_ptr<RZRCTRFileManager> fileManager)
    : fileManager_(std::move(fileManager)) {}

std::string RZRCTRLaunchMarkerModel::launchFailureMarkerPath() const {
    return (std::filesystem::path(fileManager_->structurePath()) / "launchmarker").string();
}

bool RZRCTRLaunchMarkerModel::checkForAndCreateLaunchMarker() {
    if (launchFailureMarkerPresent()) {
        RZRCTRDebugLog(
            "[Crashtrace:Crash] Last launch failed: this may indicate a crash shortly after app "
            "launch.");
        return true;
    }
    createLaunchFailureMarker();
    return false;
}

bool RZRCTRLaunchMarkerModel::createLaunchFailureMarker() {
    const auto path = launchFailureMarkerPath();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    return ::close(fd) == 0;
}

bool RZRCTRLaunchMarkerModel::launchFailureMarkerPresent() const {
    std::error_code error;
    return std::filesystem::exists(launchFailureMarkerPath(), error);
}

bool RZRCTRLaunchMarkerModel::removeLaunchFailureMarker() {
    return fileManager_->removeItemAtPath(launchFailureMarkerPath());
}
