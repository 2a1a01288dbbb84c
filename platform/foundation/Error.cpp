#include "platform/foundation/Error.h"

#include <execinfo.h>

NSError NSError::withDescription(std::string domain, long long code, std::string text) {
    Dictionary info;
    info.set(NSLocalizedDescriptionKey, Value(std::move(text)));
    return NSError(std::move(domain), code, std::move(info));
}

std::string NSError::localizedDescription() const {
    if (const Value* v = userInfo.find(NSLocalizedDescriptionKey))
        if (auto s = v->asString()) return *s;
    return "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
}

std::string NSError::description() const {
    std::string out = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                      localizedDescription() + "\"";
    // The platform leaves the UserInfo part out when there is none.
    if (!userInfo.empty()) {
        out += " UserInfo={";
        bool first = true;
        for (const auto& [key, value] : userInfo) {
            if (!first) out += ", ";
            first = false;
            out += key + "=";
            if (auto s = value.asString())
                out += *s;
            else
                out += value.description();
        }
        out += "}";
    }
    return out;
}

__attribute__((noinline)) std::vector<std::uintptr_t> NSException::captureCallStack() {
    constexpr int kMaxFrames = 128;
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    std::vector<std::uintptr_t> addresses;
    // The first frame is this function's own.
    for (int i = 1; i < count; ++i)
        addresses.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    return addresses;
}
