#pragma once
// A snapshot of one text input source (a keyboard layout or an input
// method), read once from the platform, with the platform reference it was
// read from. Two snapshots are equal when their identifier and input mode
// are; the flags and the name take no part.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/input/TextInputSources.h"

class InputSource {
  public:
    // Null when the source is null or reports no identifier.
    static std::shared_ptr<InputSource> init(TISInputSourceRef source);

    const std::string& id() const { return id_; }
    const std::optional<std::string>& modeID() const { return modeID_; }
    bool isASCIICapable() const { return isASCIICapable_; }
    bool isEnableCapable() const { return isEnableCapable_; }
    bool isSelectCapable() const { return isSelectCapable_; }
    bool isEnabled() const { return isEnabled_; }
    bool isSelected() const { return isSelected_; }
    const std::optional<std::string>& localizedName() const { return localizedName_; }
    const TISInputSourceRef& source() const { return source_; }

    bool operator==(const InputSource& other) const {
        return id_ == other.id_ && modeID_ == other.modeID_;
    }
    std::size_t hash() const;

    // For maps keyed by shared snapshots.
    struct Hash {
        std::size_t operator()(const std::shared_ptr<InputSource>& s) const { return s->hash(); }
    };
    struct Equal {
        bool operator()(const std::shared_ptr<InputSource>& a,
                        const std::shared_ptr<InputSource>& b) const {
            return *a == *b;
        }
    };

    InputSource(TISInputSourceRef source, std::string id);

  private:
    TISInputSourceRef source_;
    std::string id_;
    std::optional<std::string> modeID_;
    bool isASCIICapable_ = false;
    bool isEnableCapable_ = false;
    bool isSelectCapable_ = false;
    bool isEnabled_ = false;
    bool isSelected_ = false;
    std::optional<std::string> localizedName_;
};
