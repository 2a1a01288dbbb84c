// Compact unwind tables over arbitrary bytes: the lookup of a few PCs and
// the registers each found encoding computes, on a small stack of our own.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/crash/RZRCTRCompactUnwind.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the section's bytes, so the sanitizer sees any read
    // past it.
    const std::vector<std::uint8_t> section(data, data + size);
    constexpr std::uint64_t kLoad = 0x100000;
    RZRCTRCompactUnwindContext context;
    if (section.empty() || !RZRCTRCompactUnwindInit(&context, section.data(), section.size(),
                                                    {section.data(), section.size()}, kLoad))
        return 0;
    std::uint64_t stack[16] = {};
    for (const std::uint64_t offset : {0x0ull, 0x1000ull, 0x1024ull, 0x4000ull, 0x4030ull}) {
        RZRCTRUnwindRegisters registers;
        registers.architecture = RZRCTRUnwindArchitecture::arm64;
        registers.value[29] = reinterpret_cast<std::uint64_t>(&stack[4]);
        registers.value[30] = 0x5555000;
        registers.value[31] = reinterpret_cast<std::uint64_t>(&stack[0]);
        registers.pc = kLoad + offset;
        RZRCTRCompactUnwindLookupAndCompute(&context, &registers);
    }
    return 0;
}
