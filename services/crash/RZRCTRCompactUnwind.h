#pragma once
// Compact unwind information (the __unwind_info section of Mach-O images,
// version 1, compressed second-level pages) and its arm64 encodings:
// frame-pointer, link-register or DWARF call-frame information at an offset
// in __eh_frame.
//
// Crash-time code: no allocation, no locks, no stdio. Every offset and
// count read from the section is checked against its size before use.

#include <cstdint>

#include "services/crash/RZRCTRDwarf.h"

struct RZRCTRCompactUnwindHeader {
    std::uint32_t version;
    std::uint32_t commonEncodingsArraySectionOffset;
    std::uint32_t commonEncodingsArrayCount;
    std::uint32_t personalityArraySectionOffset;
    std::uint32_t personalityArrayCount;
    std::uint32_t indexSectionOffset;
    std::uint32_t indexCount;
};

struct RZRCTRCompactUnwindFirstLevelEntry {
    std::uint32_t functionOffset;
    std::uint32_t secondLevelPagesSectionOffset;
    std::uint32_t lsdaIndexArraySectionOffset;
};

struct RZRCTRCompactUnwindContext {
    const std::uint8_t* unwindInfo = nullptr;
    std::uint64_t unwindInfoSize = 0;
    RZRCTRDwarfSection ehFrame;
    std::uint64_t loadAddress = 0;
    RZRCTRCompactUnwindHeader header{};
    RZRCTRCompactUnwindFirstLevelEntry firstLevelEntry{};
    std::uint32_t firstLevelNextFunctionOffset = 0;
};

struct RZRCTRCompactUnwindResult {
    std::uint32_t encoding = 0;
    std::uint64_t functionStart = 0;
    std::uint64_t functionEnd = 0;
    std::uint64_t lsda = 0;
    std::uint64_t personality = 0;
};

bool RZRCTRCompactUnwindInit(RZRCTRCompactUnwindContext* context, const void* unwindInfo,
                             std::uint64_t unwindInfoSize, RZRCTRDwarfSection ehFrame,
                             std::uint64_t loadAddress);
bool RZRCTRCompactUnwindLookupAndCompute(RZRCTRCompactUnwindContext* context,
                                         RZRCTRUnwindRegisters* registers);
bool RZRCTRCompactUnwindLookup(RZRCTRCompactUnwindContext* context, std::uint64_t pc,
                               RZRCTRCompactUnwindResult* result);
bool RZRCTRCompactUnwindLookupFirstLevel(RZRCTRCompactUnwindContext* context, std::uint64_t pc);
bool RZRCTRCompactUnwindLookupSecondLevel(RZRCTRCompactUnwindContext* context, std::uint64_t pc,
                                          RZRCTRCompactUnwindResult* result);
bool RZRCTRCompactUnwindLookupSecondLevelCompressed(RZRCTRCompactUnwindContext* context,
                                                    std::uint64_t pc,
                                                    RZRCTRCompactUnwindResult* result);
bool RZRCTRCompactUnwindLookupSecondLevelRegular(RZRCTRCompactUnwindContext* context,
                                                 std::uint64_t pc,
                                                 RZRCTRCompactUnwindResult* result);
// The last of count 4-byte entries whose low 24 bits are <= target.
bool RZRCTRCompactUnwindBinarySearchSecondLevel(std::uint32_t target, std::uint32_t* index,
                                                std::uint16_t count, const std::uint8_t* entries);
std::uint64_t RZRCTRCompactUnwindGetTargetAddress(const RZRCTRCompactUnwindContext* context,
                                                  std::uint64_t pc);
bool RZRCTRCompactUnwindComputeRegisters(RZRCTRCompactUnwindContext* context,
                                         const RZRCTRCompactUnwindResult* result,
                                         RZRCTRUnwindRegisters* registers);
bool RZRCTRCompactUnwindDwarfFrame(RZRCTRCompactUnwindContext* context, std::uint32_t dwarfOffset,
                                   RZRCTRUnwindRegisters* registers);
