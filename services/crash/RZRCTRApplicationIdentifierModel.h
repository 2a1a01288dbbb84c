#pragma once
// Which build of which application is running: bundle identifier, versions,
// platform word, install source, and a build instance identifier that
// changes whenever the executable is rebuilt. The settings cache is keyed on
// the identifier and the synthesized version.
//
// The executable's identity comes from its Mach-O slices (each LC_UUID) or,
// for an ELF program, from its GNU build-id note under its machine's
// architecture name. Filled once; the version accessors read the main
// bundle on every call.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

struct RZRCTRVersionTriple {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
};

class RZRCTRApplicationIdentifierModel : public NSObject {
  public:
    // Null when the running program's file cannot be opened.
    static std::shared_ptr<RZRCTRApplicationIdentifierModel> model();
    // The same for another executable file.
    static std::shared_ptr<RZRCTRApplicationIdentifierModel> modelWithExecutablePath(
        const std::string& path);
    std::string className() const override { return "RZRCTRApplicationIdentifierModel"; }

    std::string bundleID() const;
    std::optional<std::string> displayName() const;
    std::string platform() const;
    std::optional<std::string> buildVersion() const;
    std::optional<std::string> displayVersion() const;
    // "<display version> (<build version>)".
    std::string synthesizedVersion() const;
    int installSource() const;
    std::string builtSDKString() const;
    std::string minimumSDKString() const;

    const std::map<std::string, std::string>& architectureUUIDMap() const { return uuids_; }
    const std::string& buildInstanceID() const { return buildInstanceID_; }
    RZRCTRVersionTriple builtSDK() const { return builtSDK_; }
    RZRCTRVersionTriple minimumSDK() const { return minimumSDK_; }

    // False when the file cannot be opened.
    bool computeExecutableInfo(const std::string& path);
    void computeInstanceIdentifier();

  private:
    std::map<std::string, std::string> uuids_;
    std::string buildInstanceID_;
    RZRCTRVersionTriple builtSDK_;
    RZRCTRVersionTriple minimumSDK_;
};
