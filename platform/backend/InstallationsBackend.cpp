#include "platform/backend/InstallationsBackend.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <random>
#include <regex>
#include <sstream>

#include "platform/dispatch/Clock.h"

namespace sim {

namespace {

using json = nlohmann::json;

// Never destroyed: a request may still be served while the process exits.
const std::regex& createPath() {
    static const auto* r = new std::regex(R"(^/v1/projects/([^/]+)/installations/?$)");
    return *r;
}
const std::regex& generatePath() {
    static const auto* r =
        new std::regex(R"(^/v1/projects/([^/]+)/installations/([^/]+)/authTokens:generate$)");
    return *r;
}
const std::regex& installationPath() {
    static const auto* r = new std::regex(R"(^/v1/projects/([^/]+)/installations/([^/]+)/?$)");
    return *r;
}

std::string randomText(std::size_t bytes) {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        auto b = static_cast<unsigned>(engine() & 0xFF);
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// A 22-character identifier of the URL-safe alphabet beginning with c to f,
// as the clients make them.
std::string randomIdentifier() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out(1, "cdef"[engine() % 4]);
    while (out.size() < 22) out += alphabet[engine() % 64];
    return out;
}

std::optional<json> parseBody(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

std::string textField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return "";
    return it->get<std::string>();
}

}  // namespace

std::vector<std::string> InstallationsBackend::endpoints() const {
    return {kCreate, kGenerateAuthToken, kDelete};
}

std::optional<std::string> InstallationsBackend::route(const RecordedRequest& request) const {
    if (request.method == "POST" && std::regex_match(request.path, createPath())) return kCreate;
    if (request.method == "POST" && std::regex_match(request.path, generatePath())) {
        return kGenerateAuthToken;
    }
    if (request.method == "DELETE" && std::regex_match(request.path, installationPath())) {
        return kDelete;
    }
    return std::nullopt;
}

ScriptedResponse InstallationsBackend::handle(const std::string& endpoint,
                                              const RecordedRequest& request) {
    if (auto refused = checkAPIKey(request)) return *refused;
    std::smatch m;
    if (endpoint == kCreate && std::regex_match(request.path, m, createPath())) {
        return create(m[1], request);
    }
    if (endpoint == kGenerateAuthToken && std::regex_match(request.path, m, generatePath())) {
        return generate(m[1], m[2], request);
    }
    if (endpoint == kDelete && std::regex_match(request.path, m, installationPath())) {
        return remove(m[1], m[2], request);
    }
    return backendJSONError(404, "Method not found.");
}

std::optional<ScriptedResponse> InstallationsBackend::checkAPIKey(
    const RecordedRequest& request) const {
    auto key = request.header("X-Zevera-Api-Key");
    if (!key || key->empty()) {
        return backendJSONError(403, "Requests to this API are blocked: no API key.");
    }
    std::lock_guard lock(mutex_);
    if (!acceptedKeys_.empty() && !acceptedKeys_.count(*key)) {
        return backendJSONError(403, "API key not valid. Please pass a valid API key.");
    }
    return std::nullopt;
}

std::string InstallationsBackend::issueToken(Installation& installation) {
    installation.authToken = "at." + randomText(24) + "." + std::to_string(++serial_);
    installation.authTokenExpiry = wallClockSeconds() + static_cast<double>(tokenLifetime_);
    ++installation.tokensIssued;
    return installation.authToken;
}

ScriptedResponse InstallationsBackend::create(const std::string& project,
                                              const RecordedRequest& request) {
    auto body = parseBody(request.body);
    if (!body) return backendJSONError(400, "Invalid JSON payload received.");
    Installation installation;
    installation.project = project;
    installation.rid = textField(*body, "rid");
    installation.appId = textField(*body, "appId");
    installation.sdkVersion = textField(*body, "sdkVersion");
    if (installation.appId.empty()) return backendJSONError(400, "Missing appId.");
    if (textField(*body, "authVersion") != "RIS_v2") {
        return backendJSONError(400, "Unsupported authVersion.");
    }
    if (auto migration = request.header("x-zevera-ris-ios-iid-migration-auth")) {
        installation.migrationAuth = *migration;
    }
    json answer;
    {
        std::lock_guard lock(mutex_);
        if (nextIdentifier_) {
            installation.rid = *nextIdentifier_;
            nextIdentifier_.reset();
        }
        if (installation.rid.empty()) installation.rid = randomIdentifier();
        installation.refreshToken = "rt." + randomText(24) + "." + std::to_string(++serial_);
        issueToken(installation);
        std::string expiresIn = std::to_string(tokenLifetime_) + (expiresInSuffix_ ? "s" : "");
        answer = {{"name", "projects/" + project + "/installations/" + installation.rid},
                  {"rid", installation.rid},
                  {"refreshToken", installation.refreshToken},
                  {"authToken", {{"token", installation.authToken}, {"expiresIn", expiresIn}}}};
        store_[{project, installation.rid}] = installation;
    }
    return backendJSON(200, answer.dump());
}

ScriptedResponse InstallationsBackend::generate(const std::string& project, const std::string& rid,
                                                const RecordedRequest& request) {
    if (!parseBody(request.body)) return backendJSONError(400, "Invalid JSON payload received.");
    std::lock_guard lock(mutex_);
    auto it = store_.find({project, rid});
    if (it == store_.end()) return backendJSONError(404, "Installation not found.");
    if (request.header("Authorization") != "RIS_v2 " + it->second.refreshToken) {
        return backendJSONError(401, "Invalid refresh token.");
    }
    std::string token = issueToken(it->second);
    std::string expiresIn = std::to_string(tokenLifetime_) + (expiresInSuffix_ ? "s" : "");
    json answer = {{"token", token}, {"expiresIn", expiresIn}};
    return backendJSON(200, answer.dump());
}

ScriptedResponse InstallationsBackend::remove(const std::string& project, const std::string& rid,
                                              const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    auto it = store_.find({project, rid});
    if (it == store_.end()) return backendJSONError(404, "Installation not found.");
    if (request.header("Authorization") != "RIS_v2 " + it->second.refreshToken) {
        return backendJSONError(401, "Invalid refresh token.");
    }
    store_.erase(it);
    return backendJSON(200, "{}");
}

void InstallationsBackend::reset() {
    std::lock_guard lock(mutex_);
    store_.clear();
    tokenLifetime_ = 604800;
    expiresInSuffix_ = true;
    nextIdentifier_.reset();
    acceptedKeys_.clear();
}

std::string InstallationsBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << store_.size() << " installation(s)";
    const double now = wallClockSeconds();
    for (const auto& [key, i] : store_) {
        out << "\n  " << i.project << "/" << i.rid << " app " << i.appId << ", " << i.tokensIssued
            << " token(s), current one expires in "
            << static_cast<long long>(std::floor(i.authTokenExpiry - now)) << " s"
            << (i.migrationAuth ? ", migrated" : "");
    }
    return out.str();
}

std::vector<InstallationsBackend::Installation> InstallationsBackend::installations() const {
    std::lock_guard lock(mutex_);
    std::vector<Installation> out;
    for (const auto& [key, i] : store_) out.push_back(i);
    return out;
}

std::optional<InstallationsBackend::Installation> InstallationsBackend::installation(
    const std::string& project, const std::string& rid) const {
    std::lock_guard lock(mutex_);
    auto it = store_.find({project, rid});
    if (it == store_.end()) return std::nullopt;
    return it->second;
}

std::size_t InstallationsBackend::installationCount() const {
    std::lock_guard lock(mutex_);
    return store_.size();
}

void InstallationsBackend::addInstallation(Installation installation) {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(installation.project, installation.rid);
    store_[key] = std::move(installation);
}

bool InstallationsBackend::forget(const std::string& project, const std::string& rid) {
    std::lock_guard lock(mutex_);
    return store_.erase({project, rid}) > 0;
}

void InstallationsBackend::setTokenLifetime(long long seconds) {
    std::lock_guard lock(mutex_);
    tokenLifetime_ = seconds;
}

void InstallationsBackend::setExpiresInSuffix(bool withSuffix) {
    std::lock_guard lock(mutex_);
    expiresInSuffix_ = withSuffix;
}

void InstallationsBackend::assignNextIdentifier(const std::string& rid) {
    std::lock_guard lock(mutex_);
    nextIdentifier_ = rid;
}

void InstallationsBackend::setAcceptedAPIKeys(std::set<std::string> keys) {
    std::lock_guard lock(mutex_);
    acceptedKeys_ = std::move(keys);
}

}  // namespace sim
