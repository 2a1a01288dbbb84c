#include "app/ui/ProductLinks.h"

#include "app/mute/LocalizedText.h"
#include "platform/appkit/NSWorkspace.h"

namespace {
constexpr const char* productSite = "https://lumbrel.vantorel.com";
constexpr const char* makerSite = "https://vantorel.com/";
}  // namespace

std::string productPageURL(const std::string& path) {
    return std::string(productSite) + path + "?source=macApp";
}

std::string makerSiteURL() {
    return makerSite;
}

void openLink(const std::string& url) {
    NSWorkspace::sharedWorkspace()->openURL(url);
}

std::string localizedTemplate(const std::string& key, const std::string& argument) {
    return fillPlaceholders(localizedText(key, key), {argument});
}
