// Names found in the event store: whatever lies on disk is parsed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/transport/ZDTCORFlatFileNames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    if (auto event = ZDTCORParseEventFileName(name)) {
        // A parsed mapping ID survives a round trip through the encoding.
        const std::string decoded = ZDTCORPercentDecode(event->mappingID);
        if (ZDTCORPercentDecode(ZDTCORPercentEncodeMappingID(decoded)) != decoded) __builtin_trap();
    }
    ZDTCORParseBatchDirName(name);
    return 0;
}
