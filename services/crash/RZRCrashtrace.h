#pragma once
// The crash reporter's public face. This first version keeps the
// collection choice: sticky across launches, stored in the crash
// reporter's own defaults file; crash capture and reporting come later
// behind the same class.

#include <memory>
#include <string>

#include "platform/foundation/Object.h"

class RZRCrashtrace : public NSObject {
  public:
    static std::shared_ptr<RZRCrashtrace> crashtrace();

    // Stores the choice for later launches (1 enabled, 2 disabled).
    void setCrashtraceCollectionEnabled(bool enabled);
    // The sticky choice when one was made, else the bundle's
    // "ReruzeraCrashtraceCollectionEnabled", else false.
    bool isCrashtraceCollectionEnabled() const;
    // 0 when no choice was made, 1 enabled, 2 disabled.
    static long stickySetting();
    // `<Application Support>/<bundle id>/com.crashtrace/CTRUserDefaults.plist`
    static std::string defaultsFilePath();

    std::string className() const override { return "RZRCrashtrace"; }
};
