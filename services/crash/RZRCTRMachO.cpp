#include "services/crash/RZRCTRMachO.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kCigam32 = 0xcefaedfe;
constexpr std::uint32_t kCigam64 = 0xcffaedfe;
constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatCigam = 0xbebafeca;
constexpr std::uint64_t kFatHeaderSize = 8;
constexpr std::uint64_t kFatArchSize = 20;
constexpr std::uint32_t kSegmentHeader32 = 56;
constexpr std::uint32_t kSegmentHeader64 = 72;
constexpr std::uint32_t kSection32 = 68;
constexpr std::uint32_t kSection64 = 80;
constexpr std::int32_t kCapabilityMask = static_cast<std::int32_t>(0xff000000);

std::uint32_t load32(const std::uint8_t* p, bool swapped) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap32(v) : v;
}
std::uint64_t load64(const std::uint8_t* p, bool swapped) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap64(v) : v;
}
std::uint32_t loadBig32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

// Header size and byte order for an accepted magic; 0 otherwise.
std::uint32_t headerSize(std::uint32_t magic, bool* swapped) {
    switch (magic) {
        case kMagic32:
            *swapped = false;
            return 28;
        case kMagic64:
            *swapped = false;
            return 32;
        case kCigam32:
            *swapped = true;
            return 28;
        case kCigam64:
            *swapped = true;
            return 32;
        default:
            return 0;
    }
}

bool namesEqual(const std::uint8_t* field, const char* name) {
    return std::strncmp(reinterpret_cast<const char*>(field), name, 16) == 0;
}

struct ArchName {
    std::int32_t type;
    std::int32_t subtype;  // -1 matches any
    const char* name;
};
constexpr ArchName kArchitectures[] = {
    {kRZRCTRCPUTypeX86, 3, "i386"},       {kRZRCTRCPUTypeX86_64, 3, "x86_64"},
    {kRZRCTRCPUTypeX86_64, 8, "x86_64h"}, {kRZRCTRCPUTypeARM, 6, "armv6"},
    {kRZRCTRCPUTypeARM, 9, "armv7"},      {kRZRCTRCPUTypeARM, 10, "armv7f"},
    {kRZRCTRCPUTypeARM, 14, "armv6m"},    {kRZRCTRCPUTypeARM, 15, "armv7m"},
    {kRZRCTRCPUTypeARM, 16, "armv7em"},   {kRZRCTRCPUTypeARM64, 1, "arm64v8"},
    {0x0200000c, 1, "arm64_32"},          {18, 0, "ppc"},
    {18 | kRZRCTRCPUArch64, 0, "ppc64"},
};

}  // namespace

bool RZRCTRMachOFileInitWithPath(RZRCTRMachOFile* file, const char* path) {
    if (file == nullptr) return false;
    *file = RZRCTRMachOFile{};
    if (path == nullptr) return false;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size < 16 || (info.st_mode & S_IFMT) != S_IFREG) {
        ::close(fd);
        return false;
    }
    void* mapped =
        ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    file->fd = fd;
    file->size = static_cast<std::uint64_t>(info.st_size);
    file->mappedFile = mapped;
    return true;
}

bool RZRCTRMachOFileInitWithCurrent(RZRCTRMachOFile* file) {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        if (file != nullptr) *file = RZRCTRMachOFile{};
        return false;
    }
    path[length] = '\0';
    return RZRCTRMachOFileInitWithPath(file, path);
}

void RZRCTRMachOFileDestroy(RZRCTRMachOFile* file) {
    if (file == nullptr) return;
    if (file->mappedFile != nullptr && file->size != 0)
        ::munmap(const_cast<void*>(file->mappedFile), static_cast<std::size_t>(file->size));
    if (file->fd >= 0) ::close(file->fd);
    *file = RZRCTRMachOFile{};
}

void RZRCTRMachOFileEnumerateSlices(const RZRCTRMachOFile* file,
                                    RZRCTRFunctionRef<void(RZRCTRMachOSliceInfo)> block) {
    if (file == nullptr || file->mappedFile == nullptr) return;
    RZRCTRMachOEnumerateSlicesAtAddress(file->mappedFile, file->size, block);
}

void RZRCTRMachOEnumerateSlicesAtAddress(const void* address, std::uint64_t length,
                                         RZRCTRFunctionRef<void(RZRCTRMachOSliceInfo)> block) {
    if (address == nullptr || length < 4) return;
    const auto* bytes = static_cast<const std::uint8_t*>(address);
    const std::uint32_t bigMagic = loadBig32(bytes);
    if (bigMagic == kFatMagic || bigMagic == kFatCigam) {
        if (length < kFatHeaderSize) return;
        // The fat header is big-endian; one written little-endian is read
        // in its own order.
        const bool swapped = bigMagic == kFatMagic;
        const std::uint64_t count = load32(bytes + 4, swapped);
        if (count > (length - kFatHeaderSize) / kFatArchSize) return;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* arch = bytes + kFatHeaderSize + i * kFatArchSize;
            const std::uint64_t offset = load32(arch + 8, swapped);
            const std::uint64_t size = load32(arch + 12, swapped);
            if (offset > length || size > length - offset) continue;
            RZRCTRMachOSliceInfo slice;
            slice.startAddress = bytes + offset;
            slice.size = size;
            slice.cputype = static_cast<std::int32_t>(load32(arch, swapped));
            slice.cpusubtype = static_cast<std::int32_t>(load32(arch + 4, swapped));
            block(slice);
        }
        return;
    }
    RZRCTRMachOSliceInfo slice;
    slice.startAddress = bytes;
    slice.size = length;
    bool swapped = false;
    const std::uint32_t header = headerSize(load32(bytes, false), &swapped);
    if (header != 0 && length >= header) {
        slice.swapped = swapped;
        slice.cputype = static_cast<std::int32_t>(load32(bytes + 4, swapped));
        slice.cpusubtype = static_cast<std::int32_t>(load32(bytes + 8, swapped));
    }
    block(slice);
}

RZRCTRMachOSliceInfo RZRCTRMachOFileSliceWithArchitectureName(const RZRCTRMachOFile* file,
                                                              const char* name) {
    RZRCTRMachOSliceInfo found;
    if (name == nullptr) return found;
    bool done = false;
    RZRCTRMachOFileEnumerateSlices(file, [&](RZRCTRMachOSliceInfo slice) {
        if (!done && std::strcmp(RZRCTRMachOSliceGetArchitectureName(slice), name) == 0) {
            found = slice;
            done = true;
        }
    });
    return found;
}

RZRCTRMachOSliceInfo RZRCTRMachOSliceGetCurrent() {
    RZRCTRMachOSliceInfo slice;
#if defined(__x86_64__)
    slice.cputype = kRZRCTRCPUTypeX86_64;
    slice.cpusubtype = 3;
#elif defined(__aarch64__)
    slice.cputype = kRZRCTRCPUTypeARM64;
    slice.cpusubtype = 0;
#endif
    return slice;
}

const char* RZRCTRMachOSliceGetExecutablePath(RZRCTRMachOSliceInfo slice) {
    Dl_info info{};
    if (slice.startAddress == nullptr || ::dladdr(slice.startAddress, &info) == 0) return nullptr;
    return info.dli_fname;
}

const char* RZRCTRMachOSliceGetArchitectureName(RZRCTRMachOSliceInfo slice) {
    // The top byte of the subtype carries capability flags, not the model.
    const std::int32_t subtype = slice.cpusubtype & ~kCapabilityMask;
    if (slice.cputype == kRZRCTRCPUTypeARM) {
        if (subtype == 11) return "armv7s";
        if (subtype == 12) return "armv7k";
    } else if (slice.cputype == kRZRCTRCPUTypeARM64) {
        if (subtype == 2) return "arm64e";
        if (subtype == 0) return "arm64";
    }
    for (const ArchName& arch : kArchitectures)
        if (arch.type == slice.cputype && (arch.subtype == -1 || arch.subtype == subtype))
            return arch.name;
    return "unknown";
}

bool RZRCTRMachOSliceIs64Bit(RZRCTRMachOSliceInfo slice) {
    return (slice.cputype & kRZRCTRCPUArch64) != 0;
}

void RZRCTRMachOSliceEnumerateLoadCommands(
    RZRCTRMachOSliceInfo* slice, RZRCTRFunctionRef<void(const RZRCTRMachOLoadCommand&)> block) {
    if (slice == nullptr || slice->startAddress == nullptr || slice->size < 4) return;
    const std::uint8_t* bytes = slice->startAddress;
    bool swapped = false;
    const std::uint32_t header = headerSize(load32(bytes, false), &swapped);
    if (header == 0 || slice->size < header) return;
    slice->swapped = swapped;
    slice->cputype = static_cast<std::int32_t>(load32(bytes + 4, swapped));
    slice->cpusubtype = static_cast<std::int32_t>(load32(bytes + 8, swapped));
    const std::uint32_t count = load32(bytes + 16, swapped);
    const std::uint64_t commandsSize = load32(bytes + 20, swapped);
    if (commandsSize > slice->size - header) return;
    const std::uint8_t* cursor = bytes + header;
    std::uint64_t remaining = commandsSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (remaining < 8) return;
        RZRCTRMachOLoadCommand command;
        command.type = load32(cursor, swapped);
        command.size = load32(cursor + 4, swapped);
        command.data = cursor;
        command.swapped = swapped;
        if (command.size < 8 || command.size > remaining) return;
        block(command);
        cursor += command.size;
        remaining -= command.size;
    }
}

bool RZRCTRMachOSliceInitSectionByName(RZRCTRMachOSliceInfo slice, const char* segmentName,
                                       const char* sectionName, RZRCTRMachOSection* section) {
    if (section == nullptr) return false;
    *section = RZRCTRMachOSection{};
    if (segmentName == nullptr || sectionName == nullptr) return false;
    bool found = false;
    RZRCTRMachOSliceEnumerateLoadCommands(&slice, [&](const RZRCTRMachOLoadCommand& command) {
        const bool wide = command.type == kRZRCTRMachOLoadCommandSegment64;
        if (found || (!wide && command.type != kRZRCTRMachOLoadCommandSegment)) return;
        const std::uint32_t segmentHeader = wide ? kSegmentHeader64 : kSegmentHeader32;
        const std::uint32_t sectionSize = wide ? kSection64 : kSection32;
        if (command.size < segmentHeader || !namesEqual(command.data + 8, segmentName)) return;
        const std::uint32_t count = load32(command.data + (wide ? 64 : 48), command.swapped);
        if (count > (command.size - segmentHeader) / sectionSize) return;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* entry = command.data + segmentHeader + i * sectionSize;
            if (!namesEqual(entry, sectionName)) continue;
            if (wide) {
                section->addr = load64(entry + 32, command.swapped);
                section->size = load64(entry + 40, command.swapped);
                section->offset = load32(entry + 48, command.swapped);
            } else {
                section->addr = load32(entry + 32, command.swapped);
                section->size = load32(entry + 36, command.swapped);
                section->offset = load32(entry + 40, command.swapped);
            }
            found = true;
            return;
        }
    });
    return found;
}

bool RZRCTRMachOSliceGetSectionByName(RZRCTRMachOSliceInfo slice, const char* segmentName,
                                      const char* sectionName, const void** pointer) {
    if (pointer == nullptr) return false;
    *pointer = nullptr;
    RZRCTRMachOSection section;
    if (!RZRCTRMachOSliceInitSectionByName(slice, segmentName, sectionName, &section)) return false;
    if (section.offset > slice.size || section.size > slice.size - section.offset) return false;
    *pointer = slice.startAddress + section.offset;
    return true;
}

void RZRCTRMachOSliceGetUnwindInformation(RZRCTRMachOSliceInfo slice, const void** ehFrame,
                                          std::uint64_t* ehFrameSize, const void** unwindInfo,
                                          std::uint64_t* unwindInfoSize) {
    const auto find = [&](const char* name, const void** out, std::uint64_t* size) {
        if (out == nullptr) return;
        *out = nullptr;
        if (size != nullptr) *size = 0;
        RZRCTRMachOSection section;
        if (RZRCTRMachOSliceGetSectionByName(slice, "__TEXT", name, out) &&
            RZRCTRMachOSliceInitSectionByName(slice, "__TEXT", name, &section) && size != nullptr)
            *size = section.size;
    };
    find("__eh_frame", ehFrame, ehFrameSize);
    find("__unwind_info", unwindInfo, unwindInfoSize);
}

const std::uint8_t* RZRCTRMachOGetUUID(const RZRCTRMachOLoadCommand& command) {
    if (command.type != kRZRCTRMachOLoadCommandUUID || command.size < 24) return nullptr;
    return command.data + 8;
}

const char* RZRCTRMachOGetDylibPath(const RZRCTRMachOLoadCommand& command) {
    if (command.type != kRZRCTRMachOLoadCommandLoadDylib || command.size < 24) return nullptr;
    const std::uint32_t offset = load32(command.data + 8, command.swapped);
    if (offset < 24 || offset >= command.size) return nullptr;
    const char* name = reinterpret_cast<const char*>(command.data + offset);
    // The name must end inside its command.
    if (std::memchr(name, '\0', command.size - offset) == nullptr) return nullptr;
    return name;
}

bool RZRCTRMachOGetEncrypted(const RZRCTRMachOLoadCommand& command) {
    if ((command.type != kRZRCTRMachOLoadCommandEncryptionInfo &&
         command.type != kRZRCTRMachOLoadCommandEncryptionInfo64) ||
        command.size < 20)
        return false;
    return load32(command.data + 16, command.swapped) != 0;
}

namespace {
bool isVersionMin(std::uint32_t type) {
    return type == kRZRCTRMachOLoadCommandVersionMinMacOSX ||
           type == kRZRCTRMachOLoadCommandVersionMinIPhoneOS ||
           type == kRZRCTRMachOLoadCommandVersionMinTVOS ||
           type == kRZRCTRMachOLoadCommandVersionMinWatchOS;
}
RZRCTRMachOVersion versionAt(const RZRCTRMachOLoadCommand& command, std::uint32_t offset) {
    if (!isVersionMin(command.type) || command.size < 16) return {};
    const std::uint32_t word = load32(command.data + offset, command.swapped);
    return {word >> 16, (word >> 8) & 0xff, word & 0xff};
}
}  // namespace

RZRCTRMachOVersion RZRCTRMachOGetMinimumOSVersion(const RZRCTRMachOLoadCommand& command) {
    return versionAt(command, 8);
}

RZRCTRMachOVersion RZRCTRMachOGetLinkedSDKVersion(const RZRCTRMachOLoadCommand& command) {
    return versionAt(command, 12);
}

RZRCTRMachOSegmentCommand RZRCTRMachOGetSegmentCommand(const RZRCTRMachOLoadCommand& command) {
    RZRCTRMachOSegmentCommand segment;
    if (command.type == kRZRCTRMachOLoadCommandSegment64 && command.size >= kSegmentHeader64) {
        std::memcpy(segment.segname, command.data + 8, sizeof segment.segname);
        segment.vmaddr = load64(command.data + 24, command.swapped);
        segment.vmsize = load64(command.data + 32, command.swapped);
    } else if (command.type == kRZRCTRMachOLoadCommandSegment && command.size >= kSegmentHeader32) {
        std::memcpy(segment.segname, command.data + 8, sizeof segment.segname);
        segment.vmaddr = load32(command.data + 24, command.swapped);
        segment.vmsize = load32(command.data + 28, command.swapped);
    }
    return segment;
}

void RZRCTRMachONormalizeUUID(const std::uint8_t* uuid, char out[33]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kDigits[uuid[i] >> 4];
        out[2 * i + 1] = kDigits[uuid[i] & 0xf];
    }
    out[32] = '\0';
}

bool RZRCTRMachOFormatVersion(const RZRCTRMachOVersion* version, char* out, std::size_t length) {
    if (out == nullptr || length == 0) return false;
    out[0] = '\0';
    if (version == nullptr) return false;
    std::size_t at = 0;
    const std::uint32_t parts[] = {version->major, version->minor, version->bugfix};
    for (int part = 0; part < 3; ++part) {
        char digits[10];
        int count = 0;
        std::uint32_t value = parts[part];
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (at + count + (part < 2 ? 1 : 0) + 1 > length) {
            out[0] = '\0';
            return false;
        }
        while (count > 0) out[at++] = digits[--count];
        if (part < 2) out[at++] = '.';
    }
    out[at] = '\0';
    return true;
}
