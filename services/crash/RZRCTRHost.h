#pragma once
// Facts about the host for the records and the crash context: OS version,
// model, page size, documents directory, the host and storage sections.
// Ordinary threads, except RZRCTRHostRecordStorage (crash-time code: no
// allocation, no locks, no stdio).

#include <cstdint>
#include <optional>
#include <string>

struct RZRCTRFile;

struct RZRCTRHostContext {
    const char* documentDirectoryPath = nullptr;
    std::uint32_t pageSize = 0;
};

struct RZRCTROSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
};

RZRCTROSVersion RZRCTRHostGetOSVersion();
// "major.minor.patch".
std::string RZRCTRHostOSDisplayVersion();
// The kernel's build (its release string); nullopt when unknown.
std::optional<std::string> RZRCTRHostOSBuildVersion();
// The hardware model name.
std::optional<std::string> RZRCTRHostModelInfo();
// The named system value read into a 128-byte buffer; nullopt when the call
// fails or the value does not fit.
std::optional<std::string> RZRCTRHostSysctlString(const char* name);

// Page size in bytes, clamped to 4096..16384 (16384 when unknown).
std::uint32_t RZRCTRHostGetPageSize();
std::uint32_t RZRCTRHostClampPageSize(long reported);
bool RZRCTRHostIsRosettaTranslated();
// The user's documents folder, or empty when there is none.
std::string RZRCTRHostDocumentDirectory();
// Fills page size and documents directory (copied into the read-only area).
void RZRCTRHostInitialize(RZRCTRHostContext* context);
// Writes the host section; always true.
bool RZRCTRHostRecord(RZRCTRFile* file);
// Writes the storage section for the volume of the documents directory.
void RZRCTRHostRecordStorage(RZRCTRFile* file);
