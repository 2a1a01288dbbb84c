#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/defaults/NSUserDefaults.h"

// Each test gets its own home folder and a suite of its own.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path home_;
    std::string suiteName_;
    std::shared_ptr<NSUserDefaults> suite_;
};
