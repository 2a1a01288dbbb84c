#pragma once
// Walks a thread's call stack from its saved registers, frame by frame:
// compact unwind information or DWARF call-frame information of the image
// that holds the PC first, then the frame-pointer chain (with the link
// register tried first on the first step on arm64).
//
// Crash-time code: no allocation, no locks, no stdio; foreign memory only
// through the fault-safe read; diagnostics through the SDK log.

#include <cstdint>

#include "services/crash/RZRCTRCompactUnwind.h"
#include "services/crash/RZRCTRDwarf.h"

inline constexpr std::uint32_t kRZRCTRUnwindMaxFrames = 600000;
// Steps through signal frames a walk may take: only there may the stack
// pointer move down (from an alternate signal stack to the thread's own).
inline constexpr std::uint32_t kRZRCTRUnwindMaxSignalFrames = 8;

// The DWARF numbers of the frame and stack pointers of the registers' kind.
inline int RZRCTRUnwindFPRegister(const RZRCTRUnwindRegisters* registers) {
    return RZRCTRUnwindFramePointerRegister(registers->architecture);
}
inline int RZRCTRUnwindSPRegister(const RZRCTRUnwindRegisters* registers) {
    return RZRCTRUnwindStackPointerRegister(registers->architecture);
}

struct RZRCTRUnwindContext {
    RZRCTRUnwindRegisters registers;
    std::uint32_t frameCount = 0;
    RZRCTRCompactUnwindContext compactUnwindContext;
    std::uint64_t lastFramePC = 0;
    std::uint32_t repeatCount = 0;
    std::uint32_t signalFrames = 0;
};

bool RZRCTRUnwindInit(RZRCTRUnwindContext* context, const RZRCTRUnwindRegisters* registers);
// True when the context now describes one more frame; the first call yields
// the captured frame itself. Every step must leave the stack pointer higher
// than before (stacks grow down), whichever method took it, so a damaged or
// cyclic stack ends the walk.
bool RZRCTRUnwindNextFrame(RZRCTRUnwindContext* context);
std::uint64_t RZRCTRUnwindGetPC(const RZRCTRUnwindContext* context);
std::uint64_t RZRCTRUnwindGetStackPointer(const RZRCTRUnwindContext* context);
std::uint32_t RZRCTRUnwindGetFrameRepeatCount(const RZRCTRUnwindContext* context);
// The caller's stack pointer under the frame-record layout: fp + 16.
std::uint64_t RZRCTRUnwindStackPointerFromFramePointer(std::uint64_t fp);

// The frame record at FP: caller PC from the saved return address, FP from
// the saved FP, SP = FP + 16. Fails unless the saved FP is 0 or lies above
// the current one, so a damaged or cyclic chain ends the walk.
bool RZRCTRUnwindWithFramePointer(RZRCTRUnwindRegisters* registers, bool tryLinkRegister);
// arm64: PC = LR, FP and SP unchanged.
bool RZRCTRUnwindWithLRRegister(RZRCTRUnwindRegisters* registers);

std::uint64_t RZRCTRDwarfUnwindGetRegisterValue(const RZRCTRUnwindRegisters* registers,
                                                std::uint64_t number);
bool RZRCTRDwarfUnwindSetRegisterValue(RZRCTRUnwindRegisters* registers, std::uint64_t number,
                                       std::uint64_t value);
bool RZRCTRUnwindIsAddressExecutable(std::uint64_t address);
