#pragma once
// The platform's immutable string reference, as far as the audio properties
// need it: names and UIDs travel as an 8-byte reference. A reference that a
// call creates or copies (the audio property reads included) belongs to the
// caller, who releases it with CFRelease. Reference counts are atomic, so a
// string may be shared between threads.

#include <string>
#include <string_view>

struct OpaqueCFString;
using CFStringRef = const OpaqueCFString*;
static_assert(sizeof(CFStringRef) == 8);

// A new string (reference count 1).
CFStringRef CFStringCreateWithUTF8(std::string_view text);
CFStringRef CFRetain(CFStringRef string);
void CFRelease(CFStringRef string);  // null is allowed and ignored
// The UTF-8 text; empty for null.
std::string CFStringGetUTF8(CFStringRef string);

// Owns one reference; the rest of the code never sees a bare reference.
class CFStringHolder {
  public:
    CFStringHolder() = default;
    explicit CFStringHolder(std::string_view text) : ref_(CFStringCreateWithUTF8(text)) {}
    // Takes over a reference the caller owns.
    static CFStringHolder adopt(CFStringRef ref) {
        CFStringHolder h;
        h.ref_ = ref;
        return h;
    }
    CFStringHolder(const CFStringHolder&) = delete;
    CFStringHolder& operator=(const CFStringHolder&) = delete;
    CFStringHolder(CFStringHolder&& other) noexcept : ref_(other.ref_) { other.ref_ = nullptr; }
    CFStringHolder& operator=(CFStringHolder&& other) noexcept;
    ~CFStringHolder() { CFRelease(ref_); }

    CFStringRef get() const { return ref_; }
    // Where a call writes a reference it creates (releases the old one first).
    CFStringRef* out();
    std::string str() const { return CFStringGetUTF8(ref_); }

  private:
    CFStringRef ref_ = nullptr;
};
