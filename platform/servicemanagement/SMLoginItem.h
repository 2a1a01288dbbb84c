#pragma once
// The login-item service: registers a helper program, by its bundle
// identifier, to start when the user logs in. On Linux the registration is
// an XDG autostart entry, $LUMBREL_HOME/.config/autostart/<identifier>.desktop,
// that runs the helper's program: the one set through sim::LoginItems, else
// the program named after the identifier's last part in lower case
// ("com.vantorel.Lumbrel-Helper": "lumbrel-helper") beside the running
// program, else that name looked up on the PATH at login.

#include <string>
#include <vector>

// True when the helper is now registered (enabled) or not registered
// (disabled); false when the change could not be made, which leaves the
// registration as it was. An identifier with a path separator or a control
// character is refused (false).
bool SMLoginItemSetEnabled(const std::string& bundleIdentifier, bool enabled);

namespace sim {

struct LoginItemRequest {
    std::string bundleIdentifier;
    bool enabled = false;
    bool succeeded = false;
};

struct LoginItems {
    // The next request fails.
    static void failNext();
    // Every request fails while set.
    static void refuseAll(bool refuse);
    static bool isEnabled(const std::string& bundleIdentifier);
    static std::string autostartEntryPath(const std::string& bundleIdentifier);
    // The helper's program for the Exec line; empty restores the lookup.
    static void setHelperProgram(const std::string& path);
    // Every request, in order.
    static std::vector<LoginItemRequest> requests();
    // Forgets requests, failures and the helper program.
    static void reset();
};

}  // namespace sim
