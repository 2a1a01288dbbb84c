#pragma once
// A fresh simulated desktop per test for the application's windows: its own
// home folder, the program's bundle, virtual time, one 1440 × 900 screen,
// and the windows, workspace and analytics stand-ins reset.

#include <gtest/gtest.h>
#include "app/ui/tests/UiTestSupport.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/bundle/Home.h"
#include "platform/swiftui/NSHostingView.h"

namespace windowtest {

class WindowsTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    static void settle();
    // Hosts a view in a hosting view of that size.
    static std::shared_ptr<NSHostingView> host(const View& view, NSSize size);

    static std::size_t eventCount(const std::string& name);
    static std::optional<std::string> lastEventParameter(const std::string& name,
                                                         const std::string& parameter);
    static std::vector<std::string> openedURLs();

  private:
    std::unique_ptr<uitest::TemporaryHome> home_;
};

// The nearest node of that kind, the node itself included.
RenderNode* up(RenderNode* node, const std::string& kind);

}  // namespace windowtest
