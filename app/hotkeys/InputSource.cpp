#include "app/hotkeys/InputSource.h"

#include <functional>

namespace {

std::optional<std::string> stringProperty(const TISInputSourceRef& source, const char* key) {
    auto value = TISGetInputSourceProperty(source, key);
    return value ? value->asString() : std::nullopt;
}

bool boolProperty(const TISInputSourceRef& source, const char* key) {
    auto value = TISGetInputSourceProperty(source, key);
    return value && value->asBool().value_or(false);
}

}  // namespace

std::shared_ptr<InputSource> InputSource::init(TISInputSourceRef source) {
    if (!source) return nullptr;
    auto id = stringProperty(source, kTISPropertyInputSourceID);
    if (!id) return nullptr;
    return std::make_shared<InputSource>(std::move(source), std::move(*id));
}

InputSource::InputSource(TISInputSourceRef source, std::string id)
    : source_(std::move(source)), id_(std::move(id)) {
    modeID_ = stringProperty(source_, kTISPropertyInputModeID);
    isASCIICapable_ = boolProperty(source_, kTISPropertyInputSourceIsASCIICapable);
    isEnableCapable_ = boolProperty(source_, kTISPropertyInputSourceIsEnableCapable);
    isSelectCapable_ = boolProperty(source_, kTISPropertyInputSourceIsSelectCapable);
    isEnabled_ = boolProperty(source_, kTISPropertyInputSourceIsEnabled);
    isSelected_ = boolProperty(source_, kTISPropertyInputSourceIsSelected);
    localizedName_ = stringProperty(source_, kTISPropertyLocalizedName);
}

std::size_t InputSource::hash() const {
    std::string fed = id_;
    if (modeID_) {
        fed.push_back('\1');
        fed += *modeID_;
    } else {
        fed.push_back('\0');
    }
    return std::hash<std::string>{}(fed);
}
