// The backend's decoder of measurement batches, fed arbitrary bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/backend/MeasurementBackend.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    if (auto batch = sim::decodeMeasurementBatch(body)) {
        for (const auto& bundle : batch->bundles) {
            for (const auto& event : bundle.events) static_cast<void>(event.param("_sr"));
        }
    }
    return 0;
}
