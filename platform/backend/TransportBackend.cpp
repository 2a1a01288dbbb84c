#include "platform/backend/TransportBackend.h"

#include <zlib.h>

#include <sstream>

namespace sim {

namespace {

// A protocol-buffer reader of its own, so what the client sent is checked by
// a decoder other than the one that wrote it.
class Reader {
  public:
    explicit Reader(const std::string& data) : p_(data.data()), end_(data.data() + data.size()) {}
    bool done() const { return p_ == end_; }
    bool varint(std::uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            const auto byte = static_cast<std::uint8_t>(*p_++);
            out |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return true;
        }
        return false;
    }
    // Field number and wire type; the value through the other calls.
    bool key(std::uint32_t& field, std::uint32_t& type) {
        std::uint64_t k = 0;
        if (!varint(k) || (k >> 3) == 0 || (k >> 3) > 0x1FFFFFFF) return false;
        field = static_cast<std::uint32_t>(k >> 3);
        type = static_cast<std::uint32_t>(k & 7);
        return true;
    }
    bool bytes(std::string& out) {
        std::uint64_t n = 0;
        if (!varint(n) || n > static_cast<std::uint64_t>(end_ - p_)) return false;
        out.assign(p_, static_cast<std::size_t>(n));
        p_ += n;
        return true;
    }
    bool skip(std::uint32_t type) {
        std::uint64_t ignored = 0;
        std::string ignoredBytes;
        switch (type) {
            case 0:
                return varint(ignored);
            case 1:
                return advance(8);
            case 2:
                return bytes(ignoredBytes);
            case 5:
                return advance(4);
            default:
                return false;
        }
    }

  private:
    bool advance(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) return false;
        p_ += n;
        return true;
    }
    const char* p_;
    const char* end_;
};

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

std::optional<std::string> inflate(const std::string& data) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char chunk[4096];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = ::inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
        if (out.size() > 64u * 1024 * 1024) result = Z_MEM_ERROR;
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    return out;
}

std::string encodeVarint(std::uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
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
    const bool stillCompressed =
        request.body.size() >= 2 && request.body[0] == '\x1f' && request.body[1] == '\x8b';
    std::optional<std::string> body = gzipped && stillCompressed
                                          ? inflate(request.body)
                                          : std::optional<std::string>(request.body);
    ReceivedBatch batch;
    if (body) {
        if (auto decoded = decodeUpload(*body)) batch = std::move(*decoded);
    }
    batch.endpoint = endpoint;
    batch.apiKey = request.header("X-Zevera-Api-Key");
    batch.userAgent = request.header("User-Agent").value_or("");
    batch.gzipped = gzipped;
    std::lock_guard lock(mutex_);
    const bool decoded = batch.decoded;
    batches_.push_back(std::move(batch));
    if (!decoded) return ScriptedResponse::text(400, "not an upload body");
    std::string reply;
    if (waitMillis_) reply = "\x08" + encodeVarint(static_cast<std::uint64_t>(*waitMillis_));
    return ScriptedResponse::text(200, reply, "application/x-protobuf");
}

void TransportBackend::reset() {
    std::lock_guard lock(mutex_);
    batches_.clear();
    waitMillis_.reset();
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
