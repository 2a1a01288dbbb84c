#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

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

// A codable enumeration stored as its text, like one with text raw values:
// a text that names no case fails to decode.
enum class Fruit { apple, pear };
inline void to_json(nlohmann::json& j, Fruit f) {
    j = f == Fruit::apple ? "apple" : "pear";
}
inline void from_json(const nlohmann::json& j, Fruit& f) {
    auto text = j.get<std::string>();
    if (text != "apple" && text != "pear") throw std::invalid_argument("no Fruit named " + text);
    f = text == "apple" ? Fruit::apple : Fruit::pear;
}
