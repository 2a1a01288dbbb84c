#pragma once
// The upload request built from a batch of events and the backend's reply,
// as protocol-buffer messages (nanopb), and the 16-byte network record that
// events carry.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/transport/ZDTCOREvent.h"
#include "services/transport/ZDTLGSReply.h"

// The encoded request; nothing when encoding failed (logged), so a broken
// body is never sent.
std::optional<Data> ZDTLGSConstructRequest(const std::vector<std::shared_ptr<ZDTCOREvent>>& events);

// The record of the network in use now.
Data ZDTLGSCurrentNetworkConnectionRecord();

struct ZDTLGSNetworkRecord {
    bool hasConnectionKind = false;
    std::int32_t connectionKind = -1;
    bool hasCellularKind = false;
    std::int32_t cellularKind = 0;
};
// Nothing unless the record is exactly 16 bytes.
std::optional<ZDTLGSNetworkRecord> ZDTLGSParseNetworkRecord(const Data& record);
Data ZDTLGSSerializeNetworkRecord(const ZDTLGSNetworkRecord& record);
// Platform mobile subtype code to the message's value.
std::int32_t ZDTLGSMobileSubtypeMessageValue(std::int64_t code);
// The leading decimal digits of a mapping ID ("137" gives 137; none gives 0).
std::int32_t ZDTLGSSourceID(const std::string& mappingID);
