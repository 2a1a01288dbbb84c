#include "platform/servicemanagement/SMLoginItem.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <utility>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"

namespace fs = std::filesystem;

namespace {

struct State {
    std::mutex mutex;
    bool failNext = false;
    bool refuseAll = false;
    std::string helperProgram;
    std::vector<sim::LoginItemRequest> requests;
};

State& state() {
    static auto* s = new State();
    return *s;
}

// A file name of its own (no path separators, not "." or "..") that is
// also safe on a line of the entry: a control character such as a newline
// would add lines of its own to it.
bool isUsableIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier == "." || identifier == "..") return false;
    return std::none_of(identifier.begin(), identifier.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || byte < 0x20 || byte == 0x7f;
    });
}

std::string lastComponent(const std::string& identifier) {
    auto dot = identifier.rfind('.');
    return dot == std::string::npos ? identifier : identifier.substr(dot + 1);
}

std::string programName(const std::string& identifier) {
    std::string name;
    for (char c : lastComponent(identifier))
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string displayName(const std::string& identifier) {
    std::string name = lastComponent(identifier);
    for (char& c : name)
        if (c == '-') c = ' ';
    return name;
}

std::string helperProgram(const std::string& identifier) {
    {
        std::lock_guard lock(state().mutex);
        if (!state().helperProgram.empty()) return state().helperProgram;
    }
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        fs::path beside = self.parent_path() / programName(identifier);
        if (fs::is_regular_file(beside, error) && ::access(beside.c_str(), X_OK) == 0)
            return beside.string();
    }
    return programName(identifier);
}

// The Exec key's quoting: a program path with reserved characters goes in
// double quotes, with ", `, $ and \ escaped.
std::string quoteExec(const std::string& program) {
    if (program.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) return program;
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string entryText(const std::string& identifier) {
    std::string exec = quoteExec(helperProgram(identifier));
    // The desktop-entry format escapes backslashes once more in string values.
    std::string escaped;
    for (char c : exec) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           displayName(identifier) +
           "\n"
           "Exec=" +
           escaped +
           "\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-Lumbrel-BundleIdentifier=" +
           identifier + "\n";
}

bool apply(const std::string& identifier, bool enabled) {
    {
        std::lock_guard lock(state().mutex);
        if (std::exchange(state().failNext, false) || state().refuseAll) return false;
    }
    if (!isUsableIdentifier(identifier)) return false;
    fs::path entry = sim::LoginItems::autostartEntryPath(identifier);
    if (!enabled) {
        std::error_code error;
        if (!fs::exists(fs::symlink_status(entry, error))) return true;
        return sim::FileSystem::removeFile(entry);
    }
    std::string text = entryText(identifier);
    return sim::FileSystem::writeFileAtomically(entry, Data(text.begin(), text.end()));
}

}  // namespace

bool SMLoginItemSetEnabled(const std::string& bundleIdentifier, bool enabled) {
    bool succeeded = apply(bundleIdentifier, enabled);
    std::lock_guard lock(state().mutex);
    state().requests.push_back({bundleIdentifier, enabled, succeeded});
    return succeeded;
}

namespace sim {

void LoginItems::failNext() {
    std::lock_guard lock(state().mutex);
    state().failNext = true;
}

void LoginItems::refuseAll(bool refuse) {
    std::lock_guard lock(state().mutex);
    state().refuseAll = refuse;
}

bool LoginItems::isEnabled(const std::string& bundleIdentifier) {
    if (!isUsableIdentifier(bundleIdentifier)) return false;
    std::error_code error;
    return fs::is_regular_file(autostartEntryPath(bundleIdentifier), error);
}

std::string LoginItems::autostartEntryPath(const std::string& bundleIdentifier) {
    return (fs::path(lumbrelHome()) / ".config" / "autostart" / (bundleIdentifier + ".desktop"))
        .string();
}

void LoginItems::setHelperProgram(const std::string& path) {
    std::lock_guard lock(state().mutex);
    state().helperProgram = path;
}

std::vector<LoginItemRequest> LoginItems::requests() {
    std::lock_guard lock(state().mutex);
    return state().requests;
}

void LoginItems::reset() {
    std::lock_guard lock(state().mutex);
    state().failNext = false;
    state().refuseAll = false;
    state().helperProgram.clear();
    state().requests.clear();
}

}  // namespace sim
