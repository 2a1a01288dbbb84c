#pragma once
// The status menu's delegate: once the menu closes, nothing is left attached
// to the status button, so a later click performs the chosen click action
// instead of popping the old menu up again.

#include <memory>

#include "platform/runtime/Runtime.h"

class NSStatusItem;

class MenuDelegate : public RuntimeObject {
  public:
    // "Lumbrel.MenuDelegate", adopting NSMenuDelegate.
    static Class runtimeClass();
    explicit MenuDelegate(std::weak_ptr<NSStatusItem> statusItem);

    void menuDidClose(const id& menu);

  private:
    std::weak_ptr<NSStatusItem> statusItem_;
};
