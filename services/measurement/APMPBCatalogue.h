#pragma once
// The catalogue of measurement message types: per type its name, the type
// word, wire number, name and element type of every field ID, and the
// nanopb descriptor of its transient wire struct. One table-driven codec
// (APMPBCodecs.h) works over these entries.

#include <cstddef>
#include <cstdint>

#include <pb.h>

#include "services/measurement/APMPBMessageInfo.h"

struct APMPBMessageType;

struct APMPBFieldSpec {
    std::uint32_t number;             // wire field number
    const char* name;                 // proto field name
    const APMPBMessageType* element;  // message fields: the nested type
};

struct APMPBMessageType {
    const char* name;
    std::uint32_t fieldCount;
    const std::uint32_t* types;      // one type word per field ID
    const APMPBFieldSpec* fields;    // one entry per field ID
    const pb_msgdesc_t* descriptor;  // nanopb descriptor of the wire struct
    std::size_t structSize;          // size of that struct
    // Decode callback a parent installs for a repeated field of this type.
    bool (*decodeRepeated)(pb_istream_t* stream, const pb_field_t* field, void** arg);
};

// Every message type, in catalogue order.
#define APMPB_MESSAGE_TYPES(X)       \
    X(MeasurementBatch)              \
    X(MeasurementBundle)             \
    X(Event)                         \
    X(EventParam)                    \
    X(UserAttribute)                 \
    X(AudienceLeafFilterResult)      \
    X(ResultData)                    \
    X(DynamicFilterResultTimestamp)  \
    X(SequenceFilterResultTimestamp) \
    X(HashedUserData)                \
    X(Address)                       \
    X(MeasurementConfig)             \
    X(Setting)                       \
    X(EventConfig)                   \
    X(Audience)                      \
    X(PropertyFilter)                \
    X(EventFilter)                   \
    X(Filter)                        \
    X(StringFilter)                  \
    X(NumberFilter)                  \
    X(Program)                       \
    X(OgtActivities)                 \
    X(OgtActivity)                   \
    X(RuntimeEntity)                 \
    X(ExperimentRequest)             \
    X(AppProperty)                   \
    X(ClientProperty)                \
    X(CustomProperty)                \
    X(ExperimentResponse)            \
    X(Snapshot)                      \
    X(Experiment)                    \
    X(Flag)                          \
    X(SdkResponse)

#define APMPB_DECLARE_TYPE(M) extern const APMPBMessageType kAPMPB##M##Type;
APMPB_MESSAGE_TYPES(APMPB_DECLARE_TYPE)
#undef APMPB_DECLARE_TYPE

inline constexpr std::size_t kAPMPBMessageTypeCount = 33;
extern const APMPBMessageType* const kAPMPBMessageTypes[kAPMPBMessageTypeCount];
