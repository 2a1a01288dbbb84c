#include "platform/backend/ExperimentsBackend.h"

#include "platform/backend/Wire.h"

#include <cstring>
#include <sstream>

namespace sim {

namespace {

using wire::Reader;
using wire::Writer;

bool decodeClient(const std::string& data, ExperimentsBackend::ReceivedClient& client) {
    Reader r(data);
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return false;
        std::string text;
        std::uint64_t number = 0;
        if (field == 1 && type == 2) {
            if (!r.bytes(client.sdkName)) return false;
        } else if (field == 2 && type == 2) {
            if (!r.bytes(client.hashedDiversionKey)) return false;
        } else if (field == 3 && type == 0) {
            if (!r.varint(number)) return false;
            client.version = static_cast<std::int64_t>(number);
        } else if (field == 4 && type == 2) {
            if (!r.bytes(text)) return false;
            client.appID = text;
        } else if (field == 5 && type == 2) {
            if (!r.bytes(text)) return false;
            Reader entry(text);
            std::string key, value;
            while (!entry.done()) {
                std::uint32_t f = 0, t = 0;
                if (!entry.key(f, t)) return false;
                if (f == 1 && t == 2) {
                    if (!entry.bytes(key)) return false;
                } else if (f == 2 && t == 2) {
                    if (!entry.bytes(value)) return false;
                } else if (!entry.skip(t)) {
                    return false;
                }
            }
            client.customProperties[key] = value;
        } else if (!r.skip(type)) {
            return false;
        }
    }
    return true;
}

bool decodeApp(const std::string& data, ExperimentsBackend::ReceivedRequest& request) {
    Reader r(data);
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return false;
        std::string text;
        std::uint64_t number = 0;
        if (type == 2 && field >= 1 && field <= 5) {
            if (!r.bytes(text)) return false;
            switch (field) {
                case 1:
                    request.platform = text;
                    break;
                case 2:
                    request.osVersion = text;
                    break;
                case 3:
                    request.deviceModel = text;
                    break;
                case 4:
                    request.language = text;
                    break;
                default:
                    request.bundleID = text;
            }
        } else if (type == 0 && (field == 6 || field == 7)) {
            if (!r.varint(number)) return false;
            if (field == 6) request.fromAppStore = number != 0;
            if (field == 7) request.libraryVersion = static_cast<std::int64_t>(number);
        } else if (!r.skip(type)) {
            return false;
        }
    }
    return true;
}

std::string encodeSnapshot(const std::string& sdk,
                           const std::vector<ExperimentsBackend::Experiment>& experiments) {
    Writer snapshot;
    snapshot.bytes(1, sdk);
    for (const auto& e : experiments) {
        Writer experiment;
        if (e.id)
            experiment.varint(1, static_cast<std::uint64_t>(static_cast<std::int64_t>(*e.id)));
        for (const auto& f : e.flags) {
            Writer flag;
            flag.bytes(1, f.name);
            if (const auto* i = std::get_if<std::int64_t>(&f.value)) {
                flag.varint(2, static_cast<std::uint64_t>(*i));
            } else if (const auto* s = std::get_if<std::string>(&f.value)) {
                flag.bytes(3, *s);
            } else if (const auto* d = std::get_if<double>(&f.value)) {
                flag.fixed64(4, *d);
            } else {
                flag.varint(5, std::get<bool>(f.value) ? 1 : 0);
            }
            experiment.bytes(2, flag.data());
        }
        snapshot.bytes(2, experiment.data());
    }
    return snapshot.data();
}

}  // namespace

std::optional<ExperimentsBackend::ReceivedRequest> ExperimentsBackend::decodeRequest(
    const std::string& body) {
    ReceivedRequest request;
    Reader r(body);
    while (!r.done()) {
        std::uint32_t field = 0, type = 0;
        if (!r.key(field, type)) return std::nullopt;
        std::string nested;
        if (field == 1 && type == 2) {
            if (!r.bytes(nested) || !decodeApp(nested, request)) return std::nullopt;
        } else if (field == 2 && type == 2) {
            ReceivedClient client;
            if (!r.bytes(nested) || !decodeClient(nested, client)) return std::nullopt;
            request.clients.push_back(std::move(client));
        } else if (!r.skip(type)) {
            return std::nullopt;
        }
    }
    return request;
}

std::string ExperimentsBackend::encodeResponse(
    const std::map<std::string, std::vector<Experiment>>& snapshots,
    const std::map<std::string, std::uint32_t>& errors, bool inSdkResponses) {
    Writer response;
    std::map<std::string, std::pair<std::optional<std::string>, std::uint32_t>> answers;
    for (const auto& [sdk, experiments] : snapshots) {
        if (inSdkResponses) {
            answers[sdk].first = encodeSnapshot(sdk, experiments);
        } else {
            response.bytes(1, encodeSnapshot(sdk, experiments));
        }
    }
    for (const auto& [sdk, code] : errors) answers[sdk].second = code;
    for (const auto& [sdk, answer] : answers) {
        Writer entry;
        entry.bytes(1, sdk);
        if (answer.second) entry.varint(2, answer.second);
        if (answer.first) entry.bytes(3, *answer.first);
        response.bytes(2, entry.data());
    }
    return response.data();
}

std::string ExperimentsBackend::gzip(const std::string& data) {
    return wire::gzip(data);
}

std::optional<std::string> ExperimentsBackend::route(const RecordedRequest& request) const {
    if (request.method == "POST" && request.path == "/sdk-exp") return kFetch;
    return std::nullopt;
}

ScriptedResponse ExperimentsBackend::handle(const std::string&, const RecordedRequest& request) {
    if (request.header("Content-Encoding").value_or("") != "gzip") {
        return backendJSONError(400, "The request body must be gzip-compressed.");
    }
    // The server records declared gzip bodies inflated.
    auto decoded = decodeRequest(request.body);
    if (!decoded) return backendJSONError(400, "The request does not decode.");
    std::map<std::string, std::vector<Experiment>> snapshots;
    std::map<std::string, std::uint32_t> errors;
    bool inSdkResponses = false;
    {
        std::lock_guard lock(mutex_);
        received_.push_back(*decoded);
        for (const auto& client : decoded->clients) {
            auto s = snapshots_.find(client.sdkName);
            if (s != snapshots_.end()) snapshots[client.sdkName] = s->second;
            auto e = errors_.find(client.sdkName);
            if (e != errors_.end()) errors[client.sdkName] = e->second;
        }
        inSdkResponses = inSdkResponses_;
    }
    return ScriptedResponse::text(200, gzip(encodeResponse(snapshots, errors, inSdkResponses)),
                                  "application/x-protobuf");
}

void ExperimentsBackend::setSnapshot(const std::string& sdkName,
                                     std::vector<Experiment> experiments) {
    std::lock_guard lock(mutex_);
    snapshots_[sdkName] = std::move(experiments);
}

void ExperimentsBackend::removeSnapshot(const std::string& sdkName) {
    std::lock_guard lock(mutex_);
    snapshots_.erase(sdkName);
}

void ExperimentsBackend::setError(const std::string& sdkName, std::uint32_t code) {
    std::lock_guard lock(mutex_);
    if (code == 0) {
        errors_.erase(sdkName);
    } else {
        errors_[sdkName] = code;
    }
}

void ExperimentsBackend::setSnapshotsInSdkResponses(bool inSdkResponses) {
    std::lock_guard lock(mutex_);
    inSdkResponses_ = inSdkResponses;
}

std::vector<ExperimentsBackend::ReceivedRequest> ExperimentsBackend::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void ExperimentsBackend::reset() {
    std::lock_guard lock(mutex_);
    snapshots_.clear();
    errors_.clear();
    inSdkResponses_ = false;
    received_.clear();
}

std::map<std::string, std::vector<ExperimentsBackend::Experiment>> ExperimentsBackend::snapshots()
    const {
    std::lock_guard lock(mutex_);
    return snapshots_;
}

std::string ExperimentsBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "experiments: " << snapshots_.size() << " snapshot(s), " << errors_.size()
        << " error(s), " << received_.size() << " request(s) received";
    return out.str();
}

}  // namespace sim
