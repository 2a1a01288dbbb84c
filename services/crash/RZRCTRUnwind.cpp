#include "services/crash/RZRCTRUnwind.h"

#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

bool valid(std::uint64_t address) {
    return address >= kRZRCTRMinimumValidAddress;
}

// A step that ends the stack (PC 0) has nowhere to climb to; on arm64 the
// crashed function may be a leaf that returns through the link register
// with its caller's stack pointer.
bool climbed(const RZRCTRUnwindContext* context, std::uint64_t previousSP) {
    const RZRCTRUnwindRegisters* registers = &context->registers;
    const std::uint64_t sp = registers->value[RZRCTRUnwindSPRegister(registers)];
    if (registers->pc == 0 || sp > previousSP) return true;
    if (context->frameCount == 1 && registers->architecture == RZRCTRUnwindArchitecture::arm64 &&
        sp == previousSP)
        return true;
    RZRCTRSDKLogWarn("Error: the stack pointer %p does not move up",
                     reinterpret_cast<void*>(registers->value[RZRCTRUnwindSPRegister(registers)]));
    return false;
}

// The image's own tables: compact unwind information where the image has
// it, else DWARF call-frame information through its search table.
bool unwindWithImageTables(RZRCTRUnwindContext* context, bool* signalFrame) {
    RZRCTRUnwindRegisters* registers = &context->registers;
    RZRCTRBinaryImageRuntimeNode node;
    if (!RZRCTRBinaryImageSafeFindImageForAddress(registers->pc, &node)) {
        RZRCTRSDKLogWarn("Unable to find binary for %p", reinterpret_cast<void*>(registers->pc));
        return false;
    }
    RZRCTRSDKLogDebug("Binary image for %p at %p", reinterpret_cast<void*>(registers->pc),
                      reinterpret_cast<void*>(node.baseAddress));
    const RZRCTRDwarfSection ehFrame{static_cast<const std::uint8_t*>(node.ehFrame),
                                     node.ehFrameSize};
    if (RZRCTRBinaryImageNodeHasUnwindInfo(&node)) {
        if (!RZRCTRCompactUnwindInit(&context->compactUnwindContext, node.unwindInfo,
                                     node.unwindInfoSize, ehFrame, node.baseAddress)) {
            RZRCTRSDKLogError("Unable to read unwind info");
            return false;
        }
        return RZRCTRCompactUnwindLookupAndCompute(&context->compactUnwindContext, registers);
    }
    if (node.ehFrameHeader == nullptr || node.ehFrame == nullptr) {
        RZRCTRSDKLogInfo("Binary image at %p has no unwind info",
                         reinterpret_cast<void*>(node.baseAddress));
        return false;
    }
    const RZRCTRDwarfSection header{static_cast<const std::uint8_t*>(node.ehFrameHeader),
                                    node.ehFrameHeaderSize};
    const std::uint8_t* fde = nullptr;
    RZRCTRDwarfCFIRecord record;
    if (!RZRCTRDwarfFindFDEWithHeader(header, ehFrame, registers->pc, &fde) ||
        !RZRCTRDwarfParseCFIFromFDERecord(&record, fde, ehFrame) ||
        registers->pc < record.fde.startAddress ||
        registers->pc - record.fde.startAddress >= record.fde.rangeSize) {
        RZRCTRSDKLogInfo("No call-frame information for %p",
                         reinterpret_cast<void*>(registers->pc));
        return false;
    }
    *signalFrame = record.cie.signalFrame;
    return RZRCTRDwarfUnwindComputeRegisters(&record, registers);
}

bool nextFrameUsingAllStrategies(RZRCTRUnwindContext* context) {
    RZRCTRUnwindRegisters* registers = &context->registers;
    if (context->frameCount >= kRZRCTRUnwindMaxFrames) {
        RZRCTRSDKLogWarn("Exceeded maximum number of frames");
        return false;
    }
    // Frames after the first two hold return addresses: look up the call
    // instruction itself. The crashed frame's PC is exact and stays.
    if (context->frameCount >= 2) registers->pc -= 1;
    if (!valid(registers->pc)) {
        RZRCTRSDKLogError("PC is invalid");
        return false;
    }
    if (context->frameCount == 0) return true;
    const std::uint64_t sp = registers->value[RZRCTRUnwindSPRegister(registers)];
    bool signalFrame = false;
    if (unwindWithImageTables(context, &signalFrame)) {
        if (!signalFrame || registers->pc == 0) return climbed(context, sp);
        if (++context->signalFrames > kRZRCTRUnwindMaxSignalFrames) {
            RZRCTRSDKLogWarn("Too many signal frames");
            return false;
        }
        return true;
    }
    if (registers->value[RZRCTRUnwindFPRegister(registers)] == 0) {
        RZRCTRSDKLogWarn("FP is zero, aborting unwind");
        registers->pc = 0;
        return true;
    }
    const bool tryLinkRegister =
        context->frameCount == 1 && registers->architecture == RZRCTRUnwindArchitecture::arm64;
    if (!RZRCTRUnwindWithFramePointer(registers, tryLinkRegister)) {
        RZRCTRSDKLogError("Unable to use frame pointer");
        return false;
    }
    return climbed(context, sp);
}

}  // namespace

bool RZRCTRUnwindInit(RZRCTRUnwindContext* context, const RZRCTRUnwindRegisters* registers) {
    if (context == nullptr || registers == nullptr) return false;
    *context = RZRCTRUnwindContext{};
    context->registers = *registers;
    return true;
}

bool RZRCTRUnwindNextFrame(RZRCTRUnwindContext* context) {
    if (reinterpret_cast<std::uintptr_t>(context) < kRZRCTRMinimumValidAddress) {
        RZRCTRSDKLogWarn("Error: invalid inputs");
        return false;
    }
    RZRCTRUnwindRegisters* registers = &context->registers;
    if (!valid(registers->pc) || !valid(registers->value[RZRCTRUnwindSPRegister(registers)])) {
        if (context->frameCount == 0) {
            RZRCTRSDKLogWarn("Cancelling unwind for thread with invalid PC/SP");
        } else {
            RZRCTRSDKLogWarn("Error: thread PC/SP invalid before unwind");
        }
        return false;
    }
    if (!nextFrameUsingAllStrategies(context)) {
        RZRCTRSDKLogError("Failed to advance to the next frame");
        return false;
    }
    if (!valid(registers->pc)) return false;
    if (!valid(registers->value[RZRCTRUnwindSPRegister(registers)])) {
        RZRCTRSDKLogWarn(
            "Error: SP (%p) isn't a valid pointer",
            reinterpret_cast<void*>(registers->value[RZRCTRUnwindSPRegister(registers)]));
        return false;
    }
    context->repeatCount = registers->pc == context->lastFramePC ? context->repeatCount + 1 : 0;
    context->frameCount += 1;
    context->lastFramePC = registers->pc;
    return true;
}

std::uint64_t RZRCTRUnwindGetPC(const RZRCTRUnwindContext* context) {
    return context != nullptr ? context->registers.pc : 0;
}

std::uint64_t RZRCTRUnwindGetStackPointer(const RZRCTRUnwindContext* context) {
    return context != nullptr
               ? context->registers.value[RZRCTRUnwindSPRegister(&context->registers)]
               : 0;
}

std::uint32_t RZRCTRUnwindGetFrameRepeatCount(const RZRCTRUnwindContext* context) {
    return context != nullptr ? context->repeatCount : 0;
}

bool RZRCTRUnwindIsAddressExecutable(std::uint64_t address) {
    RZRCTRBinaryImageRuntimeNode node;
    return RZRCTRBinaryImageSafeFindImageForAddress(address, &node);
}
