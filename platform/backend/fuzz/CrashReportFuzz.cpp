// The backend's decoder of crash-report messages, fed arbitrary bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/backend/CrashReports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    if (auto report = sim::decodeCrashReport(payload)) {
        for (const auto& [name, contents] : report->files) {
            static_cast<void>(report->file(name));
            static_cast<void>(contents.size());
        }
    }
    return 0;
}
