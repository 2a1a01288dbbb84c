#include "platform/iokit/IOKit.h"

#include <atomic>
#include <mutex>

#include "platform/bundle/NSProcessInfo.h"

namespace {

constexpr io_service_t kPlatformExpert = 0x1001;

std::mutex& mutex() {
    static std::mutex m;
    return m;
}
bool overridden = false;
std::optional<Data> overrideData;
std::atomic<int> outstanding{0};

}  // namespace

Dictionary IOServiceMatching(const std::string& className) {
    return Dictionary{{"IOProviderClass", className}};
}

io_service_t IOServiceGetMatchingService(mach_port_t, const Dictionary& matching) {
    if (matching["IOProviderClass"] != Value("IOPlatformExpertDevice")) return IO_OBJECT_NULL;
    ++outstanding;
    return kPlatformExpert;
}

std::optional<Value> IORegistryEntryCreateCFProperty(io_object_t entry, const std::string& key, int,
                                                     unsigned) {
    if (entry != kPlatformExpert || key != "model") return std::nullopt;
    std::lock_guard lock(mutex());
    if (overridden) {
        if (!overrideData) return std::nullopt;
        return Value(*overrideData);
    }
    auto model = sim::hostModel();
    Data bytes(model.begin(), model.end());
    bytes.push_back(0);
    return Value(bytes);
}

kern_return_t IOObjectRelease(io_object_t object) {
    if (object == kPlatformExpert) --outstanding;
    return 0;
}

namespace sim {

void setPlatformExpertModelData(std::optional<Data> data) {
    std::lock_guard lock(mutex());
    overridden = true;
    overrideData = std::move(data);
}

void clearPlatformExpertModelData() {
    std::lock_guard lock(mutex());
    overridden = false;
    overrideData.reset();
}

int outstandingIOObjects() {
    return outstanding.load();
}

}  // namespace sim
