#pragma once
// Small readers of Mach-O images held in memory: a file mapped read-only or
// a buffer of known length. Every count, offset and length read from the
// image is checked against the bytes the slice covers before it is used, and
// an image written in the other byte order is read in that order.
//
// Crash-time safe apart from the file functions: no allocation, no locks,
// no stdio, no logging; nothing here keeps state.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

// A non-owning callable reference: the readers call back without allocating.
template <typename Signature>
class RZRCTRFunctionRef;
template <typename R, typename... Args>
class RZRCTRFunctionRef<R(Args...)> {
  public:
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RZRCTRFunctionRef>>>
    RZRCTRFunctionRef(F&& f)  // NOLINT: implicit by design
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*call_)(void*, Args...);
};

inline constexpr std::uint32_t kRZRCTRMachOLoadCommandSegment = 0x1;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandLoadDylib = 0xc;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandSegment64 = 0x19;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandUUID = 0x1b;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandEncryptionInfo = 0x21;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandEncryptionInfo64 = 0x2c;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandVersionMinMacOSX = 0x24;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandVersionMinIPhoneOS = 0x25;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandVersionMinTVOS = 0x2f;
inline constexpr std::uint32_t kRZRCTRMachOLoadCommandVersionMinWatchOS = 0x30;

inline constexpr std::int32_t kRZRCTRCPUTypeX86 = 7;
inline constexpr std::int32_t kRZRCTRCPUTypeARM = 12;
inline constexpr std::int32_t kRZRCTRCPUArch64 = 0x01000000;
inline constexpr std::int32_t kRZRCTRCPUTypeX86_64 = kRZRCTRCPUTypeX86 | kRZRCTRCPUArch64;
inline constexpr std::int32_t kRZRCTRCPUTypeARM64 = kRZRCTRCPUTypeARM | kRZRCTRCPUArch64;

struct RZRCTRMachOFile {
    int fd = -1;
    std::uint64_t size = 0;
    const void* mappedFile = nullptr;
};

// startAddress points to a Mach-O header (or to whatever a fat entry names);
// size is the number of bytes readable from there. swapped is set once the
// header shows the other byte order.
struct RZRCTRMachOSliceInfo {
    const std::uint8_t* startAddress = nullptr;
    std::uint64_t size = 0;
    std::int32_t cputype = 0;
    std::int32_t cpusubtype = 0;
    bool swapped = false;
};

struct RZRCTRMachOVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t bugfix = 0;
};

struct RZRCTRMachOSection {
    std::uint64_t addr = 0;
    std::uint64_t size = 0;
    std::uint32_t offset = 0;
};

struct RZRCTRMachOSegmentCommand {
    char segname[16] = {};
    std::uint64_t vmaddr = 0;
    std::uint64_t vmsize = 0;
};

// One load command as the enumeration hands it over: data covers exactly
// size bytes, already checked to lie within the slice.
struct RZRCTRMachOLoadCommand {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const std::uint8_t* data = nullptr;
    bool swapped = false;
};

// Opens and maps a regular file of at least 16 bytes; false on any failure,
// with nothing left open.
bool RZRCTRMachOFileInitWithPath(RZRCTRMachOFile* file, const char* path);
// The running executable (this process's own program file).
bool RZRCTRMachOFileInitWithCurrent(RZRCTRMachOFile* file);
void RZRCTRMachOFileDestroy(RZRCTRMachOFile* file);
void RZRCTRMachOFileEnumerateSlices(const RZRCTRMachOFile* file,
                                    RZRCTRFunctionRef<void(RZRCTRMachOSliceInfo)> block);
// A fat file yields its entries that lie wholly within length, in file
// order; anything else yields one slice covering the whole buffer.
void RZRCTRMachOEnumerateSlicesAtAddress(const void* address, std::uint64_t length,
                                         RZRCTRFunctionRef<void(RZRCTRMachOSliceInfo)> block);
// The slice with that architecture name, or an all-zero slice.
RZRCTRMachOSliceInfo RZRCTRMachOFileSliceWithArchitectureName(const RZRCTRMachOFile* file,
                                                              const char* name);
// The running program is not a Mach-O image here: an all-zero slice with the
// local CPU type.
RZRCTRMachOSliceInfo RZRCTRMachOSliceGetCurrent();
// Path of the image containing startAddress, or null.
const char* RZRCTRMachOSliceGetExecutablePath(RZRCTRMachOSliceInfo slice);
const char* RZRCTRMachOSliceGetArchitectureName(RZRCTRMachOSliceInfo slice);
bool RZRCTRMachOSliceIs64Bit(RZRCTRMachOSliceInfo slice);
// Calls block for each load command within the header's command area, in
// order; stops at the first command whose size is out of bounds. Updates the
// slice's CPU type, subtype and byte order from the header.
void RZRCTRMachOSliceEnumerateLoadCommands(
    RZRCTRMachOSliceInfo* slice, RZRCTRFunctionRef<void(const RZRCTRMachOLoadCommand&)> block);
bool RZRCTRMachOSliceInitSectionByName(RZRCTRMachOSliceInfo slice, const char* segmentName,
                                       const char* sectionName, RZRCTRMachOSection* section);
// As above, then pointer = startAddress + the section's file offset, only
// when the section's bytes lie within the slice.
bool RZRCTRMachOSliceGetSectionByName(RZRCTRMachOSliceInfo slice, const char* segmentName,
                                      const char* sectionName, const void** pointer);
// __TEXT,__eh_frame and __TEXT,__unwind_info of a slice held in memory
// (null when absent or out of bounds), with their lengths.
void RZRCTRMachOSliceGetUnwindInformation(RZRCTRMachOSliceInfo slice, const void** ehFrame,
                                          std::uint64_t* ehFrameSize, const void** unwindInfo,
                                          std::uint64_t* unwindInfoSize);

// Readers of single load commands; null, false or zeros when the command is
// of another type or too short for what is read.
const std::uint8_t* RZRCTRMachOGetUUID(const RZRCTRMachOLoadCommand& command);
const char* RZRCTRMachOGetDylibPath(const RZRCTRMachOLoadCommand& command);
bool RZRCTRMachOGetEncrypted(const RZRCTRMachOLoadCommand& command);
RZRCTRMachOVersion RZRCTRMachOGetMinimumOSVersion(const RZRCTRMachOLoadCommand& command);
RZRCTRMachOVersion RZRCTRMachOGetLinkedSDKVersion(const RZRCTRMachOLoadCommand& command);
RZRCTRMachOSegmentCommand RZRCTRMachOGetSegmentCommand(const RZRCTRMachOLoadCommand& command);

// 32 lowercase hex characters into out (33 bytes with the NUL).
void RZRCTRMachONormalizeUUID(const std::uint8_t* uuid, char out[33]);
// "major.minor.bugfix" into out; false (and an empty string) for a missing
// version or a buffer too small.
bool RZRCTRMachOFormatVersion(const RZRCTRMachOVersion* version, char* out, std::size_t length);
