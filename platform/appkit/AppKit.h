#pragma once
// The headless application framework, as far as the application calls it:
// the application object and its delegate, appearance, the status bar,
// menus, screens, windows and views, colours, modal alerts, the workspace
// and named images. Everything
// here is used on the main thread.

#include "platform/appkit/Geometry.h"
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSAppearance.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSKeyValueObservation.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/appkit/NSView.h"
#include "platform/appkit/NSWindow.h"
#include "platform/appkit/NSWorkspace.h"
