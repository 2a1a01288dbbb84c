#pragma once
// What the shell's and the windows' tests share: a home folder of their own
// per test, and questions about the analytics events sent.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/bundle/Home.h"

namespace uitest {

// A fresh folder named after the running test, made the home folder until
// this object goes; then the folder is removed.
class TemporaryHome {
  public:
    explicit TemporaryHome(const std::string& prefix);
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
};

std::size_t eventCount(const std::string& name);
// The parameter of the last event of that name.
std::optional<std::string> lastEventParameter(const std::string& name,
                                              const std::string& parameter);

}  // namespace uitest
