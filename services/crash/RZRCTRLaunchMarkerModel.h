#pragma once
// A marker file that exists while a launch is in progress: found at the
// next start, it means the previous launch ended before crash reporting was
// fully set up.

#include <memory>
#include <string>

#include "platform/foundation/Object.h"

class RZRCTRFileManager;

class RZRCTRLaunchMarkerModel : public NSObject {
  public:
    explicit RZRCTRLaunchMarkerModel(std::shared_ptr<RZRCTRFileManager> fileManager);
    std::string className() const override { return "RZRCTRLaunchMarkerModel"; }

    std::string launchFailureMarkerPath() const;
    // True when the previous launch left its marker (which stays);
    // otherwise creates it and answers false.
    bool checkForAndCreateLaunchMarker();
    bool createLaunchFailureMarker();
    bool launchFailureMarkerPresent() const;
    bool removeLaunchFailureMarker();

  private:
    std::shared_ptr<RZRCTRFileManager> fileManager_;
};
