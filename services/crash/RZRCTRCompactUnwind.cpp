#include "services/crash/RZRCTRCompactUnwind.h"

#include <cstring>

#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUnwind.h"

namespace {

constexpr std::uint32_t kModeMask = 0x0f000000;
constexpr std::uint32_t kPageKindRegular = 2;
constexpr std::uint32_t kPageKindCompressed = 3;

// A u32 at offset within the section; false past its end.
bool sectionWord(const RZRCTRCompactUnwindContext* context, std::uint64_t offset,
                 std::uint32_t* value) {
    if (offset > context->unwindInfoSize || context->unwindInfoSize - offset < 4) return false;
    std::memcpy(value, context->unwindInfo + offset, 4);
    return true;
}
bool sectionHalf(const RZRCTRCompactUnwindContext* context, std::uint64_t offset,
                 std::uint16_t* value) {
    if (offset > context->unwindInfoSize || context->unwindInfoSize - offset < 2) return false;
    std::memcpy(value, context->unwindInfo + offset, 2);
    return true;
}

}  // namespace

bool RZRCTRCompactUnwindInit(RZRCTRCompactUnwindContext* context, const void* unwindInfo,
                             std::uint64_t unwindInfoSize, RZRCTRDwarfSection ehFrame,
                             std::uint64_t loadAddress) {
    if (reinterpret_cast<std::uintptr_t>(context) < kRZRCTRMinimumValidAddress) {
        RZRCTRSDKLogWarn("Error: invalid context passed to compact unwind init");
        return false;
    }
    if (reinterpret_cast<std::uintptr_t>(unwindInfo) < kRZRCTRMinimumValidAddress) {
        RZRCTRSDKLogWarn("Error: invalid unwind info passed to compact unwind init");
        return false;
    }
    if (loadAddress < kRZRCTRMinimumValidAddress) {
        RZRCTRSDKLogWarn("Error: invalid load address passed to compact unwind init");
        return false;
    }
    *context = RZRCTRCompactUnwindContext{};
    if (unwindInfoSize < sizeof(RZRCTRCompactUnwindHeader) ||
        !RZRCTRReadMemory(reinterpret_cast<std::uintptr_t>(unwindInfo), &context->header,
                          sizeof context->header)) {
        RZRCTRSDKLogWarn("Error: could not read memory contents of unwindInfo");
        return false;
    }
    if (context->header.version != 1) {
        RZRCTRSDKLogWarn("Error: bad unwind_info structure version (%d != %d)",
                         context->header.version, 1);
        return false;
    }
    context->unwindInfo = static_cast<const std::uint8_t*>(unwindInfo);
    context->unwindInfoSize = unwindInfoSize;
    context->ehFrame = ehFrame;
    context->loadAddress = loadAddress;
    return true;
}

bool RZRCTRCompactUnwindLookupFirstLevel(RZRCTRCompactUnwindContext* context, std::uint64_t pc) {
    const RZRCTRCompactUnwindHeader& header = context->header;
    if (header.indexCount < 2 || pc < context->loadAddress) return false;
    const std::uint64_t offset = pc - context->loadAddress;
    const std::uint64_t index = header.indexSectionOffset;
    if (index > context->unwindInfoSize ||
        header.indexCount > (context->unwindInfoSize - index) / 12) {
        RZRCTRSDKLogWarn("Error: first level index past the section");
        return false;
    }
    for (std::uint32_t i = 0; i + 1 < header.indexCount; ++i) {
        RZRCTRCompactUnwindFirstLevelEntry entry;
        std::memcpy(&entry, context->unwindInfo + index + i * 12, 12);
        std::uint32_t next = 0;
        std::memcpy(&next, context->unwindInfo + index + (i + 1) * 12, 4);
        if (entry.functionOffset <= offset && offset < next) {
            context->firstLevelEntry = entry;
            context->firstLevelNextFunctionOffset = next;
            RZRCTRSDKLogDebug("Found first level (second => %u)",
                              entry.secondLevelPagesSectionOffset);
            return true;
        }
    }
    RZRCTRSDKLogWarn("Unable to find pc in first level");
    return false;
}

std::uint64_t RZRCTRCompactUnwindGetTargetAddress(const RZRCTRCompactUnwindContext* context,
                                                  std::uint64_t pc) {
    const std::uint64_t base = context->loadAddress + context->firstLevelEntry.functionOffset;
    if (pc <= base) {
        RZRCTRSDKLogWarn("Error: PC is invalid");
        return 0;
    }
    return pc - base;
}

bool RZRCTRCompactUnwindBinarySearchSecondLevel(std::uint32_t target, std::uint32_t* index,
                                                std::uint16_t count, const std::uint8_t* entries) {
    if (index == nullptr || entries == nullptr || count == 0) return false;
    const auto offsetAt = [&](std::uint32_t i) {
        std::uint32_t entry;
        std::memcpy(&entry, entries + i * 4, 4);
        return entry & 0x00ffffff;
    };
    std::uint32_t low = 0;
    std::uint32_t high = count;
    *index = 0;
    while (low < high) {
        const std::uint32_t middle = (low + high) / 2;
        if (offsetAt(middle) > target) {
            high = middle;
            continue;
        }
        *index = middle;
        if (middle + 1 == count || offsetAt(middle + 1) > target) return true;
        *index = middle + 1;
        low = middle + 1;
    }
    return true;
}

bool RZRCTRCompactUnwindLookupSecondLevelCompressed(RZRCTRCompactUnwindContext* context,
                                                    std::uint64_t pc,
                                                    RZRCTRCompactUnwindResult* result) {
    const std::uint64_t page = context->firstLevelEntry.secondLevelPagesSectionOffset;
    std::uint16_t entryPageOffset = 0;
    std::uint16_t entryCount = 0;
    std::uint16_t encodingsPageOffset = 0;
    std::uint16_t encodingsCount = 0;
    if (!sectionHalf(context, page + 4, &entryPageOffset) ||
        !sectionHalf(context, page + 6, &entryCount) ||
        !sectionHalf(context, page + 8, &encodingsPageOffset) ||
        !sectionHalf(context, page + 10, &encodingsCount))
        return false;
    const std::uint64_t entries = page + entryPageOffset;
    if (entries > context->unwindInfoSize || entryCount > (context->unwindInfoSize - entries) / 4) {
        RZRCTRSDKLogWarn("Error: second level entries past the section");
        return false;
    }
    const std::uint64_t target = RZRCTRCompactUnwindGetTargetAddress(context, pc);
    std::uint32_t index = 0;
    if (target > 0x00ffffff ||
        !RZRCTRCompactUnwindBinarySearchSecondLevel(static_cast<std::uint32_t>(target), &index,
                                                    entryCount, context->unwindInfo + entries)) {
        RZRCTRSDKLogInfo("Unable to find PC in second level");
        return false;
    }
    std::uint32_t entry = 0;
    std::memcpy(&entry, context->unwindInfo + entries + index * 4, 4);
    const std::uint64_t functionBase =
        context->loadAddress + context->firstLevelEntry.functionOffset;
    result->functionStart = functionBase + (entry & 0x00ffffff);
    if (index + 1 < entryCount) {
        std::uint32_t next = 0;
        std::memcpy(&next, context->unwindInfo + entries + (index + 1) * 4, 4);
        result->functionEnd = functionBase + (next & 0x00ffffff);
    } else {
        result->functionEnd = context->loadAddress + context->firstLevelNextFunctionOffset;
    }
    if (pc < result->functionStart || pc >= result->functionEnd) {
        RZRCTRSDKLogWarn("PC does not match computed function range");
        return false;
    }
    const std::uint32_t encodingIndex = entry >> 24;
    std::uint32_t encoding = 0;
    bool found = false;
    if (encodingIndex < context->header.commonEncodingsArrayCount) {
        found = sectionWord(
            context, context->header.commonEncodingsArraySectionOffset + 4ull * encodingIndex,
            &encoding);
    } else if (encodingIndex - context->header.commonEncodingsArrayCount < encodingsCount) {
        found = sectionWord(context,
                            page + encodingsPageOffset +
                                4ull * (encodingIndex - context->header.commonEncodingsArrayCount),
                            &encoding);
    }
    if (!found) {
        RZRCTRSDKLogWarn("Error: encoding index %u past its array", encodingIndex);
        return false;
    }
    if (encoding == 0) {
        RZRCTRSDKLogInfo("Entry has has no unwind info");
        return false;
    }
    result->encoding = encoding;
    return true;
}

bool RZRCTRCompactUnwindLookupSecondLevelRegular(RZRCTRCompactUnwindContext*, std::uint64_t,
                                                 RZRCTRCompactUnwindResult*) {
    RZRCTRSDKLogWarn("Encountered a regular second-level page");
    return false;
}

bool RZRCTRCompactUnwindLookupSecondLevel(RZRCTRCompactUnwindContext* context, std::uint64_t pc,
                                          RZRCTRCompactUnwindResult* result) {
    std::uint32_t kind = 0;
    if (!sectionWord(context, context->firstLevelEntry.secondLevelPagesSectionOffset, &kind)) {
        RZRCTRSDKLogWarn("Error: second level page past the section");
        return false;
    }
    switch (kind) {
        case kPageKindCompressed:
            RZRCTRSDKLogInfo("Found a second level compressed header");
            return RZRCTRCompactUnwindLookupSecondLevelCompressed(context, pc, result);
        case kPageKindRegular:
            RZRCTRSDKLogInfo("Found a second level regular header");
            return RZRCTRCompactUnwindLookupSecondLevelRegular(context, pc, result);
        default:
            RZRCTRSDKLogError("Unrecognized header kind - unable to continue");
            return false;
    }
}

bool RZRCTRCompactUnwindLookup(RZRCTRCompactUnwindContext* context, std::uint64_t pc,
                               RZRCTRCompactUnwindResult* result) {
    if (!RZRCTRCompactUnwindLookupFirstLevel(context, pc)) return false;
    if (!RZRCTRCompactUnwindLookupSecondLevel(context, pc, result)) {
        RZRCTRSDKLogInfo("Second-level PC lookup failed");
        return false;
    }
    return true;
}

bool RZRCTRCompactUnwindDwarfFrame(RZRCTRCompactUnwindContext* context, std::uint32_t dwarfOffset,
                                   RZRCTRUnwindRegisters* registers) {
    RZRCTRSDKLogInfo("Trying to read dwarf data with offset %x", dwarfOffset);
    RZRCTRDwarfCFIRecord record;
    if (!RZRCTRDwarfParseCFIFromFDERecordOffset(&record, context->ehFrame, dwarfOffset)) {
        RZRCTRSDKLogError("Unable to init FDE");
        return false;
    }
    if (!RZRCTRDwarfUnwindComputeRegisters(&record, registers)) {
        RZRCTRSDKLogError("Failed to compute DWARF registers");
        return false;
    }
    return true;
}

bool RZRCTRCompactUnwindComputeRegisters(RZRCTRCompactUnwindContext* context,
                                         const RZRCTRCompactUnwindResult* result,
                                         RZRCTRUnwindRegisters* registers) {
    const std::uint32_t mode = result->encoding & kModeMask;
    const std::uint32_t data = result->encoding & 0x00ffffff;
    if (registers->architecture == RZRCTRUnwindArchitecture::arm64) {
        switch (mode) {
            case 0x04000000:
                return RZRCTRUnwindWithFramePointer(registers, false);
            case 0x02000000:
                return RZRCTRUnwindWithLRRegister(registers);
            case 0x03000000:
                return RZRCTRCompactUnwindDwarfFrame(context, data, registers);
            default:
                break;
        }
    } else {
        switch (mode) {
            case 0x01000000:
                return RZRCTRUnwindWithFramePointer(registers, false);
            case 0x04000000:
                return RZRCTRCompactUnwindDwarfFrame(context, data, registers);
            default:
                break;
        }
    }
    RZRCTRSDKLogWarn("Invalid encoding 0x%x", result->encoding);
    return false;
}

bool RZRCTRCompactUnwindLookupAndCompute(RZRCTRCompactUnwindContext* context,
                                         RZRCTRUnwindRegisters* registers) {
    const std::uint64_t pc = registers->pc;
    if (pc < context->loadAddress) return false;
    RZRCTRCompactUnwindResult result;
    if (!RZRCTRCompactUnwindLookup(context, pc, &result)) {
        RZRCTRSDKLogInfo("Unable to lookup compact unwind for pc %p", reinterpret_cast<void*>(pc));
        return false;
    }
    if (!RZRCTRCompactUnwindComputeRegisters(context, &result, registers)) {
        RZRCTRSDKLogError("Failed to compute registers");
        return false;
    }
    return true;
}
