#pragma once
// The bytes below one directory: walked once, then adjusted as files are
// reported added or removed. Not synchronised: used from one serial queue.

#include <cstdint>
#include <optional>
#include <string>

class ZDTCORDirectorySizeTracker {
  public:
    explicit ZDTCORDirectorySizeTracker(std::string directoryPath);

    // The cached size, walking the directory when none is cached.
    std::uint64_t directoryContentSize();
    // Paths outside the directory are ignored.
    void fileWasAddedAtPath(const std::string& path, std::uint64_t size);
    // Stops at 0 rather than wrapping (which would refuse every later store).
    void fileWasRemovedAtPath(const std::string& path, std::uint64_t size);
    void resetCachedSize() { cachedSizeBytes_.reset(); }
    // Regular files below the directory, hidden entries skipped; 0 when it
    // does not exist.
    std::uint64_t calculateDirectoryContentSize() const;
    static std::uint64_t fileSizeAtPath(const std::string& path);

    const std::string& directoryPath() const { return directoryPath_; }
    const std::optional<std::uint64_t>& cachedSizeBytes() const { return cachedSizeBytes_; }

  private:
    bool contains(const std::string& path) const;
    std::string directoryPath_;
    std::optional<std::uint64_t> cachedSizeBytes_;
};
