#pragma once
// The about window's content: the logo, a version line that shows the build
// number while clicked on, a short description, the links and the maker.

#include <string>

#include "platform/swiftui/View.h"

struct AboutView {
    // Reads the build number and the version from the main bundle.
    AboutView();
    View body() const;

    State<bool> showBuildInfo{false};
    double contentMaxWidth = 280;
    double logoHeight = 126;
    double logoWidth = 320;
    std::string buildNumber;
    std::string version;
};
