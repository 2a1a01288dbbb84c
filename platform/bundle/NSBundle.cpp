#include "platform/bundle/NSBundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

namespace fs = std::filesystem;

namespace {

std::mutex& mainMutex() {
    static std::mutex m;
    return m;
}
std::string& mainOverride() {
    static std::string path;
    return path;
}
std::shared_ptr<NSBundle>& mainCache() {
    static std::shared_ptr<NSBundle> bundle;
    return bundle;
}

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}
bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

std::optional<Value> readPropertyList(const fs::path& path) {
    auto data = sim::FileSystem::readFile(path);
    if (!data) return std::nullopt;
    return PropertyListSerialization::propertyListWithData(*data);
}

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return fs::current_path(ec);
    return exe.parent_path();
}

}  // namespace

namespace {

std::string besideProgram() {
    fs::path folder = executableFolder();
    // The bundle beside the program whose information list names this
    // program as its executable; several programs may share one folder.
    std::error_code ec;
    const auto program = fs::read_symlink("/proc/self/exe", ec).filename().string();
    std::string fallback;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().extension() != ".app" || !isDirectory(entry.path())) continue;
        auto info = readPropertyList(entry.path() / "Contents" / "Info.plist");
        const Dictionary* d = info ? info->asDictionary() : nullptr;
        if (d && (*d)["CFBundleExecutable"] == Value(program)) return entry.path().string();
        if (entry.path().filename() == "Lumbrel.app") fallback = entry.path().string();
    }
    if (!fallback.empty()) return fallback;
    return folder.string();
}

}  // namespace

namespace sim {

void setMainBundlePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mainMutex());
    mainOverride() = path;
}

void clearMainBundlePath() {
    setMainBundlePath(std::string());
}

std::string mainBundlePath() {
    {
        std::lock_guard<std::mutex> lock(mainMutex());
        if (!mainOverride().empty()) return mainOverride();
    }
    if (const char* env = std::getenv("LUMBREL_BUNDLE"); env && *env) return env;
    static const std::string beside = besideProgram();
    return beside;
}

}  // namespace sim

NSBundle::NSBundle(std::string path) : path_(std::move(path)) {
    if (auto info = readPropertyList(fs::path(path_) / "Contents" / "Info.plist")) {
        if (const Dictionary* d = info->asDictionary()) info_ = *d;
    }
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
    std::string path = sim::mainBundlePath();
    {
        std::lock_guard<std::mutex> lock(mainMutex());
        if (mainCache() && mainCache()->bundlePath() == path) return mainCache();
    }
    // Opened outside the lock (reads files); the first to store wins.
    auto bundle = std::make_shared<NSBundle>(path);
    std::lock_guard<std::mutex> lock(mainMutex());
    if (!mainCache() || mainCache()->bundlePath() != path) mainCache() = bundle;
    return mainCache();
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
    if (path.empty() || !isDirectory(path)) return nullptr;
    return std::make_shared<NSBundle>(path);
}

std::string NSBundle::description() const {
    return "NSBundle <" + path_ + ">" + (resourcePath() ? " (loaded)" : "");
}

std::optional<std::string> NSBundle::resourcePath() const {
    fs::path resources = fs::path(path_) / "Contents" / "Resources";
    if (isDirectory(resources)) return resources.string();
    return std::nullopt;
}

std::optional<std::string> NSBundle::executablePath() const {
    const Value* name = objectForInfoDictionaryKey("CFBundleExecutable");
    if (!name || !name->asString() || name->asString()->empty()) return std::nullopt;
    return (fs::path(path_) / "Contents" / "MacOS" / *name->asString()).string();
}

std::string NSBundle::bundleIdentifier() const {
    const Value* id = objectForInfoDictionaryKey("CFBundleIdentifier");
    if (!id) return std::string();
    return id->asString().value_or(std::string());
}

const Value* NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
    return info_.find(key);
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type,
                                                     const std::string& subdirectory) const {
    auto resources = resourcePath();
    if (!resources || name.empty()) return std::nullopt;
    std::string file = name;
    if (!type.empty()) file += (type.front() == '.' ? "" : ".") + type;

    std::vector<fs::path> folders;
    fs::path base(*resources);
    folders.push_back(subdirectory.empty() ? base : base / subdirectory);
    for (const auto& lang : preferredLocalizations()) {
        fs::path lproj = base / (lang + ".lproj");
        folders.push_back(subdirectory.empty() ? lproj : lproj / subdirectory);
    }
    for (const auto& folder : folders) {
        fs::path candidate = folder / file;
        std::error_code ec;
        if (fs::exists(candidate, ec)) return candidate.string();
    }
    return std::nullopt;
}

std::vector<std::string> NSBundle::pathsForResourcesOfType(const std::string& type,
                                                           const std::string& subdirectory) const {
    std::vector<std::string> out;
    auto resources = resourcePath();
    if (!resources) return out;
    fs::path folder =
        subdirectory.empty() ? fs::path(*resources) : fs::path(*resources) / subdirectory;
    std::string ext = type.empty() ? "" : (type.front() == '.' ? type : "." + type);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!ext.empty() && it->path().extension() != ext) continue;
        out.push_back(it->path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::shared_ptr<const Dictionary> NSBundle::stringTable(const std::string& table) const {
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (auto it = tables_.find(table); it != tables_.end()) return it->second;
    }
    auto merged = std::make_shared<Dictionary>();
    if (auto resources = resourcePath()) {
        // Lowest priority first: unlocalized, then the fallbacks, then the
        // preferred language, each overriding what came before.
        std::vector<fs::path> files{fs::path(*resources) / (table + ".strings")};
        auto langs = preferredLocalizations();
        for (auto it = langs.rbegin(); it != langs.rend(); ++it) {
            files.push_back(fs::path(*resources) / (*it + ".lproj") / (table + ".strings"));
        }
        for (const auto& file : files) {
            if (!isFile(file)) continue;
            auto plist = readPropertyList(file);
            if (!plist) continue;
            if (const Dictionary* d = plist->asDictionary()) {
                for (const auto& [k, v] : *d) merged->set(k, v);
            }
        }
    }
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto [it, inserted] = tables_.emplace(table, std::move(merged));
    return it->second;
}

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::string& table) const {
    auto strings = stringTable(table.empty() ? "Localizable" : table);
    if (strings) {
        if (const Value* v = strings->find(key)) {
            if (auto s = v->asString()) return *s;
        }
    }
    return value.empty() ? key : value;
}

void NSBundle::clearStringTableCache() {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    tables_.clear();
}

std::string NSLocalizedString(const std::string& key, const std::string&) {
    return NSBundle::mainBundle()->localizedStringForKey(key, "", "");
}
