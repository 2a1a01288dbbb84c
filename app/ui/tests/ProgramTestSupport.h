#pragma once
// The `lumbrel` program on a fresh temporary home against a simulated
// backend of the test's own: each launch reads commands from the test and
// writes its output to a file of the home.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/backend/Backend.h"
#include "platform/backend/TransportBackend.h"

namespace programtest {

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the program (with extra environment assignments); its output
    // goes to a file.
    FILE* launch(const std::string& environment = "");
    // Runs the commands to the end of the input; the exit status.
    int run(const std::string& commands, const std::string& environment = "");
    // The output of the latest launch.
    std::string output() const;
    sim::TransportBackend& transport();

    std::filesystem::path home_;
    std::filesystem::path output_;
    int runs_ = 0;
    sim::Backend backend_;
};

}  // namespace programtest
