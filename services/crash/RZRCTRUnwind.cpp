#include "services/crash/RZRCTRUnwind.h"

#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

bool valid(std::uint64_t address) {
    return address >= kRZRCTRMinimumValidAddress;
}

int fpRegister(const RZRCTRUnwindRegisters* registers) {
    return RZRCTRUnwindFramePointerRegister(registers->architecture);
}
int spRegister(const RZRCTRUnwindRegisters* registers) {
    return RZRCTRUnwindStackPointerRegister(registers->architecture);
}

// The image's own tables: compact unwind information where the image has
// it, else DWARF call-frame information through its search table.
bool unwindWithImageTables(RZRCTRUnwindContext* context) {
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
    if (unwindWithImageTables(context)) return true;
    if (registers->value[fpRegister(registers)] == 0) {
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
    return true;
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
    if (!valid(registers->pc) || !valid(registers->value[spRegister(registers)])) {
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
    if (!valid(registers->value[spRegister(registers)])) {
        RZRCTRSDKLogWarn("Error: SP (%p) isn't a valid pointer",
                         reinterpret_cast<void*>(registers->value[spRegister(registers)]));
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
    return context != nullptr ? context->registers.value[spRegister(&context->registers)] : 0;
}

std::uint32_t RZRCTRUnwindGetFrameRepeatCount(const RZRCTRUnwindContext* context) {
    return context != nullptr ? context->repeatCount : 0;
}

bool RZRCTRUnwindIsAddressExecutable(std::uint64_t address) {
    RZRCTRBinaryImageRuntimeNode node;
    return RZRCTRBinaryImageSafeFindImageForAddress(address, &node);
}
