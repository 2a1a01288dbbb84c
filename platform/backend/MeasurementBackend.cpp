#include "platform/backend/MeasurementBackend.h"

#include <cmath>
#include <ctime>
#include <sstream>

#include "platform/backend/Wire.h"
#include "platform/dispatch/Clock.h"

namespace sim {

namespace {

constexpr const char* kConfigPrefix = "/config/app/";
constexpr std::size_t kDescribedUploads = 10;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding; a stray '%' stays as it is.
std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::map<std::string, std::string> queryPairs(const std::string& query) {
    std::map<std::string, std::string> pairs;
    std::istringstream in(query);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        if (equals == std::string::npos) {
            pairs[percentDecoded(pair)] = "";
        } else {
            pairs[percentDecoded(pair.substr(0, equals))] = percentDecoded(pair.substr(equals + 1));
        }
    }
    return pairs;
}

std::string httpDate(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buffer;
}

std::uint64_t signedVarint(std::int64_t value) {
    return static_cast<std::uint64_t>(value);
}

}  // namespace

std::string MeasurementBackend::encodeConfiguration(const std::string& appID,
                                                    const Configuration& configuration) {
    wire::Writer message;
    if (configuration.version) message.varint(1, signedVarint(*configuration.version));
    message.bytes(2, configuration.appID.value_or(appID));
    for (const auto& [name, value] : configuration.settings) {
        wire::Writer setting;
        setting.bytes(1, name);
        setting.bytes(2, value);
        message.bytes(4, setting.data());
    }
    for (const auto& event : configuration.events) {
        wire::Writer entry;
        entry.bytes(1, event.name);
        if (event.blocklisted) entry.varint(2, *event.blocklisted ? 1 : 0);
        if (event.customConversion) entry.varint(3, *event.customConversion ? 1 : 0);
        if (event.samplingRate) entry.varint(4, signedVarint(*event.samplingRate));
        message.bytes(5, entry.data());
    }
    for (const auto& audience : configuration.audiences) message.bytes(6, audience);
    for (const auto& program : configuration.programs) message.bytes(9, program);
    return message.data();
}

std::optional<std::string> MeasurementBackend::route(const RecordedRequest& request) const {
    if (request.method == "POST" && request.path == "/a") return kUpload;
    if (request.method == "GET" && request.path.rfind(kConfigPrefix, 0) == 0) {
        const std::string appID = request.path.substr(std::string(kConfigPrefix).size());
        if (!appID.empty() && appID.find('/') == std::string::npos) return kConfig;
    }
    return std::nullopt;
}

ScriptedResponse MeasurementBackend::handle(const std::string& endpoint,
                                            const RecordedRequest& request) {
    return endpoint == kUpload ? upload(request) : config(request);
}

ScriptedResponse MeasurementBackend::upload(const RecordedRequest& request) {
    UploadRecord record;
    record.contentType = request.header("Content-Type");
    auto reject = [&](std::string reason) {
        record.reason = reason;
        {
            std::lock_guard lock(mutex_);
            uploads_.push_back(record);
        }
        return backendJSONError(400, reason);
    };
    if (request.header("Content-Encoding").value_or("") != "gzip")
        return reject("The request body must be gzip-compressed.");
    // The server hands declared gzip bodies over inflated, so a body that is
    // still compressed was compressed twice.
    const std::string& body = request.body;
    if (wire::hasGzipMagic(body)) return reject("The request body is compressed twice.");
    std::string reason;
    auto batch = decodeMeasurementBatch(body, &reason);
    if (!batch) return reject(reason);
    record.batch = std::move(*batch);
    if (record.batch.bundles.empty()) return reject("The batch holds no bundles.");
    for (std::size_t i = 0; i < record.batch.bundles.size(); ++i) {
        if (!record.batch.bundles[i].checksumMatches)
            return reject("Bundle " + std::to_string(i) + " has a wrong checksum.");
    }
    record.accepted = true;
    {
        std::lock_guard lock(mutex_);
        uploads_.push_back(std::move(record));
    }
    return ScriptedResponse::text(200, "", "application/octet-stream");
}

ScriptedResponse MeasurementBackend::config(const RecordedRequest& request) {
    ConfigRequest record;
    // The server hands the path over already decoded.
    record.appID = request.path.substr(std::string(kConfigPrefix).size());
    record.query = queryPairs(request.query);
    record.ifModifiedSince = request.header("If-Modified-Since");
    ScriptedResponse response;
    {
        std::lock_guard lock(mutex_);
        auto error = configErrors_.find(record.appID);
        auto stored = configs_.find(record.appID);
        if (error != configErrors_.end()) {
            response = backendJSONError(error->second, "Scripted configuration error.");
        } else if (stored == configs_.end()) {
            response = backendJSONError(404, "No configuration for this app.");
        } else if (record.ifModifiedSince == stored->second.lastModified) {
            response = ScriptedResponse::text(304, "", "application/x-protobuf");
            response.headers.emplace("Last-Modified", stored->second.lastModified);
        } else {
            response = ScriptedResponse::text(200, stored->second.body, "application/x-protobuf");
            response.headers.emplace("Last-Modified", stored->second.lastModified);
        }
        record.status = response.status;
        configRequests_.push_back(std::move(record));
    }
    return response;
}

void MeasurementBackend::setConfiguration(const std::string& appID,
                                          const Configuration& configuration,
                                          const std::string& lastModified) {
    setConfigurationBody(appID, encodeConfiguration(appID, configuration), lastModified);
}

void MeasurementBackend::setConfigurationBody(const std::string& appID, std::string body,
                                              const std::string& lastModified) {
    std::lock_guard lock(mutex_);
    StoredConfig& stored = configs_[appID];
    if (lastModified.empty()) {
        // A new stamp for every change, also within one second, so a
        // conditional fetch never misses it.
        static std::int64_t lastStamp = 0;
        std::int64_t now = static_cast<std::int64_t>(std::floor(wallClockSeconds()));
        if (now <= lastStamp) now = lastStamp + 1;
        lastStamp = now;
        stored.lastModified = httpDate(now);
    } else {
        stored.lastModified = lastModified;
    }
    stored.body = std::move(body);
}

void MeasurementBackend::removeConfiguration(const std::string& appID) {
    std::lock_guard lock(mutex_);
    configs_.erase(appID);
}

void MeasurementBackend::setConfigurationError(const std::string& appID, int status) {
    std::lock_guard lock(mutex_);
    if (status == 0) {
        configErrors_.erase(appID);
    } else {
        configErrors_[appID] = status;
    }
}

std::optional<std::string> MeasurementBackend::lastModified(const std::string& appID) const {
    std::lock_guard lock(mutex_);
    auto it = configs_.find(appID);
    if (it == configs_.end()) return std::nullopt;
    return it->second.lastModified;
}

std::vector<MeasurementBackend::UploadRecord> MeasurementBackend::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

std::vector<MeasurementBundle> MeasurementBackend::acceptedBundles() const {
    std::lock_guard lock(mutex_);
    std::vector<MeasurementBundle> bundles;
    for (const auto& upload : uploads_) {
        if (!upload.accepted) continue;
        bundles.insert(bundles.end(), upload.batch.bundles.begin(), upload.batch.bundles.end());
    }
    return bundles;
}

std::size_t MeasurementBackend::rejectedCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& upload : uploads_) n += upload.accepted ? 0 : 1;
    return n;
}

std::vector<MeasurementBackend::ConfigRequest> MeasurementBackend::configRequests() const {
    std::lock_guard lock(mutex_);
    return configRequests_;
}

void MeasurementBackend::reset() {
    std::lock_guard lock(mutex_);
    uploads_.clear();
    configs_.clear();
    configErrors_.clear();
    configRequests_.clear();
}

std::string MeasurementBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::size_t accepted = 0;
    for (const auto& upload : uploads_) accepted += upload.accepted ? 1 : 0;
    std::ostringstream out;
    out << accepted << " batch(es) accepted, " << uploads_.size() - accepted << " rejected, "
        << configs_.size() << " configuration(s), " << configRequests_.size()
        << " configuration fetch(es)";
    const std::size_t first =
        uploads_.size() > kDescribedUploads ? uploads_.size() - kDescribedUploads : 0;
    for (std::size_t i = first; i < uploads_.size(); ++i) {
        const auto& upload = uploads_[i];
        out << "\n  batch " << i + 1 << ": ";
        if (!upload.accepted) {
            out << "rejected (" << upload.reason << ")";
            continue;
        }
        std::size_t events = 0, properties = 0, audiences = 0;
        std::string names;
        for (const auto& bundle : upload.batch.bundles) {
            events += bundle.events.size();
            properties += bundle.userProperties.size();
            audiences += bundle.audienceResults.size();
            for (const auto& event : bundle.events) {
                if (names.size() > 60) continue;
                names += (names.empty() ? "" : " ") + event.name;
            }
        }
        out << upload.batch.bundles.size() << " bundle(s), " << events << " event(s), "
            << properties << " user propert" << (properties == 1 ? "y" : "ies") << ", " << audiences
            << " audience result(s)";
        if (!names.empty()) out << ": " << names << (names.size() > 60 ? " ..." : "");
    }
    return out.str();
}

}  // namespace sim
