#include "app/mute/StoredShortcut.h"

#include <unicode/utf8.h>

#include "app/settings/AppSettings.h"
#include "platform/iokit/IOKit.h"

namespace {

bool isUTF8(const Data& bytes) {
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(bytes.size());
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(bytes.data(), i, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<KeyCombo> storedKeyCombo() {
    if (!Defaults::get(Defaults::Keys::keyEnabled())) return nullptr;
    auto modifiers = Defaults::get(Defaults::Keys::keyModifiers());
    if (Defaults::get(Defaults::Keys::keyDoubleModifiers())) {
        if (auto combo = KeyCombo::initWithDoubledCarbonModifiers(modifiers)) return combo;
    }
    auto normalised = carbonModifiers(cocoaModifierFlags(modifiers), false);
    return KeyCombo::initWithQWERTYKeyCodeCarbon(Defaults::get(Defaults::Keys::keyCode()),
                                                 normalised);
}

std::optional<std::string> macModelName() {
    io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                                       IOServiceMatching("IOPlatformExpertDevice"));
    std::optional<std::string> name;
    if (service != IO_OBJECT_NULL) {
        auto model = IORegistryEntryCreateCFProperty(service, "model", kCFAllocatorDefault, 0);
        if (model && model->isData() && isUTF8(*model->asData())) {
            const Data& bytes = *model->asData();
            std::string text(bytes.begin(), bytes.end());
            name = text.substr(0, text.find('\0'));
        }
        IOObjectRelease(service);
    }
    return name;
}
