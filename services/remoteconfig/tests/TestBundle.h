#pragma once
// A main bundle for one test: <home>/<name>.app with the given Info.plist.

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/PropertyList.h"

inline void useTestBundle(const std::filesystem::path& home, const std::string& name,
                          const Dictionary& info) {
    auto bundle = home / (name + ".app");
    std::filesystem::create_directories(bundle / "Contents/Resources");
    auto data =
        PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
    std::ofstream(bundle / "Contents/Info.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(data->data()), static_cast<long>(data->size()));
    sim::setMainBundlePath(bundle.string());
}
