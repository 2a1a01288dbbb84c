#include "platform/backend/RemoteConfigBackend.h"

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "platform/backend/InstallationsBackend.h"
#include "platform/backend/Wire.h"

namespace sim {

namespace {

using nlohmann::json;

const std::regex& fetchPath() {
    static const auto* r = new std::regex(R"(^/v1/projects/([^/]+)/namespaces/([^/:]+):fetch$)");
    return *r;
}

bool hasKeyParameter(const std::string& query) {
    std::istringstream in(query);
    std::string pair;
    while (std::getline(in, pair, '&'))
        if (pair.rfind("key=", 0) == 0 && pair.size() > 4) return true;
    return false;
}

}  // namespace

std::optional<std::string> RemoteConfigBackend::route(const RecordedRequest& request) const {
    if (request.method == "POST" && std::regex_match(request.path, fetchPath())) return kFetch;
    return std::nullopt;
}

std::optional<std::map<std::string, std::string>> RemoteConfigBackend::parseRequestText(
    const std::string& text) {
    std::map<std::string, std::string> fields;
    std::size_t i = 0;
    auto skipSpace = [&] {
        while (i < text.size() && text[i] == ' ') ++i;
    };
    if (text.empty() || text[i++] != '{') return std::nullopt;
    while (true) {
        skipSpace();
        const std::size_t colon = text.find(':', i);
        if (colon == std::string::npos) return std::nullopt;
        const std::string key = text.substr(i, colon - i);
        if (key.empty() || key.find_first_of("{}',") != std::string::npos) return std::nullopt;
        i = colon + 1;
        if (i < text.size() && text[i] == '\'') {
            std::string value;
            ++i;
            while (i < text.size() && text[i] != '\'') {
                if (text[i] == '\\') ++i;
                if (i >= text.size()) return std::nullopt;
                value += text[i++];
            }
            if (i >= text.size()) return std::nullopt;
            ++i;
            fields[key] = value;
        } else if (key == "analytics_user_properties") {
            // Bare JSON up to the matching brace.
            if (i >= text.size() || text[i] != '{') return std::nullopt;
            const std::size_t start = i;
            int depth = 0;
            bool inString = false;
            for (; i < text.size(); ++i) {
                const char c = text[i];
                if (inString) {
                    if (c == '\\')
                        ++i;
                    else if (c == '"')
                        inString = false;
                } else if (c == '"') {
                    inString = true;
                } else if (c == '{') {
                    ++depth;
                } else if (c == '}' && --depth == 0) {
                    ++i;
                    break;
                }
            }
            if (depth != 0 || !json::accept(text.substr(start, i - start))) return std::nullopt;
            fields[key] = text.substr(start, i - start);
        } else {
            return std::nullopt;
        }
        skipSpace();
        if (i < text.size() && text[i] == ',') {
            ++i;
            continue;
        }
        if (i + 1 == text.size() && text[i] == '}') return fields;
        return std::nullopt;
    }
}

ScriptedResponse RemoteConfigBackend::handle(const std::string& endpoint,
                                             const RecordedRequest& request) {
    std::smatch m;
    if (endpoint != kFetch || !std::regex_match(request.path, m, fetchPath()))
        return backendJSONError(404, "Method not found.");
    const std::string project = m[1], ns = m[2];
    if (!hasKeyParameter(request.query))
        return backendJSONError(403, "Requests to this API are blocked: no API key.");
    auto token = request.header("x-zevera-reruzera-installations-auth");
    bool tokenKnown = false;
    if (token && !token->empty()) {
        std::lock_guard lock(mutex_);
        tokenKnown = !strictTokens_;
    }
    if (token && !token->empty() && !tokenKnown && installations_) {
        for (const auto& installation : installations_->installations())
            tokenKnown = tokenKnown || installation.authToken == *token;
    }
    if (!tokenKnown)
        return backendJSONError(401, "Request is missing a valid installation auth token.");
    if (request.header("Content-Type").value_or("") != "application/json")
        return backendJSONError(400, "Content-Type must be application/json.");
    if (request.header("X-Ios-Bundle-Identifier").value_or("").empty())
        return backendJSONError(400, "Missing bundle identifier.");
    if (request.header("Content-Encoding").value_or("") != "gzip")
        return backendJSONError(400, "The request body must be gzip-compressed.");
    // The server inflates declared gzip bodies itself when it can.
    auto text = wire::hasGzipMagic(request.body) ? wire::gunzip(request.body, 1u << 24)
                                                 : std::optional<std::string>(request.body);
    if (!text) return backendJSONError(400, "The request body does not inflate.");
    auto fields = parseRequestText(*text);
    if (!fields || fields->count("app_instance_id") == 0 || fields->count("app_id") == 0)
        return backendJSONError(400, "Invalid request text.");

    std::lock_guard lock(mutex_);
    lastFields_ = *fields;
    ++fetches_;
    auto it = templates_.find({project, ns});
    if (it == templates_.end()) return backendJSON(200, json{{"state", "NO_TEMPLATE"}}.dump());
    const Template& t = it->second;
    const std::string tag = "etag-" + project + "-" + ns + "-" + std::to_string(t.version);
    json answer;
    if (request.header("if-none-match").value_or("") == tag) {
        answer = {{"state", "NO_CHANGE"}};
    } else if (t.entries.empty()) {
        answer = {{"state", "EMPTY_CONFIG"}};
    } else {
        answer = {{"state", "UPDATE"},
                  {"entries", t.entries},
                  {"personalizationMetadata", json::parse(t.personalization)},
                  {"experimentDescriptions", json::parse(t.experiments)}};
    }
    auto response = backendJSON(200, answer.dump());
    response.headers.emplace("etag", tag);
    return response;
}

RemoteConfigBackend::Template& RemoteConfigBackend::edit(const std::string& project,
                                                         const std::string& ns) {
    Template& t = templates_[{project, ns}];
    ++t.version;
    return t;
}

void RemoteConfigBackend::setValue(const std::string& project, const std::string& ns,
                                   const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    edit(project, ns).entries[key] = value;
}

void RemoteConfigBackend::removeValue(const std::string& project, const std::string& ns,
                                      const std::string& key) {
    std::lock_guard lock(mutex_);
    edit(project, ns).entries.erase(key);
}

void RemoteConfigBackend::setPersonalization(const std::string& project, const std::string& ns,
                                             const std::string& text) {
    std::lock_guard lock(mutex_);
    edit(project, ns).personalization = json::accept(text) ? text : "{}";
}

void RemoteConfigBackend::setExperiments(const std::string& project, const std::string& ns,
                                         const std::string& text) {
    std::lock_guard lock(mutex_);
    edit(project, ns).experiments = json::accept(text) ? text : "[]";
}

void RemoteConfigBackend::removeTemplate(const std::string& project, const std::string& ns) {
    std::lock_guard lock(mutex_);
    templates_.erase({project, ns});
}

std::map<std::string, std::string> RemoteConfigBackend::values(const std::string& project,
                                                               const std::string& ns) const {
    std::lock_guard lock(mutex_);
    auto it = templates_.find({project, ns});
    return it == templates_.end() ? std::map<std::string, std::string>{} : it->second.entries;
}

std::optional<std::string> RemoteConfigBackend::etag(const std::string& project,
                                                     const std::string& ns) const {
    std::lock_guard lock(mutex_);
    auto it = templates_.find({project, ns});
    if (it == templates_.end()) return std::nullopt;
    return "etag-" + project + "-" + ns + "-" + std::to_string(it->second.version);
}

std::map<std::string, std::string> RemoteConfigBackend::lastRequestFields() const {
    std::lock_guard lock(mutex_);
    return lastFields_;
}

std::size_t RemoteConfigBackend::fetchCount() const {
    std::lock_guard lock(mutex_);
    return fetches_;
}

void RemoteConfigBackend::setStrictAuthTokens(bool strict) {
    std::lock_guard lock(mutex_);
    strictTokens_ = strict;
}

void RemoteConfigBackend::reset() {
    std::lock_guard lock(mutex_);
    templates_.clear();
    lastFields_.clear();
    fetches_ = 0;
    strictTokens_ = false;
}

std::string RemoteConfigBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "remoteconfig: " << templates_.size() << " template(s), " << fetches_ << " fetch(es)\n";
    for (const auto& [where, t] : templates_) {
        out << "  " << where.first << "/" << where.second << " v" << t.version << ":";
        for (const auto& [key, value] : t.entries) out << " " << key << "=" << value;
        out << "\n";
    }
    return out.str();
}

}  // namespace sim
