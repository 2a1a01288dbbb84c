#include "services/crash/RZRCTRDwarf.h"

#include <cstring>

#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

constexpr std::uint8_t kOmit = 0xff;

bool take(RZRCTRDwarfCursor* cursor, void* out, std::size_t length) {
    if (cursor->failed || cursor->position == nullptr || cursor->position > cursor->end ||
        static_cast<std::size_t>(cursor->end - cursor->position) < length) {
        cursor->failed = true;
        std::memset(out, 0, length);
        return false;
    }
    std::memcpy(out, cursor->position, length);
    cursor->position += length;
    return true;
}

bool readWord(std::uint64_t address, std::uint64_t* value) {
    return RZRCTRReadMemory(static_cast<std::uintptr_t>(address), value, sizeof *value);
}

// The expression block at block: its opcodes in [start, end) within limit.
bool blockBounds(const std::uint8_t* block, const std::uint8_t* limit, const std::uint8_t** start,
                 const std::uint8_t** end) {
    RZRCTRDwarfCursor cursor{block, limit, false};
    const std::uint64_t length = RZRCTRParseULEB128AndAdvance(&cursor);
    if (cursor.failed || length > static_cast<std::uint64_t>(limit - cursor.position)) return false;
    *start = cursor.position;
    *end = cursor.position + length;
    return true;
}

}  // namespace

int RZRCTRUnwindStackPointerRegister(RZRCTRUnwindArchitecture architecture) {
    return architecture == RZRCTRUnwindArchitecture::x86_64 ? 7 : 31;
}
int RZRCTRUnwindFramePointerRegister(RZRCTRUnwindArchitecture architecture) {
    return architecture == RZRCTRUnwindArchitecture::x86_64 ? 6 : 29;
}

std::uint8_t RZRCTRParseUint8AndAdvance(RZRCTRDwarfCursor* cursor) {
    std::uint8_t v;
    take(cursor, &v, sizeof v);
    return v;
}
std::uint16_t RZRCTRParseUint16AndAdvance(RZRCTRDwarfCursor* cursor) {
    std::uint16_t v;
    take(cursor, &v, sizeof v);
    return v;
}
std::int16_t RZRCTRParseInt16AndAdvance(RZRCTRDwarfCursor* cursor) {
    std::int16_t v;
    take(cursor, &v, sizeof v);
    return v;
}
std::uint32_t RZRCTRParseUint32AndAdvance(RZRCTRDwarfCursor* cursor) {
    std::uint32_t v;
    take(cursor, &v, sizeof v);
    return v;
}
std::uint64_t RZRCTRParseUint64AndAdvance(RZRCTRDwarfCursor* cursor) {
    std::uint64_t v;
    take(cursor, &v, sizeof v);
    return v;
}

namespace {
std::uint64_t leb128(RZRCTRDwarfCursor* cursor, bool isSigned) {
    std::uint64_t result = 0;
    int shift = 0;
    std::uint8_t byte = 0;
    // At most 8 bytes (56 bits), whatever the continuation bit says.
    for (int i = 0; i < 8; ++i) {
        byte = RZRCTRParseUint8AndAdvance(cursor);
        if (cursor->failed) return 0;
        result |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        shift += 7;
        if (byte < 0x80) break;
    }
    if (isSigned && (byte & 0x40) != 0 && shift < 64) result |= ~std::uint64_t{0} << shift;
    return result;
}
}  // namespace

std::uint64_t RZRCTRParseULEB128AndAdvance(RZRCTRDwarfCursor* cursor) {
    return leb128(cursor, false);
}
std::int64_t RZRCTRParseLEB128AndAdvance(RZRCTRDwarfCursor* cursor) {
    return static_cast<std::int64_t>(leb128(cursor, true));
}

const char* RZRCTRParseStringAndAdvance(RZRCTRDwarfCursor* cursor) {
    if (cursor->failed || cursor->position == nullptr || cursor->position >= cursor->end) {
        cursor->failed = true;
        return nullptr;
    }
    const void* nul = std::memchr(cursor->position, '\0',
                                  static_cast<std::size_t>(cursor->end - cursor->position));
    if (nul == nullptr) {
        cursor->failed = true;
        return nullptr;
    }
    const char* start = reinterpret_cast<const char*>(cursor->position);
    cursor->position = static_cast<const std::uint8_t*>(nul) + 1;
    return start;
}

std::uint64_t RZRCTRParseRecordLengthAndAdvance(RZRCTRDwarfCursor* cursor) {
    const std::uint64_t length = RZRCTRParseUint32AndAdvance(cursor);
    if (length == 0xffffffffu) return RZRCTRParseUint64AndAdvance(cursor);
    return length;
}

std::uint64_t RZRCTRParseAddressWithEncodingAndAdvance(RZRCTRDwarfCursor* cursor,
                                                       std::uint8_t encoding) {
    if (encoding == kOmit) return 0;
    if (cursor == nullptr) return kRZRCTRDwarfInvalidAddress;
    const auto storedAt = reinterpret_cast<std::uintptr_t>(cursor->position);
    std::uint64_t value = 0;
    switch (encoding & 0x0f) {
        case 0x00:
        case 0x04:
            value = RZRCTRParseUint64AndAdvance(cursor);
            break;
        case 0x01:
            value = RZRCTRParseULEB128AndAdvance(cursor);
            break;
        case 0x02:
            value = RZRCTRParseUint16AndAdvance(cursor);
            break;
        case 0x03:
            value = RZRCTRParseUint32AndAdvance(cursor);
            break;
        case 0x09:
            value = static_cast<std::uint64_t>(RZRCTRParseLEB128AndAdvance(cursor));
            break;
        case 0x0a:
            value = static_cast<std::uint64_t>(RZRCTRParseInt16AndAdvance(cursor));
            break;
        case 0x0b:
            value = static_cast<std::uint64_t>(static_cast<std::int64_t>(
                static_cast<std::int32_t>(RZRCTRParseUint32AndAdvance(cursor))));
            break;
        case 0x0c:
            value = RZRCTRParseUint64AndAdvance(cursor);
            break;
        default:
            RZRCTRSDKLogWarn("Unhandled: encoding 0x%x", encoding);
            return kRZRCTRDwarfInvalidAddress;
    }
    if (cursor->failed) return kRZRCTRDwarfInvalidAddress;
    switch (encoding & 0x70) {
        case 0x00:
            break;
        case 0x10:
            value += storedAt;
            break;
        default:
            RZRCTRSDKLogWarn("Unhandled: relative encoding 0x%x", encoding);
            return kRZRCTRDwarfInvalidAddress;
    }
    if ((encoding & 0x80) != 0) {
        if (value == 0) return kRZRCTRDwarfInvalidAddress;
        std::uint64_t indirect = 0;
        if (!readWord(value, &indirect)) return kRZRCTRDwarfInvalidAddress;
        value = indirect;
    }
    return value;
}

namespace {

// The record starting at address: its length and the cursor bounded by its
// end (and by the section).
bool openRecord(const std::uint8_t* address, RZRCTRDwarfSection section, std::uint64_t* length,
                RZRCTRDwarfCursor* cursor) {
    const std::uint8_t* sectionEnd = section.start + section.size;
    if (address == nullptr || address < section.start || address >= sectionEnd) return false;
    *cursor = RZRCTRDwarfCursor{address, sectionEnd, false};
    *length = RZRCTRParseRecordLengthAndAdvance(cursor);
    if (cursor->failed) return false;
    if (*length > static_cast<std::uint64_t>(sectionEnd - cursor->position)) {
        RZRCTRSDKLogWarn("Error: record length past its section");
        return false;
    }
    cursor->end = cursor->position + *length;
    return true;
}

}  // namespace

bool RZRCTRDwarfParseCIERecord(RZRCTRDwarfCIERecord* cie, const std::uint8_t* address,
                               RZRCTRDwarfSection section) {
    if (cie == nullptr) return false;
    *cie = RZRCTRDwarfCIERecord{};
    RZRCTRDwarfCursor cursor;
    std::uint64_t length = 0;
    if (!openRecord(address, section, &length, &cursor)) return false;
    cie->length = length;
    if (length == 0) {
        RZRCTRSDKLogWarn("Error: CIE length invalid");
        return false;
    }
    if (RZRCTRParseUint32AndAdvance(&cursor) != 0) RZRCTRSDKLogWarn("Error: CIE flag not found");
    cie->version = RZRCTRParseUint8AndAdvance(&cursor);
    if (cie->version != 1 && cie->version != 3)
        RZRCTRSDKLogWarn("Error: CIE version %u unsupported", cie->version);
    cie->augmentation = RZRCTRParseStringAndAdvance(&cursor);
    cie->codeAlignFactor = RZRCTRParseULEB128AndAdvance(&cursor);
    cie->dataAlignFactor = RZRCTRParseLEB128AndAdvance(&cursor);
    if (cie->version == 1) {
        cie->returnAddressRegister = RZRCTRParseUint8AndAdvance(&cursor);
    } else if (cie->version == 3) {
        cie->returnAddressRegister = RZRCTRParseULEB128AndAdvance(&cursor);
    } else {
        RZRCTRSDKLogWarn("Error: CIE version %u unsupported", cie->version);
        return false;
    }
    if (cursor.failed || cie->augmentation == nullptr) return false;
    if (cie->augmentation[0] != '\0') {
        if (cie->augmentation[0] != 'z') {
            RZRCTRSDKLogWarn("Error: Unimplemented: augmentation string %s", cie->augmentation);
            return false;
        }
        const std::uint64_t dataLength = RZRCTRParseULEB128AndAdvance(&cursor);
        if (cursor.failed || dataLength > static_cast<std::uint64_t>(cursor.end - cursor.position))
            return false;
        const std::uint8_t* dataEnd = cursor.position + dataLength;
        RZRCTRDwarfCursor data{cursor.position, dataEnd, false};
        for (const char* letter = cie->augmentation + 1; *letter != '\0'; ++letter) {
            switch (*letter) {
                case 'L':
                    cie->lsdaEncoding = RZRCTRParseUint8AndAdvance(&data);
                    break;
                case 'P':
                    cie->personalityEncoding = RZRCTRParseUint8AndAdvance(&data);
                    cie->personalityFunction =
                        RZRCTRParseAddressWithEncodingAndAdvance(&data, cie->personalityEncoding);
                    if (cie->personalityFunction == kRZRCTRDwarfInvalidAddress) {
                        RZRCTRSDKLogWarn("Error: Found an invalid start address");
                        return false;
                    }
                    break;
                case 'R':
                    cie->pointerEncoding = RZRCTRParseUint8AndAdvance(&data);
                    break;
                case 'S':
                    cie->signalFrame = true;
                    break;
                default:
                    RZRCTRSDKLogWarn("Error: Unhandled augmentation string entry %s", letter);
                    return false;
            }
            if (data.failed) return false;
        }
        cursor.position = dataEnd;
    }
    cie->instructions.start = cursor.position;
    cie->instructions.length = static_cast<std::uint32_t>(cursor.end - cursor.position);
    return true;
}

bool RZRCTRDwarfCIEIsValid(const RZRCTRDwarfCIERecord* cie) {
    return cie != nullptr && cie->length != 0 && (cie->version == 1 || cie->version == 3);
}

bool RZRCTRDwarfCIEHasAugmentationData(const RZRCTRDwarfCIERecord* cie) {
    return cie != nullptr && cie->augmentation != nullptr && cie->augmentation[0] == 'z';
}

bool RZRCTRDwarfParseFDERecord(RZRCTRDwarfFDERecord* fde, bool parseCIE, RZRCTRDwarfCIERecord* cie,
                               const std::uint8_t* address, RZRCTRDwarfSection section) {
    if (fde == nullptr || cie == nullptr) return false;
    *fde = RZRCTRDwarfFDERecord{};
    RZRCTRDwarfCursor cursor;
    std::uint64_t length = 0;
    if (!openRecord(address, section, &length, &cursor)) return false;
    fde->length = length;
    if (length == 0) {
        RZRCTRSDKLogWarn("Error: FDE has zero length");
        return false;
    }
    const std::uint8_t* pointerField = cursor.position;
    fde->cieOffset = RZRCTRParseUint32AndAdvance(&cursor);
    if (cursor.failed || fde->cieOffset == 0) {
        RZRCTRSDKLogWarn("Error: CIE offset invalid");
        return false;
    }
    if (parseCIE) {
        if (fde->cieOffset > static_cast<std::uint64_t>(pointerField - section.start) ||
            !RZRCTRDwarfParseCIERecord(cie, pointerField - fde->cieOffset, section)) {
            RZRCTRSDKLogWarn("Error: Unable to parse CIE record");
            return false;
        }
        if (!RZRCTRDwarfCIEIsValid(cie)) {
            RZRCTRSDKLogWarn("Error: CIE invalid");
            return false;
        }
    }
    fde->startAddress = RZRCTRParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding);
    if (fde->startAddress == kRZRCTRDwarfInvalidAddress) {
        RZRCTRSDKLogWarn("Error: Found an invalid start address");
        return false;
    }
    fde->rangeSize = RZRCTRParseAddressWithEncodingAndAdvance(&cursor, cie->pointerEncoding & 0x0f);
    if (fde->rangeSize == kRZRCTRDwarfInvalidAddress) {
        RZRCTRSDKLogWarn("Error: Found an invalid address range");
        return false;
    }
    if (RZRCTRDwarfCIEHasAugmentationData(cie)) {
        const std::uint64_t skip = RZRCTRParseULEB128AndAdvance(&cursor);
        if (cursor.failed || skip > static_cast<std::uint64_t>(cursor.end - cursor.position))
            return false;
        cursor.position += skip;
    }
    fde->instructions.start = cursor.position;
    fde->instructions.length = static_cast<std::uint32_t>(cursor.end - cursor.position);
    return true;
}

bool RZRCTRDwarfParseCFIFromFDERecord(RZRCTRDwarfCFIRecord* record, const std::uint8_t* fdeAddress,
                                      RZRCTRDwarfSection ehFrame) {
    if (record == nullptr) return false;
    return RZRCTRDwarfParseFDERecord(&record->fde, true, &record->cie, fdeAddress, ehFrame);
}

bool RZRCTRDwarfParseCFIFromFDERecordOffset(RZRCTRDwarfCFIRecord* record,
                                            RZRCTRDwarfSection ehFrame, std::uint64_t fdeOffset) {
    if (record == nullptr || ehFrame.start == nullptr || ehFrame.size == 0 || fdeOffset == 0 ||
        fdeOffset >= ehFrame.size)
        return false;
    return RZRCTRDwarfParseCFIFromFDERecord(record, ehFrame.start + fdeOffset, ehFrame);
}

bool RZRCTRDwarfFindFDEWithHeader(RZRCTRDwarfSection header, RZRCTRDwarfSection ehFrame,
                                  std::uint64_t pc, const std::uint8_t** fde) {
    if (fde == nullptr || header.start == nullptr) return false;
    *fde = nullptr;
    RZRCTRDwarfCursor cursor{header.start, header.start + header.size, false};
    const std::uint8_t version = RZRCTRParseUint8AndAdvance(&cursor);
    const std::uint8_t pointerEncoding = RZRCTRParseUint8AndAdvance(&cursor);
    const std::uint8_t countEncoding = RZRCTRParseUint8AndAdvance(&cursor);
    const std::uint8_t tableEncoding = RZRCTRParseUint8AndAdvance(&cursor);
    RZRCTRParseAddressWithEncodingAndAdvance(&cursor, pointerEncoding);
    const std::uint64_t count = RZRCTRParseAddressWithEncodingAndAdvance(&cursor, countEncoding);
    // The usual table: pairs of 4-byte signed offsets from the header.
    if (cursor.failed || version != 1 || tableEncoding != 0x3b || count == 0 ||
        count == kRZRCTRDwarfInvalidAddress)
        return false;
    const std::uint8_t* table = cursor.position;
    if (count > static_cast<std::uint64_t>(cursor.end - table) / 8) return false;
    const auto base = reinterpret_cast<std::uint64_t>(header.start);
    const auto entry = [&](std::uint64_t index, int field) {
        std::int32_t v;
        std::memcpy(&v, table + index * 8 + field * 4, 4);
        return base + static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    };
    std::uint64_t low = 0;
    std::uint64_t high = count;
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (entry(middle, 0) <= pc) {
            low = middle;
        } else {
            high = middle;
        }
    }
    if (entry(low, 0) > pc) return false;
    const auto* found = reinterpret_cast<const std::uint8_t*>(entry(low, 1));
    if (found < ehFrame.start || found >= ehFrame.start + ehFrame.size) return false;
    *fde = found;
    return true;
}

namespace {

// Factors and deltas come from the image: wrap instead of overflowing.
std::int64_t times(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}
void advance(std::int64_t* location, std::int64_t delta) {
    *location = static_cast<std::int64_t>(static_cast<std::uint64_t>(*location) +
                                          static_cast<std::uint64_t>(delta));
}

bool validRegister(std::uint64_t reg, const char* message) {
    if (reg < kRZRCTRDwarfRegisterCount) return true;
    RZRCTRSDKLogWarn("%s", message);
    return false;
}

// Skips the expression block at the cursor; false when it runs past the end.
bool skipBlock(RZRCTRDwarfCursor* cursor, const std::uint8_t** block) {
    *block = cursor->position;
    const std::uint64_t length = RZRCTRParseULEB128AndAdvance(cursor);
    if (cursor->failed || length > static_cast<std::uint64_t>(cursor->end - cursor->position)) {
        cursor->failed = true;
        return false;
    }
    cursor->position += length;
    return true;
}

bool executeInstruction(RZRCTRDwarfCursor* cursor, const RZRCTRDwarfCIERecord* cie,
                        RZRCTRDwarfState* state, std::int64_t* location) {
    const std::uint8_t opcode = RZRCTRParseUint8AndAdvance(cursor);
    const std::uint8_t operand = opcode & 0x3f;
    const std::int64_t codeAlign = static_cast<std::int64_t>(cie->codeAlignFactor);
    switch (opcode & 0xc0) {
        case 0x40:
            RZRCTRSDKLogDebug("DW_CFA_advance_loc %u", operand);
            advance(location, times(codeAlign, operand));
            return !cursor->failed;
        case 0x80: {
            const std::int64_t offset =
                times(static_cast<std::int64_t>(RZRCTRParseULEB128AndAdvance(cursor)),
                      cie->dataAlignFactor);
            if (!validRegister(operand, "Error: Found an invalid DW_CFA_offset register number"))
                return false;
            state->registers[operand] = {RZRCTRDwarfRegisterInCFA,
                                         static_cast<std::uint64_t>(offset), nullptr};
            return !cursor->failed;
        }
        case 0xc0:
            if (!validRegister(operand, "Error: Found an invalid DW_CFA_restore register number"))
                return false;
            state->registers[operand] = state->initial.registers[operand];
            return true;
        default:
            break;
    }
    const std::uint8_t* block = nullptr;
    switch (opcode) {
        case 0x00:
            return true;
        case 0x01:
            *location = static_cast<std::int64_t>(
                RZRCTRParseAddressWithEncodingAndAdvance(cursor, cie->pointerEncoding));
            return !cursor->failed;
        case 0x02:
            advance(location, times(codeAlign, RZRCTRParseUint8AndAdvance(cursor)));
            break;
        case 0x03:
            advance(location, times(codeAlign, RZRCTRParseUint16AndAdvance(cursor)));
            break;
        case 0x04:
            advance(location, times(codeAlign, RZRCTRParseUint32AndAdvance(cursor)));
            break;
        case 0x05:    // offset_extended
        case 0x11: {  // offset_extended_sf
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            const std::int64_t factor =
                opcode == 0x05 ? static_cast<std::int64_t>(RZRCTRParseULEB128AndAdvance(cursor))
                               : RZRCTRParseLEB128AndAdvance(cursor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_offset register number"))
                return false;
            state->registers[reg] = {
                RZRCTRDwarfRegisterInCFA,
                static_cast<std::uint64_t>(times(factor, cie->dataAlignFactor)), nullptr};
            break;
        }
        case 0x06: {  // restore_extended
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_restore register number"))
                return false;
            state->registers[reg] = state->initial.registers[reg];
            break;
        }
        case 0x07: {  // undefined
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_undefined register number"))
                return false;
            state->registers[reg] = {RZRCTRDwarfRegisterUndefined, 0, nullptr};
            break;
        }
        case 0x08: {
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_same_value register number"))
                return false;
            state->registers[reg] = {RZRCTRDwarfRegisterUnused, 0, nullptr};
            break;
        }
        case 0x09: {
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            const std::uint64_t from = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_register number") ||
                !validRegister(from, "Error: Found an invalid DW_CFA_register value"))
                return false;
            state->registers[reg] = {RZRCTRDwarfRegisterInRegister, from, nullptr};
            break;
        }
        case 0x0a:  // remember_state
            if (state->rememberedCount >= kRZRCTRDwarfRememberedStates) {
                RZRCTRSDKLogWarn("Error: Too many remembered DWARF states");
                return false;
            }
            state->remembered[state->rememberedCount++] = static_cast<RZRCTRDwarfRow&>(*state);
            break;
        case 0x0b:  // restore_state
            if (state->rememberedCount == 0) {
                RZRCTRSDKLogWarn("Error: No remembered DWARF state to restore");
                return false;
            }
            static_cast<RZRCTRDwarfRow&>(*state) = state->remembered[--state->rememberedCount];
            break;
        case 0x0c:
        case 0x12: {  // def_cfa, def_cfa_sf
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            const std::int64_t offset =
                opcode == 0x0c ? static_cast<std::int64_t>(RZRCTRParseULEB128AndAdvance(cursor))
                               : times(RZRCTRParseLEB128AndAdvance(cursor), cie->dataAlignFactor);
            if (!validRegister(reg, "Error: Found an invalid DW_CFA_def_cfa register number"))
                return false;
            state->cfaRegister = reg;
            state->cfaRegisterOffset = offset;
            state->cfaExpression = 0;
            break;
        }
        case 0x0d: {
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg,
                               "Error: Found an invalid DW_CFA_def_cfa_register register number"))
                return false;
            state->cfaRegister = reg;
            state->cfaExpression = 0;
            break;
        }
        case 0x0e:
            state->cfaRegisterOffset =
                static_cast<std::int64_t>(RZRCTRParseULEB128AndAdvance(cursor));
            break;
        case 0x13:  // def_cfa_offset_sf
            state->cfaRegisterOffset =
                times(RZRCTRParseLEB128AndAdvance(cursor), cie->dataAlignFactor);
            break;
        case 0x0f:
            if (!skipBlock(cursor, &block)) return false;
            state->cfaRegister = kRZRCTRDwarfRegisterCount;
            state->cfaExpression = reinterpret_cast<std::uint64_t>(block);
            state->cfaExpressionLimit = cursor->end;
            break;
        case 0x10:
        case 0x16: {
            const std::uint64_t reg = RZRCTRParseULEB128AndAdvance(cursor);
            if (!validRegister(reg,
                               opcode == 0x10
                                   ? "Error: Found an invalid DW_CFA_expression register number"
                                   : "Error: Found an invalid DW_CFA_val_expression register "
                                     "number"))
                return false;
            if (!skipBlock(cursor, &block)) return false;
            state->registers[reg] = {
                opcode == 0x10 ? RZRCTRDwarfRegisterAtExpression : RZRCTRDwarfRegisterIsExpression,
                reinterpret_cast<std::uint64_t>(block), cursor->end};
            break;
        }
        case 0x2e:  // GNU_args_size: the unwinder does not adjust for it
            RZRCTRParseULEB128AndAdvance(cursor);
            break;
        case 0x14:
        case 0x15:
        case 0x2d:
        case 0x2f:
            RZRCTRSDKLogWarn("Error: Unimplemented DWARF instruction 0x%x", opcode);
            return false;
        default:
            RZRCTRSDKLogWarn("Error: Unrecognized DWARF instruction 0x%x", opcode);
            RZRCTRSDKLogWarn("Error: Failed to execute dwarf instruction 0x%x", opcode);
            return false;
    }
    return !cursor->failed;
}

}  // namespace

bool RZRCTRDwarfInstructionsEnumerate(const RZRCTRDwarfInstructions* instructions,
                                      const RZRCTRDwarfCIERecord* cie, RZRCTRDwarfState* state,
                                      std::int64_t pcOffset) {
    if (instructions == nullptr || cie == nullptr || state == nullptr) return false;
    if (instructions->length == 0) return true;
    if (instructions->start == nullptr) return false;
    RZRCTRDwarfCursor cursor{instructions->start, instructions->start + instructions->length,
                             false};
    std::int64_t location = 0;
    // A row applies from its own location on: the one starting at pcOffset
    // is included.
    while (cursor.position < cursor.end && location <= pcOffset) {
        if (!executeInstruction(&cursor, cie, state, &location)) {
            if (cursor.failed) RZRCTRSDKLogWarn("Error: DWARF instruction runs past its record");
            return false;
        }
    }
    return true;
}

bool RZRCTRDwarfExpressionMachineInit(RZRCTRDwarfExpressionMachine* machine,
                                      const std::uint8_t* block, const std::uint8_t* limit,
                                      const RZRCTRUnwindRegisters* registers,
                                      std::uint64_t initialValue) {
    if (machine == nullptr) return false;
    machine->stackPointer = 0;
    machine->valid = false;
    if (reinterpret_cast<std::uintptr_t>(block) < kRZRCTRMinimumValidAddress || limit < block) {
        RZRCTRSDKLogWarn("Error: unable to init DWARF expression machine");
        return false;
    }
    machine->stack[machine->stackPointer++] = initialValue;
    machine->cursor = RZRCTRDwarfCursor{block, limit, false};
    machine->registers = registers;
    machine->valid = true;
    return true;
}

bool RZRCTRDwarfExpressionMachinePrepareForExecution(RZRCTRDwarfExpressionMachine* machine) {
    const std::uint8_t* start = nullptr;
    const std::uint8_t* end = nullptr;
    if (!blockBounds(machine->cursor.position, machine->cursor.end, &start, &end) || start == end) {
        RZRCTRSDKLogWarn("Error: DWARF expression length is zero");
        RZRCTRSDKLogWarn("Error: unable to prepare for execution");
        return false;
    }
    machine->cursor = RZRCTRDwarfCursor{start, end, false};
    return true;
}

bool RZRCTRDwarfExpressionMachineIsFinished(const RZRCTRDwarfExpressionMachine* machine) {
    if (!machine->valid) return true;
    return machine->cursor.position >= machine->cursor.end;
}

namespace {
bool push(RZRCTRDwarfExpressionMachine* machine, std::uint64_t value) {
    if (machine->stackPointer >= kRZRCTRDwarfExpressionStackSize) {
        machine->valid = false;
        return false;
    }
    machine->stack[machine->stackPointer++] = value;
    return true;
}
std::uint64_t pop(RZRCTRDwarfExpressionMachine* machine) {
    if (machine->stackPointer <= 0) {
        machine->valid = false;
        return 0;
    }
    return machine->stack[--machine->stackPointer];
}
}  // namespace

bool RZRCTRDwarfExpressionMachineExecuteNextOpcode(RZRCTRDwarfExpressionMachine* machine) {
    RZRCTRDwarfCursor* cursor = &machine->cursor;
    const std::uint8_t opcode = RZRCTRParseUint8AndAdvance(cursor);
    if (opcode >= 0x30 && opcode <= 0x4f) return push(machine, opcode - 0x30);
    if (opcode >= 0x70 && opcode <= 0x8f) {
        const std::int64_t offset = RZRCTRParseLEB128AndAdvance(cursor);
        if (cursor->failed || machine->registers == nullptr) return false;
        return push(machine,
                    machine->registers->value[opcode - 0x70] + static_cast<std::uint64_t>(offset));
    }
    switch (opcode) {
        case 0x06: {
            const std::uint64_t address = pop(machine);
            std::uint64_t value = 0;
            if (!readWord(address, &value)) {
                RZRCTRSDKLogWarn("Error: DW_OP_deref failed to read memory");
                return false;
            }
            return push(machine, value);
        }
        case 0x12: {
            if (machine->stackPointer <= 0) return false;
            return push(machine, machine->stack[machine->stackPointer - 1]);
        }
        case 0x16: {
            const std::uint64_t a = pop(machine);
            const std::uint64_t b = pop(machine);
            return push(machine, a) && push(machine, b) && machine->valid;
        }
        case 0x1a: {
            const std::uint64_t a = pop(machine);
            const std::uint64_t b = pop(machine);
            return push(machine, a & b) && machine->valid;
        }
        case 0x22: {
            const std::uint64_t a = pop(machine);
            const std::uint64_t b = pop(machine);
            return push(machine, a + b) && machine->valid;
        }
        case 0x23: {
            const std::uint64_t a = pop(machine);
            const std::uint64_t operand = RZRCTRParseULEB128AndAdvance(cursor);
            return !cursor->failed && push(machine, a + operand) && machine->valid;
        }
        case 0x2e: {
            const std::uint64_t a = pop(machine);
            const std::uint64_t b = pop(machine);
            return push(machine, a != b ? 1 : 0) && machine->valid;
        }
        case 0x94: {
            const std::uint64_t address = pop(machine);
            const std::uint8_t size = RZRCTRParseUint8AndAdvance(cursor);
            if (size != 1 && size != 2 && size != 4 && size != 8) {
                RZRCTRSDKLogWarn("Error: unrecognized DW_OP_deref_size argument %x", size);
                return false;
            }
            std::uint64_t value = 0;
            if (!RZRCTRReadMemory(static_cast<std::uintptr_t>(address), &value, size)) {
                RZRCTRSDKLogWarn("Error: DW_OP_deref failed to read memory");
                return false;
            }
            return machine->valid && push(machine, value);
        }
        default:
            RZRCTRSDKLogWarn("Error: Unrecognized DWARF expression opcode 0x%x", opcode);
            return false;
    }
}

bool RZRCTRDwarfExpressionMachineGetResult(const RZRCTRDwarfExpressionMachine* machine,
                                           std::uint64_t* result) {
    if (machine->cursor.position != machine->cursor.end || machine->cursor.failed) {
        RZRCTRSDKLogWarn("Error: DWARF expression hasn't completed execution");
        return false;
    }
    if (!machine->valid || machine->stackPointer <= 0) {
        RZRCTRSDKLogWarn("Error: failed to get DWARF expression result");
        return false;
    }
    *result = machine->stack[machine->stackPointer - 1];
    return true;
}

bool RZRCTRDwarfEvalulateExpression(const std::uint8_t* block, const std::uint8_t* limit,
                                    const RZRCTRUnwindRegisters* registers,
                                    std::uint64_t initialValue, std::uint64_t* result) {
    if (reinterpret_cast<std::uintptr_t>(block) < kRZRCTRMinimumValidAddress ||
        reinterpret_cast<std::uintptr_t>(result) < kRZRCTRMinimumValidAddress) {
        RZRCTRSDKLogWarn("Error: inputs invalid");
        return false;
    }
    RZRCTRDwarfExpressionMachine machine;
    if (!RZRCTRDwarfExpressionMachineInit(&machine, block, limit, registers, initialValue))
        return false;
    if (!RZRCTRDwarfExpressionMachinePrepareForExecution(&machine)) return false;
    while (!RZRCTRDwarfExpressionMachineIsFinished(&machine)) {
        if (!RZRCTRDwarfExpressionMachineExecuteNextOpcode(&machine)) {
            RZRCTRSDKLogWarn("Error: failed to execute DWARF machine opcode");
            return false;
        }
    }
    if (!RZRCTRDwarfExpressionMachineGetResult(&machine, result)) return false;
    return true;
}

bool RZRCTRDwarfGetCFA(const RZRCTRDwarfState* state, const RZRCTRUnwindRegisters* registers,
                       std::uint64_t* cfa) {
    if (state == nullptr || registers == nullptr || cfa == nullptr) return false;
    if (state->cfaExpression != 0) {
        if (!RZRCTRDwarfEvalulateExpression(
                reinterpret_cast<const std::uint8_t*>(state->cfaExpression),
                state->cfaExpressionLimit, registers, 0, cfa)) {
            RZRCTRSDKLogWarn("Error: failed to compute CFA expression");
            return false;
        }
        return true;
    }
    if (state->cfaRegister >= kRZRCTRDwarfRegisterCount) return false;
    *cfa =
        registers->value[state->cfaRegister] + static_cast<std::uint64_t>(state->cfaRegisterOffset);
    return true;
}

std::uint64_t RZRCTRDwarfGetSavedRegister(const RZRCTRUnwindRegisters* registers, std::uint64_t cfa,
                                          RZRCTRDwarfRegister location) {
    std::uint64_t value = 0;
    switch (location.location) {
        case RZRCTRDwarfRegisterInCFA:
            if (!readWord(cfa + location.value, &value)) {
                RZRCTRSDKLogWarn("Error: Unable to read CFA value");
                return 0;
            }
            return value;
        case RZRCTRDwarfRegisterOffsetFromCFA:
            RZRCTRSDKLogWarn("Error: OffsetFromCFA unhandled");
            return 0;
        case RZRCTRDwarfRegisterInRegister:
            return location.value < kRZRCTRDwarfRegisterCount ? registers->value[location.value]
                                                              : 0;
        case RZRCTRDwarfRegisterAtExpression:
        case RZRCTRDwarfRegisterIsExpression: {
            std::uint64_t result = 0;
            if (!RZRCTRDwarfEvalulateExpression(
                    reinterpret_cast<const std::uint8_t*>(location.value), location.limit,
                    registers, cfa, &result)) {
                RZRCTRSDKLogWarn("Error: unable to evaluate expression");
                return 0;
            }
            if (location.location == RZRCTRDwarfRegisterIsExpression) return result;
            if (!readWord(result, &value)) {
                RZRCTRSDKLogWarn("Error: Unable to read memory computed from expression");
                return 0;
            }
            return value;
        }
        case RZRCTRDwarfRegisterUndefined:
            return 0;
        default:
            RZRCTRSDKLogWarn("Error: Unrecognized register save location 0x%x", location.location);
            return 0;
    }
}

bool RZRCTRDwarfUnwindAssignRegisters(const RZRCTRDwarfState* state,
                                      const RZRCTRUnwindRegisters* registers, std::uint64_t cfa,
                                      std::uint64_t returnAddressRegister,
                                      RZRCTRUnwindRegisters* output) {
    RZRCTRUnwindRegisters copy = *registers;
    for (int i = 0; i < kRZRCTRDwarfRegisterCount; ++i) {
        if (state->registers[i].location == RZRCTRDwarfRegisterUnused) continue;
        copy.value[i] = RZRCTRDwarfGetSavedRegister(registers, cfa, state->registers[i]);
    }
    const int sp = RZRCTRUnwindStackPointerRegister(registers->architecture);
    copy.value[sp] = cfa;
    if (copy.value[sp] == registers->value[sp]) {
        RZRCTRSDKLogWarn("Error: Stack pointer hasn't changed");
        return false;
    }
    if (returnAddressRegister >= kRZRCTRDwarfRegisterCount) return false;
    // An undefined return address ends the stack.
    if (state->registers[returnAddressRegister].location == RZRCTRDwarfRegisterUndefined) {
        copy.pc = 0;
    } else {
        copy.pc = copy.value[returnAddressRegister];
        const bool linkRegister = registers->architecture == RZRCTRUnwindArchitecture::arm64;
        if (linkRegister && copy.pc == registers->value[returnAddressRegister]) {
            RZRCTRSDKLogWarn("Error: PC hasn't changed");
            return false;
        }
    }
    *output = copy;
    return true;
}

bool RZRCTRDwarfUnwindComputeRegisters(const RZRCTRDwarfCFIRecord* record,
                                       RZRCTRUnwindRegisters* registers) {
    if (record == nullptr || registers == nullptr) return false;
    RZRCTRDwarfState state;
    if (!RZRCTRDwarfInstructionsEnumerate(&record->cie.instructions, &record->cie, &state,
                                          INT64_MAX)) {
        RZRCTRSDKLogWarn("Error: Unable to run CIE instructions");
        return false;
    }
    state.initial = static_cast<const RZRCTRDwarfRow&>(state);
    state.hasInitial = true;
    const std::int64_t pcOffset =
        static_cast<std::int64_t>(registers->pc - record->fde.startAddress);
    if (pcOffset < 0) {
        RZRCTRSDKLogWarn("Error: The FDE pcOffset value cannot be negative");
        return false;
    }
    if (!RZRCTRDwarfInstructionsEnumerate(&record->fde.instructions, &record->cie, &state,
                                          pcOffset)) {
        RZRCTRSDKLogWarn("Error: Unable to run FDE instructions");
        return false;
    }
    std::uint64_t cfa = 0;
    if (!RZRCTRDwarfGetCFA(&state, registers, &cfa)) {
        RZRCTRSDKLogWarn("Error: failed to get CFA");
        return false;
    }
    if (!RZRCTRDwarfUnwindAssignRegisters(&state, registers, cfa, record->cie.returnAddressRegister,
                                          registers)) {
        RZRCTRSDKLogError("Error: Unable to assign DWARF registers");
        return false;
    }
    return true;
}
