#include <cstdint>

#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUnwind.h"

// The register-only unwinding methods, apart from the image lookups so that
// the table readers can be exercised on their own.

namespace {

bool valid(std::uint64_t address) {
    return address >= kRZRCTRMinimumValidAddress;
}

}  // namespace

std::uint64_t RZRCTRUnwindStackPointerFromFramePointer(std::uint64_t fp) {
    return fp + 16;
}

bool RZRCTRUnwindWithLRRegister(RZRCTRUnwindRegisters* registers) {
    if (registers->architecture != RZRCTRUnwindArchitecture::arm64 ||
        !valid(registers->value[30])) {
        RZRCTRSDKLogWarn("Error: LR value is invalid");
        return false;
    }
    registers->pc = registers->value[30];
    return true;
}

bool RZRCTRUnwindWithFramePointer(RZRCTRUnwindRegisters* registers, bool tryLinkRegister) {
    if (tryLinkRegister) {
        if (RZRCTRUnwindWithLRRegister(registers)) return true;
        RZRCTRSDKLogWarn("Unable to use LR, skipping");
    }
    const std::uint64_t fp = registers->value[RZRCTRUnwindFPRegister(registers)];
    std::uint64_t record[2];
    if (!RZRCTRReadMemory(static_cast<std::uintptr_t>(fp), record, sizeof record)) {
        RZRCTRSDKLogWarn("Error: failed to read memory at address %p", reinterpret_cast<void*>(fp));
        return false;
    }
    // Stacks grow down: each caller's record lies above its callee's.
    if (record[0] != 0 && record[0] <= fp) {
        RZRCTRSDKLogWarn("Error: frame pointer %p does not move up",
                         reinterpret_cast<void*>(record[0]));
        return false;
    }
    registers->pc = record[1];
    registers->value[RZRCTRUnwindFPRegister(registers)] = record[0];
    registers->value[RZRCTRUnwindSPRegister(registers)] =
        RZRCTRUnwindStackPointerFromFramePointer(fp);
    return true;
}

std::uint64_t RZRCTRDwarfUnwindGetRegisterValue(const RZRCTRUnwindRegisters* registers,
                                                std::uint64_t number) {
    if (number >= kRZRCTRDwarfRegisterCount) {
        RZRCTRSDKLogWarn("Error: Unrecognized get register number %p",
                         reinterpret_cast<void*>(number));
        return 0;
    }
    return registers->value[number];
}

bool RZRCTRDwarfUnwindSetRegisterValue(RZRCTRUnwindRegisters* registers, std::uint64_t number,
                                       std::uint64_t value) {
    if (number >= kRZRCTRDwarfRegisterCount) {
        RZRCTRSDKLogWarn("Unrecognized set register number %p", reinterpret_cast<void*>(number));
        return false;
    }
    registers->value[number] = value;
    if (registers->architecture == RZRCTRUnwindArchitecture::arm64 && number == 30)
        registers->pc = value;
    return true;
}
