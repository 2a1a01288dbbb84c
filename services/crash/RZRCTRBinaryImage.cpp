#include "services/crash/RZRCTRBinaryImage.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHex.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

struct TrackedImage {
    RZRCTRBinaryImageDetails details;
    std::string path;
};

// The images reported so far, by base; only RZRCTRBinaryImageSync uses it.
struct Tracker {
    std::mutex mutex;
    std::map<std::uintptr_t, TrackedImage> images;
};
Tracker& tracker() {
    static auto* instance = new Tracker();
    return *instance;
}

std::string programPath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

// The build-id note of the image, hex-encoded into out. The notes are read
// through the fault-safe read: at crash time the image may be going away.
void readBuildId(const dl_phdr_info& info, char* out) {
    out[0] = '\0';
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info.dlpi_phdr[i];
        if (header.p_type != PT_NOTE) continue;
        std::uintptr_t cursor = info.dlpi_addr + header.p_vaddr;
        std::size_t remaining = header.p_memsz;
        while (remaining >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) note;
            if (!RZRCTRReadMemory(cursor, &note, sizeof note)) break;
            const std::size_t nameSize = (note.n_namesz + 3u) & ~std::size_t{3};
            const std::size_t descSize = (note.n_descsz + 3u) & ~std::size_t{3};
            if (nameSize > remaining - sizeof note || descSize > remaining - sizeof note - nameSize)
                break;
            char name[4];
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && note.n_descsz > 0 &&
                RZRCTRReadMemory(cursor + sizeof note, name, sizeof name) &&
                std::memcmp(name, "GNU", 4) == 0) {
                std::uint8_t id[(kRZRCTRBinaryImageUUIDLength - 1) / 2];
                const std::size_t length = std::min<std::size_t>(note.n_descsz, sizeof id);
                if (!RZRCTRReadMemory(cursor + sizeof note + nameSize, id, length)) return;
                RZRCTRSafeHexToString(id, length, out);
                return;
            }
            cursor += sizeof note + nameSize + descSize;
            remaining -= sizeof note + nameSize + descSize;
        }
    }
}

// The .eh_frame start named by an .eh_frame_hdr's encoded pointer.
const void* ehFrameFromHeader(const void* headerAddress) {
    std::uint8_t header[12];
    if (headerAddress == nullptr ||
        !RZRCTRReadMemory(reinterpret_cast<std::uintptr_t>(headerAddress), header, sizeof header) ||
        header[0] != 1)
        return nullptr;
    const std::uint8_t encoding = header[1];
    const std::uint8_t* field = header + 4;
    const std::uintptr_t fieldAddress = reinterpret_cast<std::uintptr_t>(headerAddress) + 4;
    std::int64_t value = 0;
    switch (encoding & 0x0f) {
        case 0x03: {  // udata4
            std::uint32_t v;
            std::memcpy(&v, field, 4);
            value = v;
            break;
        }
        case 0x0b: {  // sdata4
            std::int32_t v;
            std::memcpy(&v, field, 4);
            value = v;
            break;
        }
        case 0x04:
        case 0x0c: {  // udata8, sdata8
            std::memcpy(&value, field, 8);
            break;
        }
        default:
            return nullptr;
    }
    switch (encoding & 0x70) {
        case 0x00:
            break;
        case 0x10:
            value += static_cast<std::int64_t>(fieldAddress);
            break;
        case 0x30:
            value += static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(headerAddress));
            break;
        default:
            return nullptr;
    }
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value));
}

void fillDetails(const dl_phdr_info& info, RZRCTRBinaryImageDetails* details) {
    *details = RZRCTRBinaryImageDetails{};
    ElfW(Addr) lowest = ~ElfW(Addr){0};
    ElfW(Addr) codeEnd = 0;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info.dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            lowest = std::min(lowest, header.p_vaddr - header.p_offset);
            if ((header.p_flags & PF_X) != 0)
                codeEnd = std::max(codeEnd, header.p_vaddr + header.p_memsz);
        } else if (header.p_type == PT_GNU_EH_FRAME) {
            details->node.ehFrameHeader =
                reinterpret_cast<const void*>(info.dlpi_addr + header.p_vaddr);
        }
    }
    if (lowest == ~ElfW(Addr){0}) lowest = 0;
    details->node.baseAddress = info.dlpi_addr + lowest;
    details->node.size = codeEnd > lowest ? codeEnd - lowest : 0;
    details->node.ehFrame = ehFrameFromHeader(details->node.ehFrameHeader);
    // Neither table's length is written down anywhere: each is bounded by
    // the end of the segment that holds it.
    const auto segmentRest = [&](const void* pointer) -> std::uint64_t {
        const auto address = reinterpret_cast<ElfW(Addr)>(pointer);
        for (int i = 0; pointer != nullptr && i < info.dlpi_phnum; ++i) {
            const ElfW(Phdr)& header = info.dlpi_phdr[i];
            const ElfW(Addr) start = info.dlpi_addr + header.p_vaddr;
            if (header.p_type == PT_LOAD && address >= start && address < start + header.p_filesz)
                return start + header.p_filesz - address;
        }
        return 0;
    };
    details->node.ehFrameSize = segmentRest(details->node.ehFrame);
    details->node.ehFrameHeaderSize = segmentRest(details->node.ehFrameHeader);
    if (details->node.ehFrameSize == 0) details->node.ehFrame = nullptr;
    if (details->node.ehFrameHeaderSize == 0) details->node.ehFrameHeader = nullptr;
    details->vmaddr_slide = static_cast<std::intptr_t>(info.dlpi_addr);
    details->slice.startAddress = reinterpret_cast<const std::uint8_t*>(details->node.baseAddress);
    details->slice.cputype = RZRCTRMachOSliceGetCurrent().cputype;
    details->slice.cpusubtype = RZRCTRMachOSliceGetCurrent().cpusubtype;
    details->path = info.dlpi_name;
    readBuildId(info, details->uuidString);
}

std::vector<TrackedImage> loadedImages() {
    std::vector<TrackedImage> images;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* context) {
            auto* list = static_cast<std::vector<TrackedImage>*>(context);
            TrackedImage image;
            fillDetails(*info, &image.details);
            image.path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            list->push_back(std::move(image));
            return 0;
        },
        &images);
    for (TrackedImage& image : images) {
        if (image.path.empty() && &image == &images.front()) image.path = programPath();
        image.details.path = nullptr;
    }
    return images;
}

void runOnQueue(std::function<void()> block) {
    if (auto queue = RZRCTRContextBinaryImagesQueue()) {
        queue->async(std::move(block));
    } else {
        block();
    }
}

// What crash-time code knows of the program without asking anything that
// could fault or lock: kept at set-up.
struct ProgramFacts {
    std::uintptr_t headers = 0;
    std::size_t headerCount = 0;
    // The loader's own list, as it tells debuggers through the program's
    // DT_DEBUG entry.
    std::uintptr_t loaderList = 0;
    char path[PATH_MAX] = {};
};
ProgramFacts gProgram;

std::uintptr_t findLoaderList() {
    const auto* headers = reinterpret_cast<const ElfW(Phdr)*>(gProgram.headers);
    std::uintptr_t bias = 0;
    const ElfW(Phdr)* dynamic = nullptr;
    for (std::size_t i = 0; headers != nullptr && i < gProgram.headerCount; ++i) {
        if (headers[i].p_type == PT_PHDR) bias = gProgram.headers - headers[i].p_vaddr;
        if (headers[i].p_type == PT_DYNAMIC) dynamic = &headers[i];
    }
    if (dynamic == nullptr) return 0;
    const auto* entry = reinterpret_cast<const ElfW(Dyn)*>(bias + dynamic->p_vaddr);
    for (std::size_t i = 0; i < dynamic->p_memsz / sizeof(ElfW(Dyn)); ++i) {
        if (entry[i].d_tag == DT_NULL) break;
        if (entry[i].d_tag == DT_DEBUG) return static_cast<std::uintptr_t>(entry[i].d_un.d_ptr);
    }
    return 0;
}

// The loader's list as read at crash time; in use while a crash is recorded.
RZRCTRBinaryImageRuntimeNode gLoaderNodes[kRZRCTRBinaryImageNodeCount];
std::size_t gLoaderNodeCount;
bool gLoaderNodesInUse;

constexpr int kMaxProgramHeaders = 64;
// Namespaces of the loader (each has its own list) followed at most.
constexpr int kMaxNamespaces = 16;

// The program headers of the object the loader lists at bias, copied through
// the fault-safe read: the program's from the auxiliary vector, any other's
// from the ELF header at its base.
int copyProgramHeaders(std::uintptr_t bias, bool program, ElfW(Phdr) * headers) {
    std::uintptr_t at = gProgram.headers;
    std::size_t count = gProgram.headerCount;
    if (!program) {
        ElfW(Ehdr) elf;
        if (!RZRCTRReadMemory(bias, &elf, sizeof elf) ||
            std::memcmp(elf.e_ident, ELFMAG, SELFMAG) != 0 || elf.e_phentsize != sizeof(ElfW(Phdr)))
            return 0;
        at = bias + elf.e_phoff;
        count = elf.e_phnum;
    }
    if (at == 0 || count == 0 || count > kMaxProgramHeaders) return 0;
    return RZRCTRReadMemory(at, headers, count * sizeof(ElfW(Phdr))) ? static_cast<int>(count) : 0;
}

bool trackedAtSetUp(const RZRCTRBinaryImageRuntimeNode* table, std::uintptr_t base) {
    for (std::size_t i = 0; table != nullptr && i < kRZRCTRBinaryImageNodeCount; ++i)
        if (__atomic_load_n(&table[i].baseAddress, __ATOMIC_ACQUIRE) == base &&
            __atomic_load_n(&table[i].size, __ATOMIC_ACQUIRE) != 0)
            return true;
    return false;
}

bool inLoaderList(std::uintptr_t base) {
    for (std::size_t i = 0; i < gLoaderNodeCount; ++i)
        if (gLoaderNodes[i].baseAddress == base) return true;
    return false;
}

// One load or unload line at crash time, in the shape the queue writes.
void recordCrashTimeChange(RZRCTRFile* file, bool* opened, bool loaded, const char* path,
                           std::size_t pathLength, const RZRCTRBinaryImageDetails& details) {
    if (!*opened) {
        const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
        if (readonly == nullptr || readonly->binaryimage.path == nullptr ||
            !RZRCTRFileInitWithPathMode(file, readonly->binaryimage.path, true, false))
            return;
        *opened = true;
    }
    RZRCTRFileOpenSection(file, loaded ? "load" : "unload");
    RZRCTRFileOpenHash(file);
    if (pathLength > 0) {
        RZRCTRFileWriteStringEntryWithLength(file, "path", path, pathLength);
    } else {
        RZRCTRFileWriteStringEntry(file, "path", nullptr);
    }
    RZRCTRBinaryImageRecordDetails(file, details);
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}

RZRCTRBinaryImageRuntimeNode* nodes() {
    RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
    return writable != nullptr ? writable->binaryImage.nodes : nullptr;
}

}  // namespace

void RZRCTRBinaryImageInit(RZRCTRBinaryImageReadOnlyContext* context,
                           RZRCTRBinaryImageReadWriteContext* state) {
    gProgram.headers = static_cast<std::uintptr_t>(::getauxval(AT_PHDR));
    gProgram.headerCount = static_cast<std::size_t>(::getauxval(AT_PHNUM));
    gProgram.loaderList = findLoaderList();
    const std::string program = programPath();
    std::memcpy(gProgram.path, program.c_str(), std::min(program.size(), sizeof gProgram.path - 1));
    std::memset(static_cast<void*>(state), 0, sizeof *state);
    state->file = RZRCTRFile{};
    const char* path = context->path;
    runOnQueue([path] {
        if (!RZRCTRUnlinkIfExists(path)) {
            RZRCTRSDKLogError("Unable to reset the binary image log file %s", path);
        }
        bool didOpen = false;
        if (!RZRCTRBinaryImageOpenIfNeeded(&didOpen)) {
            RZRCTRSDKLogError("Error: Unable to open the binary image log file during init");
        }
    });
    {
        // A new context has an empty table: every loaded image is new to it.
        std::lock_guard lock(tracker().mutex);
        tracker().images.clear();
    }
    RZRCTRBinaryImageSync();
    runOnQueue([] { RZRCTRFileClose(&_rzrctrContext.writable->binaryImage.file); });
}

void RZRCTRBinaryImageSync() {
    std::lock_guard lock(tracker().mutex);
    auto& known = tracker().images;
    std::map<std::uintptr_t, TrackedImage> now;
    for (TrackedImage& image : loadedImages())
        now.emplace(image.details.node.baseAddress, std::move(image));
    for (auto it = known.begin(); it != known.end();) {
        if (now.count(it->first) == 0) {
            RZRCTRBinaryImageDetails details = it->second.details;
            details.path = it->second.path.c_str();
            RZRCTRBinaryImageChanged(false, details);
            it = known.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [base, image] : now) {
        if (known.count(base) != 0) continue;
        RZRCTRBinaryImageDetails details = image.details;
        details.path = image.path.c_str();
        RZRCTRBinaryImageChanged(true, details);
        known.emplace(base, std::move(image));
    }
}

void RZRCTRBinaryImageWaitForPendingChanges() {
    if (auto queue = RZRCTRContextBinaryImagesQueue()) queue->sync([] {});
}

void RZRCTRBinaryImageChanged(bool loaded, const RZRCTRBinaryImageDetails& details) {
    // The loader's strings may be gone by the time the queue runs.
    auto copy = std::make_shared<std::pair<RZRCTRBinaryImageDetails, std::string>>(
        details, details.path != nullptr ? details.path : "");
    runOnQueue([loaded, copy] {
        copy->first.path = copy->second.c_str();
        RZRCTRBinaryImageStoreNode(loaded, copy->first);
        RZRCTRBinaryImageRecordSlice(loaded, copy->first);
    });
}

bool RZRCTRBinaryImageDetailsForBase(std::uintptr_t base, RZRCTRBinaryImageDetails* details) {
    for (const TrackedImage& image : loadedImages()) {
        if (image.details.node.baseAddress != base) continue;
        *details = image.details;
        return true;
    }
    return false;
}

void RZRCTRBinaryImageStoreNode(bool loaded, const RZRCTRBinaryImageDetails& details) {
    RZRCTRBinaryImageRuntimeNode* table = nodes();
    if (table == nullptr) {
        RZRCTRSDKLogError("Error: Writable context is NULL");
        return;
    }
    const std::uintptr_t base = details.node.baseAddress;
    const std::uintptr_t searched = loaded ? 0 : base;
    for (std::size_t i = 0; i < kRZRCTRBinaryImageNodeCount; ++i) {
        RZRCTRBinaryImageRuntimeNode& node = table[i];
        if (__atomic_load_n(&node.baseAddress, __ATOMIC_ACQUIRE) != searched) continue;
        std::uintptr_t expected = searched;
        if (loaded) {
            if (!__atomic_compare_exchange_n(&node.baseAddress, &expected, base, false,
                                             __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
                continue;
            node.ehFrame = details.node.ehFrame;
            node.ehFrameSize = details.node.ehFrameSize;
            node.ehFrameHeader = details.node.ehFrameHeader;
            node.ehFrameHeaderSize = details.node.ehFrameHeaderSize;
            node.unwindInfo = details.node.unwindInfo;
            node.unwindInfoSize = details.node.unwindInfoSize;
            node.crashInfo = details.node.crashInfo;
            // Size last: until then the node matches no address.
            __atomic_store_n(&node.size, details.node.size, __ATOMIC_RELEASE);
            return;
        }
        // Unloading: the node stops matching before its fields go.
        __atomic_store_n(&node.size, std::uint64_t{0}, __ATOMIC_RELEASE);
        node.ehFrame = nullptr;
        node.ehFrameSize = 0;
        node.ehFrameHeader = nullptr;
        node.ehFrameHeaderSize = 0;
        node.unwindInfo = nullptr;
        node.unwindInfoSize = 0;
        node.crashInfo = nullptr;
        if (!__atomic_compare_exchange_n(&node.baseAddress, &expected, std::uintptr_t{0}, false,
                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            RZRCTRSDKLogError("Error: Failed to swap during image unload");
        }
        return;
    }
    RZRCTRSDKLogWarn("Error: Unable to track a %s node %p", loaded ? "loaded" : "unloaded",
                     reinterpret_cast<void*>(base));
}

bool RZRCTRBinaryImageOpenIfNeeded(bool* didOpen) {
    if (didOpen != nullptr) *didOpen = false;
    if (_rzrctrContext.writable == nullptr || _rzrctrContext.readonly == nullptr) return false;
    RZRCTRFile* file = &_rzrctrContext.writable->binaryImage.file;
    if (RZRCTRFileIsOpen(file)) return true;
    if (!RZRCTRFileInitWithPathMode(file, _rzrctrContext.readonly->binaryimage.path, true, false))
        return false;
    if (didOpen != nullptr) *didOpen = true;
    return true;
}

void RZRCTRBinaryImageRecordSlice(bool loaded, const RZRCTRBinaryImageDetails& details) {
    bool didOpen = false;
    if (!RZRCTRBinaryImageOpenIfNeeded(&didOpen)) {
        RZRCTRSDKLogError("Error: unable to open binary image log file");
        return;
    }
    RZRCTRFile* file = &_rzrctrContext.writable->binaryImage.file;
    RZRCTRFileOpenSection(file, loaded ? "load" : "unload");
    RZRCTRFileOpenHash(file);
    const std::string path = details.path != nullptr ? details.path : "";
    RZRCTRFileWriteStringEntry(file, "path", path.empty() ? nullptr : path.c_str());
    if (loaded && path.rfind("/System", 0) != 0 && path.find(".framework") != std::string::npos) {
        // <bundle>.framework/Versions/<v>/<binary>: the bundle is three up.
        const std::filesystem::path bundlePath =
            std::filesystem::path(path).parent_path().parent_path().parent_path();
        if (auto bundle = NSBundle::bundleWithPath(bundlePath.string())) {
            for (const auto& [key, entry] :
                 {std::pair{"CFBundleIdentifier", "bundle_id"},
                  std::pair{"CFBundleVersion", "build_version"},
                  std::pair{"CFBundleShortVersionString", "display_version"}}) {
                const Value* value = bundle->objectForInfoDictionaryKey(key);
                const auto text = value != nullptr ? value->asString() : std::nullopt;
                if (text && !text->empty()) RZRCTRFileWriteStringEntry(file, entry, text->c_str());
            }
        }
    }
    RZRCTRBinaryImageRecordDetails(file, details);
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
    if (didOpen) RZRCTRFileClose(file);
}

void RZRCTRBinaryImageRecordDetails(RZRCTRFile* file, const RZRCTRBinaryImageDetails& details) {
    if (file == nullptr || !RZRCTRFileIsOpen(file)) {
        RZRCTRSDKLogError("Error: file is invalid");
        return;
    }
    RZRCTRFileWriteStringEntry(file, "uuid", details.uuidString);
    RZRCTRFileWriteUInt64Entry(file, "base", details.node.baseAddress);
    RZRCTRFileWriteUInt64Entry(file, "size", details.node.size);
}

bool RZRCTRBinaryImageRecordMainExecutable(RZRCTRFile* file) {
    const auto images = loadedImages();
    if (images.empty()) return false;
    const RZRCTRBinaryImageDetails& details = images.front().details;
    char minimum[40];
    char built[40];
    RZRCTRMachOFormatVersion(&details.minSDK, minimum, sizeof minimum);
    RZRCTRMachOFormatVersion(&details.builtSDK, built, sizeof built);
    RZRCTRFileOpenSection(file, "executable");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteStringEntry(file, "architecture",
                               RZRCTRMachOSliceGetArchitectureName(details.slice));
    RZRCTRFileWriteStringEntry(file, "uuid", details.uuidString);
    RZRCTRFileWriteUInt64Entry(file, "base", details.node.baseAddress);
    RZRCTRFileWriteUInt64Entry(file, "size", details.node.size);
    RZRCTRFileWriteBoolEntry(file, "encrypted", details.encrypted);
    RZRCTRFileWriteStringEntry(file, "minimum_sdk_version", minimum);
    RZRCTRFileWriteStringEntry(file, "built_sdk_version", built);
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
    return true;
}

void RZRCTRBinaryImageSafeReadLoaderList() {
    RZRCTRBinaryImageSafeEndLoaderList();
    gLoaderNodeCount = 0;
    RZRCTRFile file;
    bool opened = false;
    const RZRCTRBinaryImageRuntimeNode* table = nodes();
    // The first namespace's list is the program's; further ones are those
    // of dlmopen.
    std::uintptr_t debug = gProgram.loaderList;
    bool programSeen = false;
    for (int space = 0; space < kMaxNamespaces && debug != 0; ++space) {
        r_debug_extended list{};
        if (!RZRCTRReadMemory(debug, &list.base, sizeof list.base)) break;
        if (list.base.r_version >= 2 &&
            !RZRCTRReadMemory(debug + offsetof(r_debug_extended, r_next), &list.r_next,
                              sizeof list.r_next))
            list.r_next = nullptr;
        debug = list.base.r_version >= 2 ? reinterpret_cast<std::uintptr_t>(list.r_next) : 0;
        auto at = reinterpret_cast<std::uintptr_t>(list.base.r_map);
        // A damaged or cyclic list ends when the table is full.
        for (std::size_t walked = 0; at != 0 && walked < kRZRCTRBinaryImageNodeCount; ++walked) {
            link_map entry{};
            if (!RZRCTRReadMemory(at, &entry, sizeof entry)) break;
            at = reinterpret_cast<std::uintptr_t>(entry.l_next);
            const char* name = nullptr;
            std::size_t nameLength = 0;
            if (!RZRCTRReadString(reinterpret_cast<std::uintptr_t>(entry.l_name), &name, PATH_MAX,
                                  &nameLength))
                nameLength = 0;
            const bool program = !programSeen && nameLength == 0;
            programSeen = true;
            if (program) {
                name = gProgram.path;
                nameLength = std::strlen(gProgram.path);
            }
            ElfW(Phdr) headers[kMaxProgramHeaders];
            dl_phdr_info info{};
            info.dlpi_addr = entry.l_addr;
            info.dlpi_phdr = headers;
            info.dlpi_phnum =
                static_cast<ElfW(Half)>(copyProgramHeaders(entry.l_addr, program, headers));
            if (info.dlpi_phnum == 0 || gLoaderNodeCount >= kRZRCTRBinaryImageNodeCount) continue;
            RZRCTRBinaryImageDetails details;
            fillDetails(info, &details);
            RZRCTRBinaryImageRuntimeNode& node = details.node;
            if (node.size == 0) continue;
            // Tables that cannot be read whole are not used: the readers of
            // call-frame information read them directly.
            if (!RZRCTRMemoryIsReadable(reinterpret_cast<std::uintptr_t>(node.ehFrame),
                                        node.ehFrameSize) ||
                !RZRCTRMemoryIsReadable(reinterpret_cast<std::uintptr_t>(node.ehFrameHeader),
                                        node.ehFrameHeaderSize)) {
                node.ehFrame = nullptr;
                node.ehFrameSize = 0;
                node.ehFrameHeader = nullptr;
                node.ehFrameHeaderSize = 0;
            }
            gLoaderNodes[gLoaderNodeCount++] = node;
            if (!trackedAtSetUp(table, node.baseAddress))
                recordCrashTimeChange(&file, &opened, true, name, nameLength, details);
        }
    }
    for (std::size_t i = 0; table != nullptr && i < kRZRCTRBinaryImageNodeCount; ++i) {
        RZRCTRBinaryImageDetails gone{};
        gone.node.baseAddress = __atomic_load_n(&table[i].baseAddress, __ATOMIC_ACQUIRE);
        gone.node.size = __atomic_load_n(&table[i].size, __ATOMIC_ACQUIRE);
        if (gone.node.baseAddress == 0 || gone.node.size == 0 ||
            inLoaderList(gone.node.baseAddress))
            continue;
        recordCrashTimeChange(&file, &opened, false, nullptr, 0, gone);
    }
    if (opened) RZRCTRFileClose(&file);
    __atomic_store_n(&gLoaderNodesInUse, gLoaderNodeCount > 0, __ATOMIC_RELEASE);
}

void RZRCTRBinaryImageSafeEndLoaderList() {
    __atomic_store_n(&gLoaderNodesInUse, false, __ATOMIC_RELEASE);
}

bool RZRCTRBinaryImageSafeFindImageForAddress(std::uintptr_t address,
                                              RZRCTRBinaryImageRuntimeNode* node) {
    if (!RZRCTRContextIsInitialized() || address == 0 || node == nullptr) return false;
    if (__atomic_load_n(&gLoaderNodesInUse, __ATOMIC_ACQUIRE)) {
        for (std::size_t i = 0; i < gLoaderNodeCount; ++i) {
            const RZRCTRBinaryImageRuntimeNode& candidate = gLoaderNodes[i];
            if (address < candidate.baseAddress ||
                address - candidate.baseAddress >= candidate.size)
                continue;
            *node = candidate;
            return true;
        }
        return false;
    }
    const RZRCTRBinaryImageRuntimeNode* table = nodes();
    if (table == nullptr) return false;
    for (std::size_t i = 0; i < kRZRCTRBinaryImageNodeCount; ++i) {
        const std::uintptr_t base = __atomic_load_n(&table[i].baseAddress, __ATOMIC_ACQUIRE);
        if (base == 0 || address < base) continue;
        const std::uint64_t size = __atomic_load_n(&table[i].size, __ATOMIC_ACQUIRE);
        if (address - base >= size) continue;
        *node = table[i];
        node->baseAddress = base;
        node->size = size;
        return true;
    }
    return false;
}

bool RZRCTRBinaryImageNodeHasUnwindInfo(const RZRCTRBinaryImageRuntimeNode* node) {
    return node != nullptr &&
           reinterpret_cast<std::uintptr_t>(node->unwindInfo) >= kRZRCTRMinimumValidAddress;
}

bool RZRCTRBinaryImageFindImageForUUID(const char* uuid, RZRCTRBinaryImageDetails* details) {
    if (uuid == nullptr || details == nullptr) {
        RZRCTRSDKLogError("null input");
        return false;
    }
    for (const TrackedImage& image : loadedImages()) {
        if (std::strncmp(image.details.uuidString, uuid, kRZRCTRBinaryImageUUIDLength) != 0)
            continue;
        *details = image.details;
        return true;
    }
    return false;
}
