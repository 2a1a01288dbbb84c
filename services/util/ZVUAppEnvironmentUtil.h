#pragma once
// Facts about the running application and machine.

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

struct ZVUAppEnvironmentUtil {
    // Not in a simulator, not a sandbox receipt, and the main executable
    // carries a non-zero encryption id (probed once per process).
    static bool isFromAppStore();
    static bool isAppStoreReceiptSandbox();
    static bool isSimulator() { return false; }
    static bool isAppExtension() { return false; }
    static bool isIOS7OrHigher() { return true; }
    // "hw.model", else the uname machine; computed once. Null when both fail.
    static std::optional<std::string> deviceModel();
    // "13.0", "12.6.1": the patch only when non-zero.
    static std::string systemVersion();
    static bool hasSwiftRuntime();
    static std::string applePlatform() { return "macos"; }
    static std::string deploymentType() { return "swiftpm"; }

    // The uncached probes behind isFromAppStore and deviceModel.
    static bool mainExecutableIsEncrypted();
    static std::optional<std::string> readDeviceModel();
    // The last path component of the main bundle's App Store receipt:
    // "sandboxReceipt" when Contents/_MASReceipt/sandboxReceipt exists, else
    // "receipt".
    static std::string appStoreReceiptName();
};
