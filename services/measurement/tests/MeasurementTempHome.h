#pragma once
// A fresh home folder (and fresh user defaults) for one test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"

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
    }
    ~MeasurementTempHome() {
        override_.reset();
        NSUserDefaults::resetForTesting();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
};
