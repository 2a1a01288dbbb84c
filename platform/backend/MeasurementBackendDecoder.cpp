// The measurement batch as the service reads it, with its own reader rather
// than the client's codecs, so a test checks what really went on the wire.

#include <openssl/evp.h>

#include <cstring>
#include <functional>

#include "platform/backend/MeasurementBackend.h"
#include "platform/backend/Wire.h"

namespace sim {

namespace {

using wire::Reader;

constexpr std::uint32_t kVarint = 0;
constexpr std::uint32_t kFixed64 = 1;
constexpr std::uint32_t kBytes = 2;
constexpr std::uint32_t kFixed32 = 5;
constexpr std::uint32_t kBundleChecksumField = 47;
// Parameters nest; deeper ones are refused rather than followed.
constexpr int kMaxParamDepth = 8;

using FieldHandler = std::function<bool(Reader& r, std::uint32_t field, std::uint32_t type)>;

// Runs the handler for every field of a message; a field it does not take
// (it answers nothing about it) is skipped by the caller's rules below.
bool forEachField(const std::string& data, const FieldHandler& handler) {
    Reader r(data);
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type) || !handler(r, field, type)) return false;
    }
    return true;
}

bool fixed(Reader& r, const std::string& data, std::uint32_t type, std::uint64_t& out) {
    const std::size_t size = type == kFixed64 ? 8 : 4;
    if (r.remaining() < size) return false;
    const std::size_t offset = data.size() - r.remaining();
    out = 0;
    for (std::size_t i = 0; i < size; ++i)
        out |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(data[offset + i])) << (8 * i);
    return r.skip(type);
}

bool floating(Reader& r, const std::string& data, std::uint32_t type, double& out) {
    std::uint64_t bits = 0;
    if ((type != kFixed64 && type != kFixed32) || !fixed(r, data, type, bits)) return false;
    if (type == kFixed64) {
        std::memcpy(&out, &bits, sizeof out);
    } else {
        const auto narrow = static_cast<std::uint32_t>(bits);
        float value = 0;
        std::memcpy(&value, &narrow, sizeof value);
        out = value;
    }
    return true;
}

bool integer(Reader& r, std::uint32_t type, std::int64_t& out) {
    std::uint64_t value = 0;
    if (type != kVarint || !r.varint(value)) return false;
    out = static_cast<std::int64_t>(value);
    return true;
}

bool text(Reader& r, std::uint32_t type, std::string& out) {
    return type == kBytes && r.bytes(out);
}

// Repeated varints, packed or one per key.
bool varints(Reader& r, std::uint32_t type, std::vector<std::uint64_t>& out) {
    std::uint64_t value = 0;
    if (type == kVarint) {
        if (!r.varint(value)) return false;
        out.push_back(value);
        return true;
    }
    std::string packed;
    if (type != kBytes || !r.bytes(packed)) return false;
    Reader p(packed);
    while (!p.done()) {
        if (!p.varint(value)) return false;
        out.push_back(value);
    }
    return true;
}

bool decodeParam(const std::string& data, MeasurementParam& param, int depth) {
    if (depth > kMaxParamDepth) return false;
    return forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        std::int64_t number = 0;
        double real = 0;
        switch (field) {
            case 1:
                return text(r, type, param.name);
            case 2:
                if (!text(r, type, bytes)) return false;
                param.stringValue = bytes;
                return true;
            case 3:
                if (!integer(r, type, number)) return false;
                param.intValue = number;
                return true;
            case 4:
            case 5:
                if (!floating(r, data, type, real)) return false;
                param.doubleValue = real;
                return true;
            case 6: {
                MeasurementParam nested;
                if (!text(r, type, bytes) || !decodeParam(bytes, nested, depth + 1)) return false;
                param.nested.push_back(std::move(nested));
                return true;
            }
            default:
                return r.skip(type);
        }
    });
}

bool decodeEvent(const std::string& data, MeasurementEvent& event) {
    return forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        switch (field) {
            case 1: {
                MeasurementParam param;
                if (!text(r, type, bytes) || !decodeParam(bytes, param, 1)) return false;
                event.params.push_back(std::move(param));
                return true;
            }
            case 2:
                return text(r, type, event.name);
            case 3:
                return integer(r, type, event.timestampMillis);
            case 4:
                return integer(r, type, event.previousTimestampMillis);
            default:
                return r.skip(type);
        }
    });
}

bool decodeUserProperty(const std::string& data, MeasurementUserProperty& property) {
    return forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        std::int64_t number = 0;
        double real = 0;
        switch (field) {
            case 1:
                return integer(r, type, property.setTimestampMillis);
            case 2:
                return text(r, type, property.name);
            case 3:
                if (!text(r, type, bytes)) return false;
                property.stringValue = bytes;
                return true;
            case 4:
                if (!integer(r, type, number)) return false;
                property.intValue = number;
                return true;
            case 5:
            case 6:
                if (!floating(r, data, type, real)) return false;
                property.doubleValue = real;
                return true;
            default:
                return r.skip(type);
        }
    });
}

bool decodeResultData(const std::string& data, MeasurementResultData& result) {
    return forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        switch (field) {
            case 1:
                return varints(r, type, result.status);
            case 2:
                return varints(r, type, result.results);
            case 3: {
                std::int64_t id = 0, timestamp = 0;
                if (!text(r, type, bytes)) return false;
                const bool ok =
                    forEachField(bytes, [&](Reader& e, std::uint32_t f, std::uint32_t t) {
                        if (f == 1) return integer(e, t, id);
                        if (f == 2) return integer(e, t, timestamp);
                        return e.skip(t);
                    });
                if (!ok) return false;
                result.dynamicTimestamps.emplace_back(static_cast<std::int32_t>(id), timestamp);
                return true;
            }
            case 4: {
                std::int64_t id = 0;
                std::vector<std::uint64_t> timestamps;
                if (!text(r, type, bytes)) return false;
                const bool ok =
                    forEachField(bytes, [&](Reader& e, std::uint32_t f, std::uint32_t t) {
                        if (f == 1) return integer(e, t, id);
                        if (f == 2) return varints(e, t, timestamps);
                        return e.skip(t);
                    });
                if (!ok) return false;
                std::vector<std::int64_t> signedTimestamps(timestamps.begin(), timestamps.end());
                result.sequenceTimestamps.emplace_back(static_cast<std::int32_t>(id),
                                                       std::move(signedTimestamps));
                return true;
            }
            default:
                return r.skip(type);
        }
    });
}

bool decodeAudienceResult(const std::string& data, MeasurementAudienceResult& audience) {
    return forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        std::int64_t number = 0;
        switch (field) {
            case 1:
                if (!integer(r, type, number)) return false;
                audience.audienceID = static_cast<std::int32_t>(number);
                return true;
            case 2:
            case 3: {
                MeasurementResultData result;
                if (!text(r, type, bytes) || !decodeResultData(bytes, result)) return false;
                (field == 2 ? audience.current : audience.previous) = std::move(result);
                return true;
            }
            case 4:
                if (!integer(r, type, number)) return false;
                audience.newAudience = number != 0;
                return true;
            default:
                return r.skip(type);
        }
    });
}

// The bundle's bytes without its checksum fields, in their order.
bool withoutChecksum(const std::string& data, std::string& out) {
    Reader r(data);
    out.clear();
    while (!r.done()) {
        const std::size_t start = data.size() - r.remaining();
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type) || !r.skip(type)) return false;
        const std::size_t end = data.size() - r.remaining();
        if (field != kBundleChecksumField) out.append(data, start, end - start);
    }
    return true;
}

bool decodeBundle(const std::string& data, MeasurementBundle& bundle) {
    const bool ok = forEachField(data, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        std::string bytes;
        std::int64_t number = 0;
        switch (field) {
            case 2: {
                MeasurementEvent event;
                if (!text(r, type, bytes) || !decodeEvent(bytes, event)) return false;
                bundle.events.push_back(std::move(event));
                return true;
            }
            case 3: {
                MeasurementUserProperty property;
                if (!text(r, type, bytes) || !decodeUserProperty(bytes, property)) return false;
                bundle.userProperties.push_back(std::move(property));
                return true;
            }
            case 4:
                return integer(r, type, bundle.uploadTimestampMillis);
            case 5:
                return integer(r, type, bundle.startTimestampMillis);
            case 6:
                return integer(r, type, bundle.endTimestampMillis);
            case 8:
                return text(r, type, bundle.platform);
            case 14:
                return text(r, type, bundle.appID);
            case 18:
                return integer(r, type, bundle.uploadLibraryVersion);
            case 19:
                return text(r, type, bundle.resettableDeviceID);
            case 21:
                return text(r, type, bundle.appInstanceID);
            case 27:
                return text(r, type, bundle.vendorDeviceID);
            case 29: {
                MeasurementAudienceResult audience;
                if (!text(r, type, bytes) || !decodeAudienceResult(bytes, audience)) return false;
                bundle.audienceResults.push_back(std::move(audience));
                return true;
            }
            case kBundleChecksumField:
                if (!integer(r, type, number)) return false;
                bundle.checksum = number;
                return true;
            default:
                return r.skip(type);
        }
    });
    if (!ok) return false;
    if (bundle.checksum) {
        std::string stripped;
        if (!withoutChecksum(data, stripped)) return false;
        bundle.checksumMatches = measurementBundleChecksum(stripped) == *bundle.checksum;
    }
    return true;
}

}  // namespace

const MeasurementParam* MeasurementEvent::param(const std::string& paramName) const {
    for (const auto& p : params) {
        if (p.name == paramName) return &p;
    }
    return nullptr;
}

std::int64_t measurementBundleChecksum(const std::string& encodedBundle) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(encodedBundle.data(), encodedBundle.size(), digest, &length, EVP_md5(),
                   nullptr) != 1 ||
        length != 16) {
        return 0;
    }
    std::uint64_t value = 0;
    for (unsigned int i = 8; i < 16; ++i) value = (value << 8) | digest[i];
    return static_cast<std::int64_t>(value);
}

std::optional<MeasurementBatch> decodeMeasurementBatch(const std::string& body,
                                                       std::string* reason) {
    MeasurementBatch batch;
    std::string failure;
    const bool ok = forEachField(body, [&](Reader& r, std::uint32_t field, std::uint32_t type) {
        if (field != 1) return r.skip(type);
        std::string bytes;
        MeasurementBundle bundle;
        if (!text(r, type, bytes) || !decodeBundle(bytes, bundle)) {
            failure = "Bundle " + std::to_string(batch.bundles.size()) + " does not decode.";
            return false;
        }
        batch.bundles.push_back(std::move(bundle));
        return true;
    });
    if (!ok) {
        if (reason) *reason = failure.empty() ? "The batch does not decode." : failure;
        return std::nullopt;
    }
    return batch;
}

}  // namespace sim
