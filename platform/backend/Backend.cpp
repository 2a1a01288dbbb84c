#include "platform/backend/Backend.h"

#include <nlohmann/json.hpp>

#include "platform/backend/CrashSettingsBackend.h"
#include "platform/backend/DeepLinkBackend.h"
#include "platform/backend/ExperimentsBackend.h"
#include "platform/backend/InstallationsBackend.h"
#include "platform/backend/MeasurementBackend.h"
#include "platform/backend/RemoteConfigBackend.h"
#include "platform/backend/TransportBackend.h"
#include "platform/dispatch/Clock.h"

namespace sim {

namespace {

const char* statusName(int status) {
    switch (status) {
        case 400:
            return "INVALID_ARGUMENT";
        case 401:
            return "UNAUTHENTICATED";
        case 403:
            return "PERMISSION_DENIED";
        case 404:
            return "NOT_FOUND";
        case 409:
            return "ALREADY_EXISTS";
        case 429:
            return "RESOURCE_EXHAUSTED";
        case 500:
            return "INTERNAL";
        case 501:
            return "UNIMPLEMENTED";
        case 503:
            return "UNAVAILABLE";
        case 504:
            return "DEADLINE_EXCEEDED";
        default:
            return status >= 500 ? "UNKNOWN" : "FAILED_PRECONDITION";
    }
}

}  // namespace

ScriptedResponse backendJSON(int status, const std::string& body) {
    return ScriptedResponse::text(status, body, "application/json");
}

ScriptedResponse backendJSONError(int status, const std::string& message) {
    nlohmann::json body = {
        {"error", {{"code", status}, {"message", message}, {"status", statusName(status)}}}};
    return backendJSON(status, body.dump());
}

std::string BackendService::errorBody(int status, const std::string& message) const {
    return backendJSONError(status, message).body;
}

Backend::Backend() {
    auto installations = std::make_unique<InstallationsBackend>();
    installations_ = installations.get();
    services_.push_back(std::move(installations));
    auto remoteConfig = std::make_unique<RemoteConfigBackend>(installations_);
    remoteConfig_ = remoteConfig.get();
    services_.push_back(std::move(remoteConfig));
    services_.push_back(std::make_unique<TransportBackend>());
    services_.push_back(std::make_unique<ExperimentsBackend>());
    services_.push_back(std::make_unique<CrashSettingsBackend>());
    services_.push_back(std::make_unique<MeasurementBackend>());
    services_.push_back(std::make_unique<DeepLinkBackend>());
    server_.setHandler([this](const RecordedRequest& request) { return answer(request); });
}

Backend::~Backend() {
    server_.stop();
}

std::string Backend::url() const {
    return server_.url();
}

int Backend::port() const {
    return server_.port();
}

void Backend::stop() {
    server_.stop();
}

RemoteConfigBackend& Backend::remoteConfig() {
    return *remoteConfig_;
}

InstallationsBackend& Backend::installations() {
    return *installations_;
}

BackendService* Backend::service(const std::string& name) {
    for (auto& s : services_) {
        if (s->name() == name) return s.get();
    }
    return nullptr;
}

std::vector<std::string> Backend::serviceNames() const {
    std::vector<std::string> names;
    for (const auto& s : services_) names.push_back(s->name());
    return names;
}

std::size_t Backend::undecodableUploads() const {
    std::size_t count = 0;
    for (const auto& s : services_) count += s->undecodableUploads();
    return count;
}

bool Backend::knows(const std::string& service, const std::string& endpoint) {
    BackendService* s = this->service(service);
    if (!s) return false;
    auto known = s->endpoints();
    return std::find(known.begin(), known.end(), endpoint) != known.end();
}

bool Backend::enqueue(const std::string& service, const std::string& endpoint,
                      BackendScript script) {
    if (!knows(service, endpoint)) return false;
    std::lock_guard lock(mutex_);
    scripts_[{service, endpoint}].queue.push_back(std::move(script));
    return true;
}

bool Backend::setDefault(const std::string& service, const std::string& endpoint,
                         BackendScript script) {
    if (!knows(service, endpoint)) return false;
    std::lock_guard lock(mutex_);
    scripts_[{service, endpoint}].fallback = std::move(script);
    return true;
}

void Backend::clearScripts() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
}

std::vector<BackendRequest> Backend::requests(const std::string& service) const {
    std::lock_guard lock(mutex_);
    std::vector<BackendRequest> out;
    for (const auto& r : requests_) {
        if (service.empty() || r.service == service) out.push_back(r);
    }
    return out;
}

std::vector<BackendRequest> Backend::requests(const std::string& service,
                                              const std::string& endpoint) const {
    std::lock_guard lock(mutex_);
    std::vector<BackendRequest> out;
    for (const auto& r : requests_) {
        if (r.service == service && r.endpoint == endpoint) out.push_back(r);
    }
    return out;
}

std::size_t Backend::requestCount(const std::string& service) const {
    return requests(service).size();
}

void Backend::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool Backend::waitForRequests(std::size_t count, const std::string& service,
                              std::chrono::milliseconds guard) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, guard, [&] {
        std::size_t n = 0;
        for (const auto& r : requests_) {
            if (service.empty() || r.service == service) ++n;
        }
        return n >= count;
    });
}

void Backend::reset() {
    {
        std::lock_guard lock(mutex_);
        scripts_.clear();
        requests_.clear();
    }
    for (auto& s : services_) s->reset();
}

std::optional<ScriptedResponse> Backend::answer(const RecordedRequest& request) {
    BackendRequest record;
    record.request = request;
    record.wallTime = wallClockSeconds();
    BackendService* target = nullptr;
    for (auto& s : services_) {
        if (auto endpoint = s->route(request)) {
            target = s.get();
            record.service = s->name();
            record.endpoint = *endpoint;
            break;
        }
    }
    ScriptedResponse response;
    if (!target) {
        response = backendJSONError(404, "Method not found.");
    } else {
        std::optional<BackendScript> script;
        {
            std::lock_guard lock(mutex_);
            auto it = scripts_.find({record.service, record.endpoint});
            if (it != scripts_.end()) {
                if (!it->second.queue.empty()) {
                    script = std::move(it->second.queue.front());
                    it->second.queue.pop_front();
                } else {
                    script = it->second.fallback;
                }
            }
        }
        if (script && !script->passThrough) {
            response.status = script->status;
            response.headers.emplace("Content-Type", "application/json");
            response.body = script->body ? *script->body
                                         : target->errorBody(script->status, "Scripted answer.");
            record.scripted = true;
        } else {
            response = target->handle(record.endpoint, request);
        }
        if (script) {
            for (const auto& [name, value] : script->headers) {
                response.headers.erase(name);
                response.headers.emplace(name, value);
            }
            response.delay = script->delay;
        }
    }
    record.status = response.status;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(record));
    }
    cv_.notify_all();
    return response;
}

}  // namespace sim
