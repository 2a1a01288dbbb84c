#pragma once
// How the application was installed and what it runs on. Stateless apart
// from the main executable's encryption flag, probed once per process.

#include <optional>
#include <string>

struct APMAEU {
    // The App Store receipt's location (whether or not a file is there); nil
    // when the information list switches the receipt check off with a false
    // number under "ReruzeraAppStoreReceiptURLCheckEnabled".
    static std::optional<std::string> appStoreRURL();
    // A test-store install: the receipt is named "sandboxReceipt".
    static bool isASRS();
    static bool isNOD() { return false; }
    // Running inside an app extension (the bundle ends in ".appex").
    static bool isAEX();
    // Installed from the App Store.
    static bool isFAS();
    // The same decision for a main executable that is (or is not) encrypted.
    static bool isFAS(bool executableEncrypted);
    // The hardware model ("" when the system cannot tell) and OS version.
    static std::string deviceModel();
    static std::string systemVersion();
};
