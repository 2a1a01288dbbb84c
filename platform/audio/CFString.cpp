#include "platform/audio/CFString.h"

#include <atomic>
#include <utility>

struct OpaqueCFString {
    explicit OpaqueCFString(std::string_view t) : text(t) {}
    std::string text;
    mutable std::atomic<long> references{1};
};

CFStringRef CFStringCreateWithUTF8(std::string_view text) {
    return new OpaqueCFString(text);
}

CFStringRef CFRetain(CFStringRef string) {
    if (string) string->references.fetch_add(1, std::memory_order_relaxed);
    return string;
}

void CFRelease(CFStringRef string) {
    if (!string) return;
    if (string->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete string;
}

std::string CFStringGetUTF8(CFStringRef string) {
    return string ? string->text : std::string();
}

CFStringHolder& CFStringHolder::operator=(CFStringHolder&& other) noexcept {
    if (this != &other) {
        CFRelease(ref_);
        ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
}

CFStringRef* CFStringHolder::out() {
    CFRelease(ref_);
    ref_ = nullptr;
    return &ref_;
}
