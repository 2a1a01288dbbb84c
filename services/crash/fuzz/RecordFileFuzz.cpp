// Feeds arbitrary bytes to the record text level (line splitting, UTF-8
// checks, JSON, hex decoding of every string as the key-value and log
// readers do) and to the writer's string escaping, whose line must always
// parse and give the text back.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRRecordText.h"

namespace {

int memoryFile() {
    static const int fd = ::memfd_create("record", 0);
    return fd;
}

std::string memoryFilePath() {
    return "/proc/self/fd/" + std::to_string(memoryFile());
}

std::string contents() {
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(memoryFile(), buffer, sizeof(buffer), offset)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return bytes;
}

void decodeStrings(const nlohmann::json& value) {
    if (value.is_string()) RZRCTRRecordHexDecode(value.get_ref<const std::string&>().c_str());
    if (value.is_structured()) {
        for (const auto& inner : value) decodeStrings(inner);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = memoryFilePath();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = size ? data[0] % (size + 1) : 0;
    const std::string head = input.substr(0, split);
    const std::string tail = input.substr(split);

    // Writer: one section with the input as a plain and as a hex string.
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPathMode(&file, path.c_str(), false, size % 2 == 0)) std::abort();
    RZRCTRFileOpenSection(&file, "thread_names");
    RZRCTRFileOpenHash(&file);
    RZRCTRFileWriteStringEntryWithLength(&file, "name", tail.data(), tail.size());
    RZRCTRFileWriteHexStringEntryWithLength(&file, "hex", head.data(), head.size());
    RZRCTRFileCloseHash(&file);
    RZRCTRFileCloseSection(&file);
    RZRCTRFileClose(&file);
    const std::string written = contents();
    int lines = 0;
    RZRCTRRecordForEachLine(written, [&](std::string_view line) {
        ++lines;
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded()) std::abort();
        const auto& section = json.at("thread_names");
        if (RZRCTRIsValidUTF8(tail) && section.at("name") != tail) std::abort();
        const auto decoded =
            RZRCTRRecordHexDecode(section.at("hex").get_ref<const std::string&>().c_str());
        if (RZRCTRIsValidUTF8(head) && decoded != head) std::abort();
    });
    if (lines != 1) std::abort();

    // Reader: the input as a record file.
    RZRCTRRecordForEachLine(input, [](std::string_view line) {
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (!json.is_discarded()) decodeStrings(json);
    });
    return 0;
}
