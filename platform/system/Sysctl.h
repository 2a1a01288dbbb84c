#pragma once
// Kernel and loader queries of the platform: sysctlbyname for the names the
// code asks, and the loaded images' Mach-O headers. The machine we pretend
// to be comes from platform/bundle (host model, OS version); the rest from
// Linux (uname, processor count, memory). Thread-safe.
//
// Loaded images: only the main executable is listed (image 0), as a
// simulated 64-bit Mach-O header (magic 0xFEEDFACF, file type 2) followed by
// its load commands: an LC_UUID and, when sim::setMainExecutableCryptId gave
// one, an LC_ENCRYPTION_INFO_64 with that crypt id.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Names: "hw.model" (the host model, a C string), "hw.machine" ("arm64"),
// "hw.ncpu" (int32), "hw.memsize" (int64), "kern.ostype" ("Darwin"),
// "kern.osproductversion" ("13.0" / "12.6.1"), "kern.hostname",
// "kern.boottime" (int64 seconds, int32 microseconds, 4 bytes of padding; on
// the virtual clock a fixed time before its epoch, so uptime moves with
// virtual time). As on the
// platform: oldp null asks for the size; a buffer too small fails with
// ENOMEM; an unknown name fails with ENOENT; writing (newp) fails with EPERM.
// Returns 0 or -1 with errno set.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen);

struct mach_header {
    std::uint32_t magic;
    std::int32_t cputype;
    std::int32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};
struct mach_header_64 {
    std::uint32_t magic;
    std::int32_t cputype;
    std::int32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
    std::uint32_t reserved;
};
struct load_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
};
inline constexpr std::uint32_t MH_MAGIC = 0xFEEDFACE;
inline constexpr std::uint32_t MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr std::uint32_t MH_EXECUTE = 0x2;
inline constexpr std::uint32_t LC_UUID = 0x1B;
inline constexpr std::uint32_t LC_ENCRYPTION_INFO = 0x21;
inline constexpr std::uint32_t LC_ENCRYPTION_INFO_64 = 0x2C;

std::uint32_t _dyld_image_count();
// Null past the last image. Pointers stay valid for the life of the process.
const mach_header* _dyld_get_image_header(std::uint32_t index);
const char* _dyld_get_image_name(std::uint32_t index);

namespace sim {
// Tests: the answer of a name, as raw bytes (empty: a size of 0);
// std::nullopt removes the override.
void setSysctlOverride(const std::string& name, std::optional<std::vector<std::uint8_t>> bytes);
void clearSysctlOverrides();
// Tests: the main executable's encryption command (std::nullopt: none).
void setMainExecutableCryptId(std::optional<std::uint32_t> cryptId);
}  // namespace sim
