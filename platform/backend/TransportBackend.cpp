#include "platform/backend/TransportBackend.h"

#include "platform/backend/Wire.h"

#include <sstream>

namespace sim {

namespace {

using wire::Reader;

bool decodeNetwork(const std::string& data, TransportBackend::ReceivedEvent& event) {
    Reader r(data);
    event.connectionKind = -1;
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return false;
        std::uint64_t v = 0;
        if (field == 1 && type == 0) {
            if (!r.varint(v)) return false;
            event.connectionKind = static_cast<std::int32_t>(v);
        } else if (!r.skip(type)) {
            return false;
        }
    }
    return true;
}

bool decodeEvent(const std::string& data, std::int32_t source,
                 TransportBackend::ReceivedEvent& event) {
    Reader r(data);
    event.sourceID = source;
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return false;
        std::uint64_t v = 0;
        if (field == 1 && type == 0) {
            if (!r.varint(v)) return false;
            event.wallTimeMs = static_cast<std::int64_t>(v);
        } else if (field == 6 && type == 2) {
            if (!r.bytes(event.payload)) return false;
        } else if (field == 11 && type == 0) {
            if (!r.varint(v)) return false;
            event.eventCode = static_cast<std::int32_t>(v);
        } else if (field == 23 && type == 2) {
            std::string nested;
            if (!r.bytes(nested) || !decodeNetwork(nested, event)) return false;
        } else if (!r.skip(type)) {
            return false;
        }
    }
    return true;
}

bool decodeSourceBatch(const std::string& data, TransportBackend::ReceivedBatch& batch) {
    Reader r(data);
    std::int32_t source = 0;
    std::vector<std::string> events;
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return false;
        std::uint64_t v = 0;
        if (field == 2 && type == 0) {
            if (!r.varint(v)) return false;
            source = static_cast<std::int32_t>(v);
        } else if (field == 3 && type == 2) {
            std::string nested;
            if (!r.bytes(nested)) return false;
            events.push_back(std::move(nested));
        } else if (!r.skip(type)) {
            return false;
        }
    }
    batch.sourceIDs.push_back(source);
    for (const auto& e : events) {
        TransportBackend::ReceivedEvent event;
        if (!decodeEvent(e, source, event)) return false;
        batch.events.push_back(std::move(event));
    }
    return true;
}

}  // namespace

std::vector<std::string> TransportBackend::endpoints() const {
    return {kLGS, kRLG, kCRS, kINT};
}

std::optional<std::string> TransportBackend::route(const RecordedRequest& request) const {
    if (request.method != "POST") return std::nullopt;
    if (request.path == "/v0/log/batch") return kLGS;
    if (request.path == "/dummy/api/very/long") return kINT;
    if (request.path == "/v1/rzrlog/legacy/batchlog") {
        const auto host = request.header("X-Forwarded-Host").value_or("");
        return host.find("crashreports") != std::string::npos ? kCRS : kRLG;
    }
    return std::nullopt;
}

std::optional<TransportBackend::ReceivedBatch> TransportBackend::decodeUpload(
    const std::string& body) {
    ReceivedBatch batch;
    Reader r(body);
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return std::nullopt;
        if (field == 1 && type == 2) {
            std::string nested;
            if (!r.bytes(nested) || !decodeSourceBatch(nested, batch)) return std::nullopt;
        } else if (!r.skip(type)) {
            return std::nullopt;
        }
    }
    batch.decoded = true;
    return batch;
}

ScriptedResponse TransportBackend::handle(const std::string& endpoint,
                                          const RecordedRequest& request) {
    const bool gzipped = request.header("Content-Encoding").value_or("") == "gzip";
    // The HTTP server inflates gzip bodies itself; only a body that still
    // carries the gzip magic is inflated here.
    std::optional<std::string> body = gzipped && wire::hasGzipMagic(request.body)
                                          ? wire::gunzip(request.body)
                                          : std::optional<std::string>(request.body);
    ReceivedBatch batch;
    if (body) {
        if (auto decoded = decodeUpload(*body)) batch = std::move(*decoded);
    }
    batch.endpoint = endpoint;
    batch.apiKey = request.header("X-Zevera-Api-Key");
    batch.userAgent = request.header("User-Agent").value_or("");
    batch.gzipped = gzipped;
    std::size_t undecodable = batch.decoded ? 0 : 1;
    if (endpoint == kCRS) {
        for (const auto& event : batch.events) {
            if (!decodeCrashReport(event.payload)) ++undecodable;
        }
    }
    std::lock_guard lock(mutex_);
    undecodable_ += undecodable;
    const bool decoded = batch.decoded;
    batches_.push_back(std::move(batch));
    if (!decoded) return ScriptedResponse::text(400, "not an upload body");
    std::string reply;
    if (waitMillis_) reply = "\x08" + wire::encodeVarint(static_cast<std::uint64_t>(*waitMillis_));
    return ScriptedResponse::text(200, reply, "application/x-protobuf");
}

void TransportBackend::reset() {
    std::lock_guard lock(mutex_);
    batches_.clear();
    waitMillis_.reset();
    undecodable_ = 0;
}

std::string TransportBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "transport: " << batches_.size() << " uploads";
    for (const char* endpoint : {kLGS, kRLG, kCRS, kINT}) {
        std::size_t events = 0, uploads = 0;
        for (const auto& b : batches_) {
            if (b.endpoint == endpoint) {
                ++uploads;
                events += b.events.size();
            }
        }
        out << "\n  " << endpoint << ": " << uploads << " uploads, " << events << " events";
    }
    return out.str();
}

std::size_t TransportBackend::undecodableUploads() const {
    std::lock_guard lock(mutex_);
    return undecodable_;
}

std::vector<TransportBackend::ReceivedBatch> TransportBackend::batches(
    const std::string& endpoint) const {
    std::lock_guard lock(mutex_);
    std::vector<ReceivedBatch> out;
    for (const auto& b : batches_) {
        if (endpoint.empty() || b.endpoint == endpoint) out.push_back(b);
    }
    return out;
}

std::size_t TransportBackend::eventCount(const std::string& endpoint) const {
    std::size_t count = 0;
    for (const auto& b : batches(endpoint)) count += b.events.size();
    return count;
}

std::vector<ReceivedCrashReport> TransportBackend::crashReports() const {
    std::vector<ReceivedCrashReport> reports;
    for (const auto& batch : batches(kCRS)) {
        for (const auto& event : batch.events) {
            if (auto report = decodeCrashReport(event.payload))
                reports.push_back(std::move(*report));
        }
    }
    return reports;
}

void TransportBackend::setWaitMillis(std::optional<std::int64_t> millis) {
    std::lock_guard lock(mutex_);
    waitMillis_ = millis;
}

}  // namespace sim
