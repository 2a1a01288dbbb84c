// Every reader over arbitrary bytes: slices, load commands, the command
// readers and the section lookups.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "services/crash/RZRCTRMachO.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly size bytes, so the sanitizer sees any read past it.
    std::vector<std::uint8_t> bytes(data, data + size);
    RZRCTRMachOEnumerateSlicesAtAddress(bytes.data(), bytes.size(), [](RZRCTRMachOSliceInfo slice) {
        volatile std::size_t sink = 0;
        RZRCTRMachOSliceEnumerateLoadCommands(&slice, [&](const RZRCTRMachOLoadCommand& command) {
            if (const std::uint8_t* uuid = RZRCTRMachOGetUUID(command)) {
                char text[33];
                RZRCTRMachONormalizeUUID(uuid, text);
                sink = sink + text[0];
            }
            if (const char* path = RZRCTRMachOGetDylibPath(command))
                sink = sink + std::strlen(path);
            sink = sink + RZRCTRMachOGetEncrypted(command);
            const RZRCTRMachOVersion version = RZRCTRMachOGetMinimumOSVersion(command);
            char text[40];
            RZRCTRMachOFormatVersion(&version, text, sizeof text);
            sink = sink + RZRCTRMachOGetLinkedSDKVersion(command).major;
            sink = sink + RZRCTRMachOGetSegmentCommand(command).vmsize;
        });
        const void* ehFrame = nullptr;
        const void* unwindInfo = nullptr;
        std::uint64_t ehFrameSize = 0;
        std::uint64_t unwindInfoSize = 0;
        RZRCTRMachOSliceGetUnwindInformation(slice, &ehFrame, &ehFrameSize, &unwindInfo,
                                             &unwindInfoSize);
        for (const auto* section : {static_cast<const std::uint8_t*>(ehFrame),
                                    static_cast<const std::uint8_t*>(unwindInfo)}) {
            const std::uint64_t length = section == ehFrame ? ehFrameSize : unwindInfoSize;
            if (section != nullptr && length != 0) sink = sink + section[length - 1];
        }
        sink = sink + std::strlen(RZRCTRMachOSliceGetArchitectureName(slice));
    });
    return 0;
}
