#pragma once
// The in-memory record of one measurement message: one pointer slot per
// field, indexed by field ID (not by wire number); a null slot is an absent
// field. The record owns everything reachable from its slots; the
// containers of repeated fields and some scalar cells live in the slot
// array's own block.

#include <cstdint>

// Per-field type word: one cardinality bit and one kind bit.
inline constexpr std::uint32_t APMPB_FIELD_OPTIONAL = 0x2;
inline constexpr std::uint32_t APMPB_FIELD_REPEATED = 0x8;
inline constexpr std::uint32_t APMPB_TYPE_BOOL = 0x20;
inline constexpr std::uint32_t APMPB_TYPE_ENUM = 0x40;
inline constexpr std::uint32_t APMPB_TYPE_INT32 = 0x80;
inline constexpr std::uint32_t APMPB_TYPE_UINT32 = 0x100;
inline constexpr std::uint32_t APMPB_TYPE_INT64 = 0x200;
inline constexpr std::uint32_t APMPB_TYPE_UINT64 = 0x400;
inline constexpr std::uint32_t APMPB_TYPE_FLOAT = 0x800;
inline constexpr std::uint32_t APMPB_TYPE_DOUBLE = 0x1000;
inline constexpr std::uint32_t APMPB_TYPE_STRING = 0x2000;
inline constexpr std::uint32_t APMPB_TYPE_MESSAGE = 0x4000;
inline constexpr std::uint32_t APMPB_TYPE_BYTES = 0x8000;

struct APMPBMessageInfo {
    void** fields = nullptr;               // slot array, one per field ID
    const std::uint32_t* types = nullptr;  // the type's static flag table
    const char* name = nullptr;            // the type's static name
};

// A string cell (count = length in bytes, data = the bytes, filled = 1 when
// the bytes follow the cell in its own block)
// or a repeated container (count = elements, data = array of element
// pointers, filled = elements the decoder has written so far).
struct APMPBArray {
    std::uint32_t filled = 0;
    std::uint32_t count = 0;
    void* data = nullptr;
};
