#pragma once
// The I/O registry, as far as the application reads it: the platform-expert
// device and its "model" property, a NUL-terminated byte string.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

using io_object_t = std::uint32_t;
using io_service_t = io_object_t;
using mach_port_t = std::uint32_t;
using kern_return_t = int;

inline constexpr mach_port_t kIOMasterPortDefault = 0;
inline constexpr io_object_t IO_OBJECT_NULL = 0;
inline constexpr int kCFAllocatorDefault = 0;

// A matching dictionary for services of the class.
Dictionary IOServiceMatching(const std::string& className);
// The first matching service, or IO_OBJECT_NULL. The caller releases it.
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, const Dictionary& matching);
// The property, or nullopt when the entry has none.
std::optional<Value> IORegistryEntryCreateCFProperty(io_object_t entry, const std::string& key,
                                                     int allocator, unsigned options);
kern_return_t IOObjectRelease(io_object_t object);

namespace sim {

// The bytes of the platform-expert device's "model" property: by default
// the simulated host model (sim::hostModel()) with a trailing NUL.
void setPlatformExpertModelData(std::optional<Data> data);
void clearPlatformExpertModelData();
// Services handed out and not yet released.
int outstandingIOObjects();

}  // namespace sim
