#include "services/crash/RZRCTRFileReader.h"

#include <filesystem>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/JSON.h"
#include "services/crash/RZRCTRHex.h"
#include "services/crash/RZRCTRRecordText.h"
#include "services/crash/RZRCTRSDKLog.h"

std::optional<Array> RZRCTRFileReadSections(const char* path, bool removeOnFailure,
                                            const RZRCTRFileLineMap& map) {
    if (!path) {
        RZRCTRSDKLogError("Error: input path is invalid");
        return std::nullopt;
    }
    auto data = sim::FileSystem::readFile(path);
    if (!data) {
        if (removeOnFailure) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        RZRCTRSDKLogWarn("Unable to read file %s", path);
        return std::nullopt;
    }
    Array sections;
    const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
    RZRCTRRecordForEachLine(bytes, [&](std::string_view line) {
        auto object = NSJSONSerialization::JSONObjectWithData(Data(line.begin(), line.end()));
        if (!object) return;
        if (!map) {
            sections.push_back(std::move(*object));
        } else if (auto mapped = map(*object)) {
            sections.push_back(std::move(*mapped));
        }
    });
    return sections;
}

std::optional<std::string> RZRCTRFileHexEncodeString(const char* text) {
    if (!text) return std::nullopt;
    const std::string source(text);
    std::string hex(2 * source.size() + 1, '\0');
    RZRCTRSafeHexToString(reinterpret_cast<const std::uint8_t*>(source.data()), source.size(),
                          hex.data());
    hex.resize(2 * source.size());
    return hex;
}

std::optional<std::string> RZRCTRFileHexDecodeString(const char* text) {
    return RZRCTRRecordHexDecode(text);
}

std::optional<std::string> RZRCTRNSDataToNSString(const Data& data) {
    std::string hex(2 * data.size() + 1, '\0');
    RZRCTRSafeHexToString(data.data(), data.size(), hex.data());
    hex.resize(2 * data.size());
    return hex;
}
