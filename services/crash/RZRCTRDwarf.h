#pragma once
// DWARF call-frame information: CIE and FDE records of an .eh_frame
// section, their call-frame instructions, the CFA and the caller's
// registers, and the small stack machine of DWARF expressions.
//
// Crash-time code: no allocation, no locks, no stdio, diagnostics through
// the SDK log only. Unwind data is read directly, but never past the bounds
// of the section it was found in; stack memory is read through the
// fault-safe read.

#include <cstddef>
#include <cstdint>

inline constexpr int kRZRCTRDwarfRegisterCount = 32;
inline constexpr std::uint64_t kRZRCTRDwarfInvalidAddress = ~std::uint64_t{0};

enum class RZRCTRUnwindArchitecture : std::uint8_t { x86_64, arm64 };

// A thread's registers by DWARF number (x86-64: 0-15 the general registers,
// 7 the stack pointer, 16 the return address; arm64: x0-x30, 31 the stack
// pointer) and its PC.
struct RZRCTRUnwindRegisters {
    RZRCTRUnwindArchitecture architecture = RZRCTRUnwindArchitecture::x86_64;
    std::uint64_t value[kRZRCTRDwarfRegisterCount] = {};
    std::uint64_t pc = 0;
};
int RZRCTRUnwindStackPointerRegister(RZRCTRUnwindArchitecture architecture);
int RZRCTRUnwindFramePointerRegister(RZRCTRUnwindArchitecture architecture);

// A read position inside a bounded range. Reading past end yields 0 and sets
// failed, which stays set.
struct RZRCTRDwarfCursor {
    const std::uint8_t* position = nullptr;
    const std::uint8_t* end = nullptr;
    bool failed = false;
};

std::uint8_t RZRCTRParseUint8AndAdvance(RZRCTRDwarfCursor* cursor);
std::uint16_t RZRCTRParseUint16AndAdvance(RZRCTRDwarfCursor* cursor);
std::int16_t RZRCTRParseInt16AndAdvance(RZRCTRDwarfCursor* cursor);
std::uint32_t RZRCTRParseUint32AndAdvance(RZRCTRDwarfCursor* cursor);
std::uint64_t RZRCTRParseUint64AndAdvance(RZRCTRDwarfCursor* cursor);
std::uint64_t RZRCTRParseULEB128AndAdvance(RZRCTRDwarfCursor* cursor);
std::int64_t RZRCTRParseLEB128AndAdvance(RZRCTRDwarfCursor* cursor);
// The string's start, or null when no NUL ends it before the end.
const char* RZRCTRParseStringAndAdvance(RZRCTRDwarfCursor* cursor);
// A 32-bit length, or 0xffffffff followed by a 64-bit one.
std::uint64_t RZRCTRParseRecordLengthAndAdvance(RZRCTRDwarfCursor* cursor);
// 0 for the omit encoding; kRZRCTRDwarfInvalidAddress for what cannot be
// read or is not handled.
std::uint64_t RZRCTRParseAddressWithEncodingAndAdvance(RZRCTRDwarfCursor* cursor,
                                                       std::uint8_t encoding);

struct RZRCTRDwarfInstructions {
    std::uint32_t length = 0;
    const std::uint8_t* start = nullptr;
};

struct RZRCTRDwarfCIERecord {
    std::uint64_t length = 0;
    std::uint8_t version = 0;
    const char* augmentation = nullptr;
    std::uint8_t pointerEncoding = 0;
    std::uint8_t lsdaEncoding = 0;
    std::uint8_t personalityEncoding = 0;
    std::uint64_t personalityFunction = 0;
    std::uint64_t codeAlignFactor = 0;
    std::int64_t dataAlignFactor = 0;
    std::uint64_t returnAddressRegister = 0;
    bool signalFrame = false;
    RZRCTRDwarfInstructions instructions;
};

struct RZRCTRDwarfFDERecord {
    std::uint64_t length = 0;
    std::uint32_t cieOffset = 0;
    std::uint64_t startAddress = 0;
    std::uint64_t rangeSize = 0;
    RZRCTRDwarfInstructions instructions;
};

struct RZRCTRDwarfCFIRecord {
    RZRCTRDwarfCIERecord cie;
    RZRCTRDwarfFDERecord fde;
};

enum RZRCTRDwarfRegisterLocation : std::uint32_t {
    RZRCTRDwarfRegisterUnused = 0,
    RZRCTRDwarfRegisterInCFA = 1,
    RZRCTRDwarfRegisterOffsetFromCFA = 2,
    RZRCTRDwarfRegisterInRegister = 3,
    RZRCTRDwarfRegisterAtExpression = 4,
    RZRCTRDwarfRegisterIsExpression = 5,
    RZRCTRDwarfRegisterUndefined = 6,
};

// For the expression locations, value points to the block and limit is the
// end of the instructions it was found in: the block never reaches past it.
struct RZRCTRDwarfRegister {
    std::uint32_t location = RZRCTRDwarfRegisterUnused;
    std::uint64_t value = 0;
    const std::uint8_t* limit = nullptr;
};

inline constexpr int kRZRCTRDwarfRememberedStates = 8;
struct RZRCTRDwarfRow {
    std::uint64_t cfaRegister = 0;
    std::int64_t cfaRegisterOffset = 0;
    std::uint64_t cfaExpression = 0;
    const std::uint8_t* cfaExpressionLimit = nullptr;
    RZRCTRDwarfRegister registers[kRZRCTRDwarfRegisterCount];
};
// The current row, the row after the CIE's instructions (what restore goes
// back to) and the rows remember_state saved.
struct RZRCTRDwarfState : RZRCTRDwarfRow {
    RZRCTRDwarfRow initial;
    bool hasInitial = false;
    RZRCTRDwarfRow remembered[kRZRCTRDwarfRememberedStates];
    int rememberedCount = 0;
};

// The section a record is read from.
struct RZRCTRDwarfSection {
    const std::uint8_t* start = nullptr;
    std::uint64_t size = 0;
};

bool RZRCTRDwarfParseCIERecord(RZRCTRDwarfCIERecord* cie, const std::uint8_t* address,
                               RZRCTRDwarfSection section);
bool RZRCTRDwarfParseFDERecord(RZRCTRDwarfFDERecord* fde, bool parseCIE, RZRCTRDwarfCIERecord* cie,
                               const std::uint8_t* address, RZRCTRDwarfSection section);
// The FDE at ehFrame + fdeOffset and its CIE; false for any zero argument or
// an offset outside the section.
bool RZRCTRDwarfParseCFIFromFDERecordOffset(RZRCTRDwarfCFIRecord* record,
                                            RZRCTRDwarfSection ehFrame, std::uint64_t fdeOffset);
bool RZRCTRDwarfParseCFIFromFDERecord(RZRCTRDwarfCFIRecord* record, const std::uint8_t* fdeAddress,
                                      RZRCTRDwarfSection ehFrame);
bool RZRCTRDwarfCIEIsValid(const RZRCTRDwarfCIERecord* cie);
bool RZRCTRDwarfCIEHasAugmentationData(const RZRCTRDwarfCIERecord* cie);

// The FDE covering pc through an .eh_frame_hdr search table; its address
// must lie inside ehFrame.
bool RZRCTRDwarfFindFDEWithHeader(RZRCTRDwarfSection header, RZRCTRDwarfSection ehFrame,
                                  std::uint64_t pc, const std::uint8_t** fde);

// Runs the instructions until the location passes pcOffset.
bool RZRCTRDwarfInstructionsEnumerate(const RZRCTRDwarfInstructions* instructions,
                                      const RZRCTRDwarfCIERecord* cie, RZRCTRDwarfState* state,
                                      std::int64_t pcOffset);
bool RZRCTRDwarfGetCFA(const RZRCTRDwarfState* state, const RZRCTRUnwindRegisters* registers,
                       std::uint64_t* cfa);
std::uint64_t RZRCTRDwarfGetSavedRegister(const RZRCTRUnwindRegisters* registers, std::uint64_t cfa,
                                          RZRCTRDwarfRegister location);
bool RZRCTRDwarfUnwindAssignRegisters(const RZRCTRDwarfState* state,
                                      const RZRCTRUnwindRegisters* registers, std::uint64_t cfa,
                                      std::uint64_t returnAddressRegister,
                                      RZRCTRUnwindRegisters* output);
// Rewrites registers to the caller's frame: its stack pointer is the CFA and
// its PC the saved return address. registers->pc is the PC to look up (a
// return address already decremented by the caller).
bool RZRCTRDwarfUnwindComputeRegisters(const RZRCTRDwarfCFIRecord* record,
                                       RZRCTRUnwindRegisters* registers);

inline constexpr int kRZRCTRDwarfExpressionStackSize = 100;
struct RZRCTRDwarfExpressionMachine {
    std::uint64_t stack[kRZRCTRDwarfExpressionStackSize];
    int stackPointer = 0;
    RZRCTRDwarfCursor cursor;
    const RZRCTRUnwindRegisters* registers = nullptr;
    bool valid = false;
};
bool RZRCTRDwarfExpressionMachineInit(RZRCTRDwarfExpressionMachine* machine,
                                      const std::uint8_t* block, const std::uint8_t* limit,
                                      const RZRCTRUnwindRegisters* registers,
                                      std::uint64_t initialValue);
bool RZRCTRDwarfExpressionMachinePrepareForExecution(RZRCTRDwarfExpressionMachine* machine);
bool RZRCTRDwarfExpressionMachineIsFinished(const RZRCTRDwarfExpressionMachine* machine);
bool RZRCTRDwarfExpressionMachineExecuteNextOpcode(RZRCTRDwarfExpressionMachine* machine);
bool RZRCTRDwarfExpressionMachineGetResult(const RZRCTRDwarfExpressionMachine* machine,
                                           std::uint64_t* result);
// block: a ULEB128 length and that many opcode bytes, none past limit.
bool RZRCTRDwarfEvalulateExpression(const std::uint8_t* block, const std::uint8_t* limit,
                                    const RZRCTRUnwindRegisters* registers,
                                    std::uint64_t initialValue, std::uint64_t* result);
