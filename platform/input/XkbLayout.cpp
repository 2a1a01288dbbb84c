#include "platform/input/XkbLayout.h"

#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <map>
#include <mutex>

namespace sim::detail {
namespace {

// Mac virtual key codes on the ANSI keyboard and the physical keys XKB names
// for the same positions. Code 10, the ISO key, is the one between the left
// shift key and Z.
constexpr std::array<const char*, 128> kKeyNames = [] {
    std::array<const char*, 128> names{};
    const std::pair<int, const char*> table[] = {
        {0, "AC01"},   {1, "AC02"},   {2, "AC03"},   {3, "AC04"},   {4, "AC06"},   {5, "AC05"},
        {6, "AB01"},   {7, "AB02"},   {8, "AB03"},   {9, "AB04"},   {10, "LSGT"},  {11, "AB05"},
        {12, "AD01"},  {13, "AD02"},  {14, "AD03"},  {15, "AD04"},  {16, "AD06"},  {17, "AD05"},
        {18, "AE01"},  {19, "AE02"},  {20, "AE03"},  {21, "AE04"},  {22, "AE06"},  {23, "AE05"},
        {24, "AE12"},  {25, "AE09"},  {26, "AE07"},  {27, "AE11"},  {28, "AE08"},  {29, "AE10"},
        {30, "AD12"},  {31, "AD09"},  {32, "AD07"},  {33, "AD11"},  {34, "AD08"},  {35, "AD10"},
        {36, "RTRN"},  {37, "AC09"},  {38, "AC07"},  {39, "AC11"},  {40, "AC08"},  {41, "AC10"},
        {42, "BKSL"},  {43, "AB08"},  {44, "AB10"},  {45, "AB06"},  {46, "AB07"},  {47, "AB09"},
        {48, "TAB"},   {49, "SPCE"},  {50, "TLDE"},  {51, "BKSP"},  {53, "ESC"},   {54, "RWIN"},
        {55, "LWIN"},  {56, "LFSH"},  {57, "CAPS"},  {58, "LALT"},  {59, "LCTL"},  {60, "RTSH"},
        {61, "RALT"},  {62, "RCTL"},  {64, "FK17"},  {65, "KPDL"},  {67, "KPMU"},  {69, "KPAD"},
        {71, "NMLK"},  {72, "VOL+"},  {73, "VOL-"},  {74, "MUTE"},  {75, "KPDV"},  {76, "KPEN"},
        {78, "KPSU"},  {79, "FK18"},  {80, "FK19"},  {81, "KPEQ"},  {82, "KP0"},   {83, "KP1"},
        {84, "KP2"},   {85, "KP3"},   {86, "KP4"},   {87, "KP5"},   {88, "KP6"},   {89, "KP7"},
        {90, "FK20"},  {91, "KP8"},   {92, "KP9"},   {93, "AE13"},  {94, "AB11"},  {95, "KPCO"},
        {96, "FK05"},  {97, "FK06"},  {98, "FK07"},  {99, "FK03"},  {100, "FK08"}, {101, "FK09"},
        {102, "HJCV"}, {103, "FK11"}, {104, "HNGL"}, {105, "FK13"}, {106, "FK16"}, {107, "FK14"},
        {109, "FK10"}, {110, "COMP"}, {111, "FK12"}, {113, "FK15"}, {114, "INS"},  {115, "HOME"},
        {116, "PGUP"}, {117, "DELE"}, {118, "FK04"}, {119, "END"},  {120, "FK02"}, {121, "PGDN"},
        {122, "FK01"}, {123, "LEFT"}, {124, "RGHT"}, {125, "DOWN"}, {126, "UP"},
    };
    for (const auto& [code, name] : table) names[code] = name;
    return names;
}();

xkb_context* context() {
    // Only the system's XKB data: the user's environment must not change
    // what a layout types.
    static xkb_context* ctx = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    return ctx;
}

std::mutex& xkbMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

struct XkbLayout::Impl {
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;
    xkb_mod_mask_t shift = 0, lock = 0, level3 = 0, numLock = 0;
    std::array<xkb_keycode_t, 128> keycodes{};

    ~Impl() {
        if (state) xkb_state_unref(state);
        if (keymap) xkb_keymap_unref(keymap);
    }
};

XkbLayout::XkbLayout(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
XkbLayout::~XkbLayout() = default;

std::shared_ptr<XkbLayout> XkbLayout::load(const std::string& layout, const std::string& variant) {
    std::lock_guard lock(xkbMutex());
    static std::map<std::pair<std::string, std::string>, std::shared_ptr<XkbLayout>> cache;
    auto key = std::make_pair(layout, variant);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (!context()) return nullptr;

    xkb_rule_names names{};
    names.rules = "evdev";
    names.model = "pc105";
    names.layout = layout.c_str();
    names.variant = variant.c_str();
    names.options = "";
    auto impl = std::make_unique<Impl>();
    impl->keymap = xkb_keymap_new_from_names(context(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!impl->keymap) return cache[key] = nullptr;
    impl->state = xkb_state_new(impl->keymap);
    auto mask = [&](const char* name) -> xkb_mod_mask_t {
        xkb_mod_index_t index = xkb_keymap_mod_get_index(impl->keymap, name);
        return index == XKB_MOD_INVALID ? 0 : (xkb_mod_mask_t{1} << index);
    };
    impl->shift = mask(XKB_MOD_NAME_SHIFT);
    impl->lock = mask(XKB_MOD_NAME_CAPS);
    impl->level3 = mask("Mod5");
    impl->numLock = mask(XKB_MOD_NAME_NUM);
    for (std::size_t code = 0; code < kKeyNames.size(); ++code)
        if (kKeyNames[code])
            impl->keycodes[code] = xkb_keymap_key_by_name(impl->keymap, kKeyNames[code]);
    auto result = std::make_shared<XkbLayout>(std::move(impl));
    cache[key] = result;
    return result;
}

std::uint32_t XkbLayout::keysym(std::uint16_t keyCode, bool shift, bool capsLock, bool option) {
    if (keyCode >= impl_->keycodes.size() || impl_->keycodes[keyCode] == XKB_KEYCODE_INVALID)
        return 0;
    std::lock_guard lock(xkbMutex());
    const xkb_mod_mask_t depressed = (shift ? impl_->shift : 0) | (option ? impl_->level3 : 0);
    // The keypad always types digits, as on the ANSI keyboard.
    const xkb_mod_mask_t locked = impl_->numLock | (capsLock ? impl_->lock : 0);
    xkb_state_update_mask(impl_->state, depressed, 0, locked, 0, 0, 0);
    return xkb_state_key_get_one_sym(impl_->state, impl_->keycodes[keyCode]);
}

bool isDeadKeysym(std::uint32_t keysym) {
    return keysym >= XKB_KEY_dead_grave && keysym <= XKB_KEY_dead_greek;
}

std::u32string keysymText(std::uint32_t keysym) {
    // The accents that dead keys show on their own.
    static const std::map<std::uint32_t, char32_t> spacing{
        {XKB_KEY_dead_grave, U'`'},          {XKB_KEY_dead_acute, U'\u00B4'},
        {XKB_KEY_dead_circumflex, U'^'},     {XKB_KEY_dead_tilde, U'~'},
        {XKB_KEY_dead_macron, U'\u00AF'},    {XKB_KEY_dead_breve, U'\u02D8'},
        {XKB_KEY_dead_abovedot, U'\u02D9'},  {XKB_KEY_dead_diaeresis, U'\u00A8'},
        {XKB_KEY_dead_abovering, U'\u02DA'}, {XKB_KEY_dead_doubleacute, U'\u02DD'},
        {XKB_KEY_dead_caron, U'\u02C7'},     {XKB_KEY_dead_cedilla, U'\u00B8'},
        {XKB_KEY_dead_ogonek, U'\u02DB'},
    };
    if (isDeadKeysym(keysym)) {
        auto it = spacing.find(keysym);
        return it == spacing.end() ? std::u32string() : std::u32string(1, it->second);
    }
    const char32_t c = xkb_keysym_to_utf32(keysym);
    return c ? std::u32string(1, c) : std::u32string();
}

std::optional<std::u32string> composeDeadKey(std::uint32_t deadKeysym, std::uint32_t keysym) {
    std::lock_guard lock(xkbMutex());
    static xkb_compose_state* state = []() -> xkb_compose_state* {
        if (!context()) return nullptr;
        // The system table, never the user's own compose file.
        FILE* file = std::fopen("/usr/share/X11/locale/en_US.UTF-8/Compose", "r");
        if (!file) return nullptr;
        xkb_compose_table* table = xkb_compose_table_new_from_file(context(), file, "en_US.UTF-8",
                                                                   XKB_COMPOSE_FORMAT_TEXT_V1,
                                                                   XKB_COMPOSE_COMPILE_NO_FLAGS);
        std::fclose(file);
        if (!table) return nullptr;
        return xkb_compose_state_new(table, XKB_COMPOSE_STATE_NO_FLAGS);
    }();
    if (!state) return std::nullopt;
    xkb_compose_state_reset(state);
    xkb_compose_state_feed(state, deadKeysym);
    xkb_compose_state_feed(state, keysym);
    if (xkb_compose_state_get_status(state) != XKB_COMPOSE_COMPOSED) return std::nullopt;
    const char32_t c = xkb_keysym_to_utf32(xkb_compose_state_get_one_sym(state));
    if (!c) return std::nullopt;
    return std::u32string(1, c);
}

}  // namespace sim::detail
