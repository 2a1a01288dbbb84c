#pragma once
// Field cells and the nanopb stream callbacks that read fields straight into
// cells and write them back. Plain C routines on malloc'd memory; their
// diagnostics go to standard output, every line starting "<ERROR> ".
//
// A scalar cell is 8 bytes (bool and 32-bit values zero-extended), a float
// cell 4 bytes. A string or bytes cell is an APMPBArray whose data always
// holds count + 1 bytes, the last one zero, so even an empty value has a
// buffer; a new cell holds its bytes in its own block (filled is 1), which
// APMPBReleaseBytes leaves to whoever frees the cell.

#include <cstddef>
#include <cstdint>

#include <pb_decode.h>
#include <pb_encode.h>

#include "services/measurement/APMPBMessageInfo.h"

// The longest string or bytes field a decoder accepts.
inline constexpr std::size_t kAPMPBMaxBytesFieldLength = 1048576;

// The heap one decode may keep: this much per input byte, plus a fixed
// allowance. Records of empty messages cost hundreds of bytes for two bytes
// of input; bounded so, a small hostile input ends in a decode error instead
// of gigabytes. (The decoder's transient wire structs, one per nesting
// level, are not counted.)
inline constexpr std::size_t kAPMPBDecodeHeapPerInputByte = 32;
inline constexpr std::size_t kAPMPBDecodeHeapAllowance = 256 * 1024;

// Record memory: cells, element arrays, slot blocks and records are taken
// through this one function, which counts what a decode keeps. Outside a
// decode it is calloc; everything it gives is freed with free.
void* APMPBAllocate(std::size_t count, std::size_t size);

// While one lives on this thread, APMPBAllocate charges the heap it hands
// out against the limit for `inputLength` bytes of input; past the limit it
// prints one line naming `typeName` and answers null. Nested limits are part
// of the outermost one.
class APMPBDecodeHeapLimit {
  public:
    APMPBDecodeHeapLimit(const char* typeName, std::size_t inputLength);
    ~APMPBDecodeHeapLimit();
    APMPBDecodeHeapLimit(const APMPBDecodeHeapLimit&) = delete;
    APMPBDecodeHeapLimit& operator=(const APMPBDecodeHeapLimit&) = delete;

  private:
    bool outermost_ = false;
};

// Each writer allocates the cell when *destination is null, else overwrites
// it in place; a null destination prints a line and does nothing.
void APMPBSetBoolCell(void** destination, bool value);
void APMPBSetUInt32Cell(void** destination, std::uint32_t value);
void APMPBSetUInt64Cell(void** destination, std::uint64_t value);
void APMPBSetFloatCell(void** destination, float value);
void APMPBSetDoubleCell(void** destination, double value);
void APMPBSetBytesCell(void** destination, const void* bytes, std::size_t length);

// Frees the bytes and zeroes the cell.
void APMPBReleaseBytes(APMPBArray* cell);
// Frees the element array (not the elements) and zeroes the container.
void APMPBReleaseArray(APMPBArray* container);

// Decode callbacks; the argument is the address of a slot (bytes field) or
// a repeated container. A container without an element array is in its
// counting pass: elements are skipped and counted.
bool APMPBDecodeBytesField(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool APMPBDecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool APMPBDecodeRepeatedUInt64(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Encode callbacks; the argument is a string cell or a repeated container.
bool APMPBEncodeBytesField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool APMPBEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool APMPBEncodeRepeatedUInt64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Sizes the message, allocates exactly that many bytes (at least one, so an
// empty message still has a buffer) into *output and encodes into them.
// Answers the bytes written, or -1 with *output null.
long APMPBEncodeToBuffer(const pb_msgdesc_t* fields, const void* message, std::uint8_t** output);
