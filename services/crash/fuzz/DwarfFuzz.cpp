// Call-frame records, their instructions and expressions over arbitrary
// bytes: the first byte picks the FDE's offset, the rest is the section.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/crash/RZRCTRDwarf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // A copy of exactly the section's bytes, so the sanitizer sees any read
    // past it.
    const std::vector<std::uint8_t> section(data + 1, data + size);
    const RZRCTRDwarfSection view{section.data(), section.size()};
    std::uint64_t stack[64] = {};
    RZRCTRUnwindRegisters registers;
    for (int i = 0; i < kRZRCTRDwarfRegisterCount; ++i)
        registers.value[i] = reinterpret_cast<std::uint64_t>(&stack[32]);
    RZRCTRDwarfCFIRecord record;
    if (RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view, data[0])) {
        registers.pc = record.fde.startAddress + data[0];
        RZRCTRDwarfUnwindComputeRegisters(&record, &registers);
    }
    std::uint64_t result = 0;
    RZRCTRDwarfEvalulateExpression(section.data(), section.data() + section.size(), &registers,
                                   reinterpret_cast<std::uint64_t>(&stack[8]), &result);
    const std::uint8_t* fde = nullptr;
    RZRCTRDwarfFindFDEWithHeader(view, view, reinterpret_cast<std::uint64_t>(section.data()), &fde);
    return 0;
}
