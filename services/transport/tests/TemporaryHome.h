#pragma once
// A fresh home folder per test, removed afterwards.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/bundle/Home.h"

class TemporaryHome {
  public:
    TemporaryHome() : path_(make()), override_(path_) {}
    ~TemporaryHome() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    static std::string make() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "transport-XXXXXX").string();
        return mkdtemp(pattern.data()) ? pattern : std::string();
    }
    std::string path_;
    sim::ScopedHomeOverride override_;
};
