#include "services/transport/ZDTLGSMessages.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "LogUpload.pb.h"
#include "services/transport/ZDTCORClock.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORPlatform.h"

namespace {

// Payloads, event lists and batch lists are written by callbacks: nanopb's
// own byte arrays and counts are 16 bits wide in the system's runtime, and
// a callback writes any size whole.
struct EventPart {
    zdtlgs_EventRecord record = zdtlgs_EventRecord_init_zero;
    Data payload;
};
struct BatchPart {
    zdtlgs_SourceBatch batch = zdtlgs_SourceBatch_init_zero;
    std::vector<EventPart> events;
};

bool encodePayload(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* payload = static_cast<const Data*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, payload->data(), payload->size());
}

bool encodeEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& part : *static_cast<const std::vector<EventPart>*>(*arg)) {
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, zdtlgs_EventRecord_fields, &part.record))
            return false;
    }
    return true;
}

bool encodeBatches(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& part : *static_cast<const std::vector<BatchPart>*>(*arg)) {
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, zdtlgs_SourceBatch_fields, &part.batch))
            return false;
    }
    return true;
}

void fillEventRecord(EventPart& part, const ZDTCOREvent& event) {
    auto& record = part.record;
    const auto& clock = event.clockSnapshot();
    record.has_wall_time_ms = true;
    record.wall_time_ms = clock ? clock->timeMillis() : 0;
    part.payload = event.serializedDataObjectBytes().value_or(Data{});
    record.payload.funcs.encode = encodePayload;
    record.payload.arg = &part.payload;
    if (event.customBytes()) {
        if (auto code = event.eventCode()) {
            record.has_event_code = true;
            record.event_code = static_cast<std::int32_t>(*code);
        }
        if (auto stored = event.networkConnectionInfoData()) {
            // Only a whole record is copied; anything else is refused.
            if (auto network = ZDTLGSParseNetworkRecord(*stored)) {
                record.has_network_connection_info = true;
                record.network_connection_info.has_connection_kind = network->hasConnectionKind;
                record.network_connection_info.connection_kind = network->connectionKind;
                record.network_connection_info.has_cellular_kind = network->hasCellularKind;
                record.network_connection_info.cellular_kind =
                    static_cast<std::uint32_t>(network->cellularKind);
            } else {
                ZDTCORLogError(ZDTCORMCEGeneralError,
                               "A stored network record of %ld bytes was refused.",
                               {static_cast<long long>(stored->size())});
            }
        }
    }
    record.has_utc_offset_s = true;
    record.utc_offset_s = clock ? clock->timezoneOffsetSeconds() : 0;
    record.has_uptime_ms = true;
    record.uptime_ms = clock ? static_cast<std::int64_t>(clock->uptimeMilliseconds()) : 0;
}

void fillSourceBatch(BatchPart& part, const std::string& mappingID,
                     const std::vector<std::shared_ptr<ZDTCOREvent>>& events) {
    auto& batch = part.batch;
    batch.has_client = true;
    batch.client.has_client_kind = true;
    batch.client.client_kind = 15;
    batch.has_source_id = true;
    batch.source_id = ZDTLGSSourceID(mappingID);
    part.events.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) fillEventRecord(part.events[i], *events[i]);
    batch.events.funcs.encode = encodeEvents;
    batch.events.arg = &part.events;
    auto now = ZDTCORClock::snapshot();
    batch.has_sent_at_ms = true;
    batch.sent_at_ms = now->timeMillis();
    batch.has_sent_uptime_ms = true;
    batch.sent_uptime_ms = static_cast<std::int64_t>(now->uptimeMilliseconds());
}

}  // namespace

std::int32_t ZDTLGSSourceID(const std::string& mappingID) {
    std::int64_t value = 0;
    for (char c : mappingID) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        value = value * 10 + (c - '0');
        if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<Data> ZDTLGSConstructRequest(
    const std::vector<std::shared_ptr<ZDTCOREvent>>& events) {
    std::map<std::string, std::vector<std::shared_ptr<ZDTCOREvent>>> byMapping;
    for (const auto& event : events) {
        if (event) byMapping[event->mappingID()].push_back(event);
    }
    std::vector<BatchPart> batches(byMapping.size());
    std::size_t i = 0;
    for (const auto& [mapping, group] : byMapping) fillSourceBatch(batches[i++], mapping, group);
    zdtlgs_UploadBody message = zdtlgs_UploadBody_init_zero;
    message.source_batches.funcs.encode = encodeBatches;
    message.source_batches.arg = &batches;
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, zdtlgs_UploadBody_fields, &message)) {
        ZDTCORLogError(ZDTCORMCEGeneralError, "Error in nanopb encoding for size: %s",
                       {std::string("(none)")});
        return std::nullopt;
    }
    Data bytes(size);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, zdtlgs_UploadBody_fields, &message)) {
        ZDTCORLogError(ZDTCORMCEGeneralError, "Error in nanopb encoding for bytes: %s",
                       {std::string(PB_GET_ERROR(&stream))});
        return std::nullopt;
    }
    return bytes;
}

std::int32_t ZDTLGSMobileSubtypeMessageValue(std::int64_t code) {
    // Read on upload threads until the process ends: never destroyed.
    static const auto* table =
        new std::map<std::int64_t, std::int32_t>{{1, 1}, {2, 2}, {3, 0},  {4, 8},   {5, 9},  {6, 4},
                                                 {7, 5}, {8, 6}, {9, 12}, {10, 14}, {11, 13}};
    auto it = table->find(code);
    return it == table->end() ? 0 : it->second;
}

std::optional<ZDTLGSNetworkRecord> ZDTLGSParseNetworkRecord(const Data& record) {
    if (record.size() != 16) return std::nullopt;
    ZDTLGSNetworkRecord out;
    out.hasConnectionKind = record[0] != 0;
    std::memcpy(&out.connectionKind, record.data() + 4, 4);
    out.hasCellularKind = record[8] != 0;
    std::memcpy(&out.cellularKind, record.data() + 12, 4);
    return out;
}

Data ZDTLGSSerializeNetworkRecord(const ZDTLGSNetworkRecord& record) {
    Data out(16, 0);
    out[0] = record.hasConnectionKind ? 1 : 0;
    std::memcpy(out.data() + 4, &record.connectionKind, 4);
    out[8] = record.hasCellularKind ? 1 : 0;
    std::memcpy(out.data() + 12, &record.cellularKind, 4);
    return out;
}

Data ZDTLGSCurrentNetworkConnectionRecord() {
    ZDTLGSNetworkRecord record;
    const auto type = ZDTCORCurrentNetworkType();
    if (type != 0) {
        record.hasConnectionKind = true;
        if (type == 2) {
            record.connectionKind = 0;
            record.cellularKind = ZDTLGSMobileSubtypeMessageValue(ZDTCORCurrentMobileSubtype());
            record.hasCellularKind = record.cellularKind != 0;
        } else {
            record.connectionKind = 1;
        }
    }
    return ZDTLGSSerializeNetworkRecord(record);
}
