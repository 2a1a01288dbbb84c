#pragma once
// The codec of every measurement message type: create, free, deep-copy,
// decode and encode the records of APMPBMessageInfo.h. One table-driven
// implementation works over the catalogue; each type also has its own named
// entry points (Event_Decode, MeasurementBundle_Encode, ...).
//
// Results are 1 for success and 0 for failure (Encode: the byte count, or
// -1). Every failure prints one line to standard output starting
// "<ERROR> ". Not thread-safe: a record is used by one thread at a time.
//
// Decoding runs nanopb twice over the buffer when the message (or a
// singular message inside it) has repeated fields: a counting pass, then a
// filling pass into exactly sized element arrays. Encoding sizes first and
// writes into one exactly sized buffer; nested repeated messages are
// encoded once each. Nesting through repeated messages is limited to
// kAPMPBMaxNestingDepth levels both ways, and the heap a decode takes to
// kAPMPBDecodeHeapPerInputByte per input byte (APMPBCells.h). Elements are
// decoded where they lie in the input.

#include <cstddef>
#include <cstdint>

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include "services/measurement/APMPBCatalogue.h"
#include "services/measurement/APMPBMessageInfo.h"

inline constexpr int kAPMPBMaxNestingDepth = 100;

// Fills a zeroed record: name, type table, a zeroed slot array and an empty
// container in the slot of every repeated field. The containers, and the
// scalar cells but float ones that decoding and copying fill, are part of the
// slot array's block: they go with it and are never freed on their own.
// Records the codec makes itself (decoded elements and messages, copies)
// hold their slot array in their own block.
int APMPBInitMessageInfo(const APMPBMessageType& type, APMPBMessageInfo* info);
// Frees one field and nulls its slot; a repeated field is emptied and keeps
// its container.
int APMPBDeallocField(const APMPBMessageType& type, APMPBMessageInfo* info, std::int32_t fieldID);
// Frees every field, the slot array and the record itself.
int APMPBFreeMessageInfo(const APMPBMessageType& type, APMPBMessageInfo* info);
// Replaces *destination (freed first) by a deep copy of source.
int APMPBCopyMessageInfo(const APMPBMessageType& type, APMPBMessageInfo** destination,
                         const APMPBMessageInfo* source);
// Decodes into a freshly initialised record.
int APMPBDecode(const APMPBMessageType& type, const std::uint8_t* bytes, std::size_t length,
                APMPBMessageInfo* info);
// Encodes into a new exactly sized malloc'd buffer (owned by the caller).
long APMPBEncode(const APMPBMessageType& type, const APMPBMessageInfo* info, std::uint8_t** output);
// Encodes into a buffer that allocate(size) provides, without a copy.
long APMPBEncodeWith(const APMPBMessageType& type, const APMPBMessageInfo* info,
                     std::uint8_t* (*allocate)(std::size_t size, void* context), void* context);
// Whether decoding this type takes the counting pass.
bool APMPBDecodesInTwoPasses(const APMPBMessageType& type);

// Decode and encode callbacks for a repeated field of `type` elements; the
// argument is the field's repeated container.
bool APMPBDecodeRepeatedMessage(const APMPBMessageType& type, pb_istream_t* stream, void** arg);
bool APMPBEncodeRepeatedMessage(const APMPBMessageType& type, pb_ostream_t* stream,
                                const pb_field_t* field, void* const* arg);

#define APMPB_DECLARE_CODEC(M)                                                               \
    int M##_InitMessageInfo(APMPBMessageInfo* info);                                         \
    int M##_DeallocField(APMPBMessageInfo* info, std::int32_t fieldID);                      \
    int M##_FreeMessageInfo(APMPBMessageInfo* info);                                         \
    int M##_CopyMessageInfo(APMPBMessageInfo** destination, const APMPBMessageInfo* source); \
    int M##_Decode(const std::uint8_t* bytes, std::size_t length, APMPBMessageInfo* info);   \
    bool M##_DecodeRepeated(pb_istream_t* stream, const pb_field_t* field, void** arg);      \
    long M##_Encode(const APMPBMessageInfo* info, std::uint8_t** output);                    \
    bool M##_EncodeRepeated(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
APMPB_MESSAGE_TYPES(APMPB_DECLARE_CODEC)
#undef APMPB_DECLARE_CODEC
