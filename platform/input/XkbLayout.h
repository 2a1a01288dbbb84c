#pragma once
// Keyboard layouts from the system's XKB data (not a public header): the
// keysym that a key types on the ANSI keyboard under one layout, and dead-key
// composition from the system's compose table.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sim::detail {

class XkbLayout {
  public:
    // Compiled once per layout and variant and kept; null when the XKB data
    // has no such layout.
    static std::shared_ptr<XkbLayout> load(const std::string& layout, const std::string& variant);

    // 0 when the key code has no key or the key types nothing.
    std::uint32_t keysym(std::uint16_t keyCode, bool shift, bool capsLock, bool option);

    struct Impl;
    explicit XkbLayout(std::unique_ptr<Impl> impl);
    ~XkbLayout();

  private:
    std::unique_ptr<Impl> impl_;
};

bool isDeadKeysym(std::uint32_t keysym);
// The text a keysym types; a dead key gives its spacing accent. Empty for
// keysyms that type nothing.
std::u32string keysymText(std::uint32_t keysym);
// The character that the dead key followed by the keysym composes, or none.
std::optional<std::u32string> composeDeadKey(std::uint32_t deadKeysym, std::uint32_t keysym);

}  // namespace sim::detail
