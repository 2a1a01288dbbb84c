#pragma once
// The configured service application. The application calls configure()
// once at start-up; the service components find the default app through
// defaultApp().
//
// This first version holds the name and the locked options; the component
// container comes with the core itself.

#include <map>
#include <memory>
#include <string>

#include "services/core/RZROptions.h"

class VUVEzu : public NSObject {
  public:
    static constexpr const char* kDefaultAppName = "__VUVEZU_DEFAULT";

    // Configures the default app from the bundle's configuration list.
    // Raises NSException "com.reruzera.core" when there is none, or when the
    // default app is configured already.
    static void configure();
    static void configureWithOptions(const std::shared_ptr<RZROptions>& options);
    static void configureWithName(const std::string& name,
                                  const std::shared_ptr<RZROptions>& options);
    // Null, after logging "I-COR000003", when none is configured.
    static std::shared_ptr<VUVEzu> defaultApp();
    static std::shared_ptr<VUVEzu> appNamed(const std::string& name);
    static bool isDefaultAppConfigured();
    // Forgets every app (tests).
    static void resetApps();

    VUVEzu(std::string name, std::shared_ptr<RZROptions> options, bool isDefaultApp)
        : name_(std::move(name)), options_(std::move(options)), isDefaultApp_(isDefaultApp) {}
    const std::string& name() const { return name_; }
    // A locked copy of the options.
    std::shared_ptr<RZROptions> options() const { return options_->lockedCopy(); }
    bool isDefaultApp() const { return isDefaultApp_; }
    std::string className() const override { return "VUVEzu"; }

  private:
    std::string name_;
    std::shared_ptr<RZROptions> options_;
    bool isDefaultApp_;
};
