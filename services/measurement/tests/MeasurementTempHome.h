#pragma once
// A fresh home folder (and fresh user defaults) for one test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMIdentity.h"

class MeasurementTempHome {
  public:
    MeasurementTempHome() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("measurement-test-" + std::to_string(::getpid()) + "-" + info->test_suite_name() +
                 "-" + info->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        override_ = std::make_unique<sim::ScopedHomeOverride>(path_.string());
        NSUserDefaults::resetForTesting();
        // An origin left by another test would make the engine's start wipe
        // what it stored, as if the app ID had changed.
        APMIdentifiers::sharedInstance().resetOriginForTesting();
    }
    ~MeasurementTempHome() {
        override_.reset();
        NSUserDefaults::resetForTesting();
        APMIdentifiers::sharedInstance().resetOriginForTesting();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

    // An application bundle `name` under the home with this information
    // list, made the process's main bundle; answers its folder.
    std::filesystem::path installMainBundle(const std::string& name, const Dictionary& info) const {
        const auto bundle = path_ / name;
        std::filesystem::create_directories(bundle / "Contents/Resources");
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
        EXPECT_TRUE(data);
        if (data)
            std::ofstream(bundle / "Contents/Info.plist", std::ios::binary)
                .write(reinterpret_cast<const char*>(data->data()),
                       static_cast<long>(data->size()));
        sim::setMainBundlePath(bundle.string());
        return bundle;
    }

  private:
    std::filesystem::path path_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
};
