#include "services/crash/RZRCTRApplicationIdentifierModel.h"

#include <elf.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRHex.h"
#include "services/crash/RZRCTRMachO.h"
#include "services/crash/RZRCTRMachOBinary.h"

namespace {

std::string programPath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

RZRCTRVersionTriple triple(const RZRCTRMachOVersion& v) {
    return {v.major, v.minor, v.bugfix};
}

std::string hex(const std::uint8_t* bytes, std::size_t length) {
    std::vector<char> text(2 * length + 1);
    RZRCTRSafeHexToString(bytes, length, text.data());
    return std::string(text.data(), 2 * length);
}

const char* elfArchitectureName(std::uint16_t machine) {
    switch (machine) {
        case EM_X86_64:
            return "x86_64";
        case EM_AARCH64:
            return "arm64";
        case EM_386:
            return "i386";
        case EM_ARM:
            return "arm";
        default:
            return "unknown";
    }
}

// The build-id note of a 64-bit little-endian ELF file held in memory; every
// offset is checked against the bytes there are.
std::optional<std::string> elfBuildId(const std::uint8_t* bytes, std::uint64_t size) {
    if (size < sizeof(Elf64_Ehdr)) return std::nullopt;
    Elf64_Ehdr header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phoff > size ||
        header.e_phnum > (size - header.e_phoff) / sizeof(Elf64_Phdr))
        return std::nullopt;
    for (std::uint16_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        std::memcpy(&program, bytes + header.e_phoff + i * sizeof program, sizeof program);
        if (program.p_type != PT_NOTE || program.p_offset > size ||
            program.p_filesz > size - program.p_offset)
            continue;
        const std::uint8_t* cursor = bytes + program.p_offset;
        std::uint64_t remaining = program.p_filesz;
        while (remaining >= sizeof(Elf64_Nhdr)) {
            Elf64_Nhdr note;
            std::memcpy(&note, cursor, sizeof note);
            const std::uint64_t nameSize = (std::uint64_t{note.n_namesz} + 3) & ~std::uint64_t{3};
            const std::uint64_t descSize = (std::uint64_t{note.n_descsz} + 3) & ~std::uint64_t{3};
            if (nameSize > remaining - sizeof note || descSize > remaining - sizeof note - nameSize)
                break;
            const std::uint8_t* name = cursor + sizeof note;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0 && note.n_descsz > 0)
                return hex(name + nameSize, note.n_descsz);
            cursor += sizeof note + nameSize + descSize;
            remaining -= sizeof note + nameSize + descSize;
        }
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<RZRCTRApplicationIdentifierModel> RZRCTRApplicationIdentifierModel::model() {
    return modelWithExecutablePath(programPath());
}

std::shared_ptr<RZRCTRApplicationIdentifierModel>
RZRCTRApplicationIdentifierModel::modelWithExecutablePath(const std::string& path) {
    auto model = std::make_shared<RZRCTRApplicationIdentifierModel>();
    if (!model->computeExecutableInfo(path)) return nullptr;
    model->computeInstanceIdentifier();
    return model;
}

bool RZRCTRApplicationIdentifierModel::computeExecutableInfo(const std::string& path) {
    RZRCTRMachOFile file;
    if (path.empty() || !RZRCTRMachOFileInitWithPath(&file, path.c_str())) return false;
    std::map<std::string, std::string> uuids;
    const auto* bytes = static_cast<const std::uint8_t*>(file.mappedFile);
    if (std::memcmp(bytes, ELFMAG, SELFMAG) == 0) {
        std::uint16_t machine = 0;
        if (file.size >= sizeof(Elf64_Ehdr))
            std::memcpy(&machine, bytes + offsetof(Elf64_Ehdr, e_machine), sizeof machine);
        if (auto buildId = elfBuildId(bytes, file.size))
            uuids[elfArchitectureName(machine)] = *buildId;
    } else {
        RZRCTRMachOFileEnumerateSlices(&file, [&](RZRCTRMachOSliceInfo slice) {
            const std::string name = RZRCTRMachOSliceGetArchitectureName(slice);
            RZRCTRMachOSliceEnumerateLoadCommands(
                &slice, [&](const RZRCTRMachOLoadCommand& command) {
                    if (command.type == kRZRCTRMachOLoadCommandUUID) {
                        if (const std::uint8_t* uuid = RZRCTRMachOGetUUID(command))
                            uuids[name] = hex(uuid, 16);
                    } else if (command.type == kRZRCTRMachOLoadCommandVersionMinMacOSX ||
                               command.type == kRZRCTRMachOLoadCommandVersionMinIPhoneOS) {
                        minimumSDK_ = triple(RZRCTRMachOGetMinimumOSVersion(command));
                        builtSDK_ = triple(RZRCTRMachOGetLinkedSDKVersion(command));
                    }
                });
        });
    }
    RZRCTRMachOFileDestroy(&file);
    uuids_ = std::move(uuids);
    return true;
}

void RZRCTRApplicationIdentifierModel::computeInstanceIdentifier() {
    std::string joined;
    for (const auto& [architecture, uuid] : uuids_) joined += uuid;  // map order: sorted keys
    buildInstanceID_ = RZRCTRMachOBinary::hashNSString(joined);
}

std::string RZRCTRApplicationIdentifierModel::bundleID() const {
    return RZRCTRApplicationGetBundleIdentifier();
}

std::optional<std::string> RZRCTRApplicationIdentifierModel::displayName() const {
    return RZRCTRApplicationGetName();
}

std::string RZRCTRApplicationIdentifierModel::platform() const {
    return RZRCTRApplicationGetPlatform();
}

std::optional<std::string> RZRCTRApplicationIdentifierModel::buildVersion() const {
    return RZRCTRApplicationGetBundleVersion();
}

std::optional<std::string> RZRCTRApplicationIdentifierModel::displayVersion() const {
    return RZRCTRApplicationGetShortBundleVersion();
}

std::string RZRCTRApplicationIdentifierModel::synthesizedVersion() const {
    return displayVersion().value_or("(null)") + " (" + buildVersion().value_or("(null)") + ")";
}

int RZRCTRApplicationIdentifierModel::installSource() const {
    return RZRCTRApplicationInstallationSource();
}

namespace {
std::string tripleText(const RZRCTRVersionTriple& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}
}  // namespace

std::string RZRCTRApplicationIdentifierModel::builtSDKString() const {
    return tripleText(builtSDK_);
}

std::string RZRCTRApplicationIdentifierModel::minimumSDKString() const {
    return tripleText(minimumSDK_);
}
