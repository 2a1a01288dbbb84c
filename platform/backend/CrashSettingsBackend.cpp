#include "platform/backend/CrashSettingsBackend.h"

#include <sstream>

namespace sim {

namespace {

constexpr const char* kPrefix = "/spi/v2/platforms/";
constexpr const char* kClientPrefix = "com.zevera.reruzera.crashtrace.";

}  // namespace

std::optional<std::pair<std::string, std::string>> CrashSettingsBackend::parsePath(
    const std::string& path) {
    const std::string prefix = kPrefix;
    const std::string suffix = "/settings";
    if (path.size() <= prefix.size() + suffix.size() ||
        path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const std::string middle =
        path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    const auto marker = middle.find("/ruv/");
    if (marker == std::string::npos) return std::nullopt;
    const std::string platform = middle.substr(0, marker);
    const std::string app = middle.substr(marker + 5);
    if (platform.empty() || app.empty() || platform.find('/') != std::string::npos)
        return std::nullopt;
    return std::make_pair(platform, app);
}

std::optional<std::string> CrashSettingsBackend::route(const RecordedRequest& request) const {
    if (request.method != "GET" || !parsePath(request.path)) return std::nullopt;
    return std::string(kSettings);
}

ScriptedResponse CrashSettingsBackend::handle(const std::string&, const RecordedRequest& request) {
    const auto target = parsePath(request.path);
    if (!target) return backendJSONError(404, "Not Found");
    if (request.header("X-Crashtrace-Developer-Token") != kDeveloperToken)
        return backendJSONError(403, "The developer token is missing or wrong.");
    const auto client = request.header("X-Crashtrace-API-Client-Id");
    if (!client || client->rfind(kClientPrefix, 0) != 0)
        return backendJSONError(400, "The API client is missing or unknown.");
    if (request.header("X-Crashtrace-Zevera-App-Id") != target->second)
        return backendJSONError(400, "The app id header does not match the path.");
    if (request.header("X-Crashtrace-Installation-ID").value_or("").empty())
        return backendJSONError(400, "The installation id is missing.");
    if (request.header("Accept") != "application/json")
        return backendJSONError(406, "Only application/json is served.");
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = documents_.find(target->second);
    if (found != documents_.end() && !found->second)
        return backendJSONError(404, "No settings for this app.");
    ++served_;
    return ScriptedResponse::text(
        200, found != documents_.end() ? *found->second : kDefaultDocument, contentType_);
}

void CrashSettingsBackend::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    documents_.clear();
    contentType_ = "application/json; charset=utf-8";
    served_ = 0;
}

std::string CrashSettingsBackend::describeState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    out << "crash settings: " << documents_.size() << " app(s), " << served_ << " served";
    for (const auto& [app, document] : documents_)
        out << "\n  " << app << ": " << document.value_or("(none: 404)");
    return out.str();
}

void CrashSettingsBackend::setSettingsDocument(const std::string& appID, const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    documents_[appID] = json;
}

void CrashSettingsBackend::removeSettingsDocument(const std::string& appID) {
    std::lock_guard<std::mutex> lock(mutex_);
    documents_[appID] = std::nullopt;
}

void CrashSettingsBackend::setContentType(const std::string& contentType) {
    std::lock_guard<std::mutex> lock(mutex_);
    contentType_ = contentType;
}

std::size_t CrashSettingsBackend::servedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

}  // namespace sim
