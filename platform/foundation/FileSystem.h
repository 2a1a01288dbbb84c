#pragma once
// The one thin layer through which file reads and writes that can fail go,
// so that a test can make the next write or read fail with a chosen errno
// (ENOSPC, EIO, EACCES, ...).

#include <filesystem>
#include <optional>

#include "platform/foundation/Value.h"

namespace sim {

struct FileSystem {
    // The whole file, or nullopt with *error set to the errno.
    static std::optional<Data> readFile(const std::filesystem::path& path, int* error = nullptr);

    // Writes to a temporary file beside the target, then renames it over the
    // target, so a reader sees the old or the new contents, never a mix.
    // Creates missing parent folders. False with *error set on failure; the
    // target is then untouched.
    static bool writeFileAtomically(const std::filesystem::path& path, const Data& data,
                                    int* error = nullptr, unsigned mode = 0644);

    static bool removeFile(const std::filesystem::path& path, int* error = nullptr);

    // Control surface: the next write (or read) fails with this errno.
    static void failNextWrite(int error);
    static void failNextRead(int error);
    static void clearFailures();
};

}  // namespace sim
