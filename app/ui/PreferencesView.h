#pragma once
// The preferences page: one column of six sections (keyboard shortcut,
// push-to-talk, menu-bar icon, notifications, startup, privacy), centred in
// the window. It keeps no state of its own.

#include "platform/swiftui/View.h"

struct PreferencesView {
    View body() const;
};
