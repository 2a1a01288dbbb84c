#include "platform/appkit/NSImage.h"

#include "platform/bundle/NSBundle.h"

std::shared_ptr<NSImage> NSImage::imageNamed(const std::string& name) {
    auto bundle = NSBundle::mainBundle();
    for (const char* type : {"png", "pdf", "tiff"})
        if (bundle->pathForResource(name, type)) return std::make_shared<NSImage>(name);
    return nullptr;
}
