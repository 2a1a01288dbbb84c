#pragma once
// Whether this Mac is a laptop running with its lid closed (external
// displays only). While it is, the built-in microphone is treated as
// unusable, except on the models the remote list
// "macsThatCanAccessMicInClamshellMode" names.
//
// Created by the shell at start-up, before the mute engine; observation
// starts once the first remote-configuration fetch has finished
// (startObserving). Screen changes are delivered on the main queue; when the
// lid is found closed, the engine of the application delegate is asked to
// choose its input device again. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

class NSNotificationObserver;
class NSScreen;

class ClamshellObserver : public NSObject {
  public:
    // Reads the model identifier (macModelName); a laptop is a model that
    // begins with "MacBook".
    ClamshellObserver();
    ~ClamshellObserver() override;

    std::string className() const override { return "ClamshellObserver"; }

    bool hasClamshellMode() const { return hasClamshellMode_; }
    bool isInClamshellMode() const { return isInClamshellMode_; }
    const std::optional<std::string>& macModelName() const { return macModelName_; }
    bool isObserving() const { return observer_ != nullptr; }

    // Starts following screen changes (laptops of models not allowed only)
    // and evaluates once. Calling it again replaces the registration.
    void startObserving();
    // Recomputes isInClamshellMode from the screens; reports each new screen
    // name ("display_encountered").
    void updateClamshellState();
    bool canAccessMicInClamshellMode() const;

  private:
    void inspectScreen(const NSScreen& screen, bool& foundBuiltIn);

    bool hasClamshellMode_ = false;
    bool isInClamshellMode_ = false;
    std::optional<std::string> macModelName_;
    std::shared_ptr<NSNotificationObserver> observer_;
};
