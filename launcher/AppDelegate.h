#pragma once
// The login launcher's application delegate: once launched, it starts
// Lumbrel by its application name and ends the launcher, whatever the
// outcome.

#include "platform/runtime/Runtime.h"

namespace LumbrelHelper {

class AppDelegate : public RuntimeObject {
  public:
    // "Lumbrel_Helper.AppDelegate", adopting NSApplicationDelegate.
    static Class runtimeClass();
    AppDelegate();

    void applicationDidFinishLaunching(const id& notification);
    void applicationWillTerminate(const id& notification);
};

}  // namespace LumbrelHelper
