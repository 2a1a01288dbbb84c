#pragma once
// Value holders over the Mach-O readers, for start-up code on ordinary
// threads: a program file on disk with its slices, one slice's UUID,
// architecture, linked libraries and versions, and a debug-symbol bundle.
// Used from one thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/crash/RZRCTRMachO.h"

class NSBundle;

class RZRCTRMachOSlice {
  public:
    // The running program's slice.
    static std::shared_ptr<RZRCTRMachOSlice> runningSlice();
    explicit RZRCTRMachOSlice(RZRCTRMachOSliceInfo slice);

    // 32 lowercase hex characters; empty without an LC_UUID command.
    const std::string& uuid() const { return uuid_; }
    std::string architectureName() const;
    // The linked libraries in load-command order.
    const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
    // 0.0.0 when no LC_VERSION_MIN_* command names one.
    RZRCTRMachOVersion minimumOSVersion() const { return minimumOSVersion_; }
    RZRCTRMachOVersion linkedSDKVersion() const { return linkedSDKVersion_; }
    const RZRCTRMachOSliceInfo& slice() const { return slice_; }

  private:
    RZRCTRMachOSliceInfo slice_;
    std::string uuid_;
    std::vector<std::string> linkedDylibs_;
    RZRCTRMachOVersion minimumOSVersion_;
    RZRCTRMachOVersion linkedSDKVersion_;
};

// Owns the mapped file; the slices point into it and live no longer.
class RZRCTRMachOBinary {
  public:
    // Null when the file cannot be opened, is not regular, is shorter than
    // 16 bytes or cannot be mapped.
    static std::shared_ptr<RZRCTRMachOBinary> MachOBinaryWithPath(const std::string& path);
    ~RZRCTRMachOBinary();
    RZRCTRMachOBinary(const RZRCTRMachOBinary&) = delete;
    RZRCTRMachOBinary& operator=(const RZRCTRMachOBinary&) = delete;

    const std::string& URL() const { return path_; }
    const std::string& path() const { return path_; }
    const std::vector<std::shared_ptr<RZRCTRMachOSlice>>& slices() const { return slices_; }
    // SHA-1 of the slices' UUIDs concatenated in architecture-name order;
    // computed once.
    const std::string& instanceIdentifier();
    void enumerateUUIDs(const std::function<void(const std::string& uuid,
                                                 const std::string& architecture)>& block) const;
    std::shared_ptr<RZRCTRMachOSlice> sliceForArchitecture(const std::string& name) const;
    // 40 lowercase hex characters of the SHA-1 of the UTF-8 bytes.
    static std::string hashNSString(const std::string& text);

  private:
    RZRCTRMachOBinary() = default;
    std::string path_;
    RZRCTRMachOFile file_;
    std::vector<std::shared_ptr<RZRCTRMachOSlice>> slices_;
    std::optional<std::string> instanceIdentifier_;
};

// A .dSYM bundle: its first DWARF file opened as a binary.
class RZRCTRdSYM {
  public:
    // Null unless the path exists, opens as a bundle and holds a non-empty
    // Contents/Resources/DWARF folder whose first entry opens as a binary.
    static std::shared_ptr<RZRCTRdSYM> dSYMWithURL(const std::string& path);

    const std::shared_ptr<RZRCTRMachOBinary>& binary() const { return binary_; }
    const std::shared_ptr<NSBundle>& bundle() const { return bundle_; }
    // The bundle identifier without the debug-symbol prefix tools add.
    std::string bundleIdentifier() const;
    std::string bundleVersion() const;
    std::string shortBundleVersion() const;
    const std::string& executableURL() const;
    const std::string& executablePath() const;
    void enumerateUUIDs(const std::function<void(const std::string& uuid,
                                                 const std::string& architecture)>& block) const;

  private:
    std::shared_ptr<NSBundle> bundle_;
    std::shared_ptr<RZRCTRMachOBinary> binary_;
};

class RZRCTRCodeMapping {
  public:
    static std::shared_ptr<RZRCTRCodeMapping> mappingWithURL(const std::string& url);
    explicit RZRCTRCodeMapping(std::string url) : URL_(std::move(url)) {}
    const std::string& URL() const { return URL_; }
    std::int64_t source() const { return source_; }
    void setSource(std::int64_t source) { source_ = source; }
    const std::string& sourceName() const { return sourceName_; }

  private:
    std::string URL_;
    std::int64_t source_ = 0;
    std::string sourceName_;
};
