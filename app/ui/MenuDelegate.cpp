#include "app/ui/MenuDelegate.h"

#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSStatusBar.h"

Class MenuDelegate::runtimeClass() {
    static Class cls = ClassBuilder<MenuDelegate>("Lumbrel.MenuDelegate")
                           .method("menuDidClose:", &MenuDelegate::menuDidClose)
                           .conformsTo(objc_getProtocol("NSMenuDelegate"))
                           .registerClass();
    return cls;
}

MenuDelegate::MenuDelegate(std::weak_ptr<NSStatusItem> statusItem)
    : RuntimeObject(runtimeClass()), statusItem_(std::move(statusItem)) {}

void MenuDelegate::menuDidClose(const id&) {
    auto item = statusItem_.lock();
    if (!item) return;
    if (auto button = item->button()) button->setMenu(nullptr);
}
