#include "services/core/RZRServiceLibraries.h"

#include <mutex>

#include "services/core/RZRCoreDiagnostics.h"
#include "services/core/RZRInstallations.h"
#include "services/core/VUVEzu.h"
#include "services/core/VUVEzuTesting.h"

namespace {

struct ListState {
    std::mutex mutex;
    bool registered = false;
    std::optional<std::vector<std::function<void()>>> override;
};

ListState& list() {
    static auto* state = new ListState;
    return *state;
}

void registerListedLibraries() {
    // One line per library: VUVEzu::registerInternalLibrary(RZRLibrary::of<T>("T"), "name");
    RZRInstallations::registerLibrary();
    RZRRegisterCoreDiagnostics();
}

}  // namespace

void RZRRegisterServiceLibraries() {
    auto& s = list();
    std::unique_lock lock(s.mutex);
    if (s.registered) return;
    s.registered = true;
    auto entries = s.override;
    lock.unlock();
    if (entries) {
        for (const auto& entry : *entries) entry();
    } else {
        registerListedLibraries();
    }
}

namespace sim {

void rearmServiceLibrariesForTesting() {
    auto& s = list();
    std::lock_guard lock(s.mutex);
    s.registered = false;
}

void setServiceLibrariesForTesting(std::optional<std::vector<std::function<void()>>> entries) {
    auto& s = list();
    std::lock_guard lock(s.mutex);
    s.override = std::move(entries);
    s.registered = false;
}

}  // namespace sim
