#pragma once
// Application bundles: <Name>.app/Contents/Info.plist and
// <Name>.app/Contents/Resources/..., localized resources in
// Resources/<lang>.lproj. Our .strings tables are XML or binary property
// lists holding one dictionary.
//
// The main bundle is, in this order: the path given to
// sim::setMainBundlePath, $LUMBREL_BUNDLE, <folder of the executable>/
// Lumbrel.app when it exists, else the executable's folder itself (a bundle
// with no Info.plist: empty info dictionary and bundle identifier).
//
// Localization looks in the preferred language ("en") and then "Base";
// resources are looked up in Resources first, then in those .lproj folders.
// Thread-safe; parsed string tables are cached per bundle.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class NSBundle : public NSObject {
  public:
    static std::shared_ptr<NSBundle> mainBundle();
    // The bundle at path, or null when no folder is there.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);

    std::string className() const override { return "NSBundle"; }
    std::string description() const override;

    const std::string& bundlePath() const { return path_; }
    // <bundle>/Contents/Resources when that folder exists.
    std::optional<std::string> resourcePath() const;
    // <bundle>/Contents/MacOS/<CFBundleExecutable> when the key is set.
    std::optional<std::string> executablePath() const;

    // Info.plist's CFBundleIdentifier; empty when there is none.
    std::string bundleIdentifier() const;
    // Info.plist as read when the bundle was opened (empty when missing or
    // unreadable).
    const Dictionary& infoDictionary() const { return info_; }
    // A value of the info dictionary, or null when absent.
    const Value* objectForInfoDictionaryKey(const std::string& key) const;

    // The preferred language and the fallbacks used for lookups, in order.
    std::vector<std::string> preferredLocalizations() const { return {"en", "Base"}; }

    // Path of <name>.<type> (type may be empty, then name is the whole file
    // name, possibly with its extension) in Resources[/subdirectory], then in
    // Resources/en.lproj and Resources/Base.lproj. Nullopt when not found.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                               const std::string& subdirectory = "") const;
    // Every file with this extension (all files when empty) in Resources
    // [/subdirectory], sorted by name.
    std::vector<std::string> pathsForResourcesOfType(const std::string& type,
                                                     const std::string& subdirectory = "") const;

    // The localized string of `key` in table `table` ("Localizable" when
    // empty). A missing key gives `value` when non-empty, else the key.
    std::string localizedStringForKey(const std::string& key, const std::string& value,
                                      const std::string& table) const;

    // Drops cached string tables (after a test rewrites a .strings file).
    void clearStringTableCache();

    explicit NSBundle(std::string path);

  private:
    std::shared_ptr<const Dictionary> stringTable(const std::string& table) const;

    std::string path_;
    Dictionary info_;
    mutable std::mutex cacheMutex_;
    // table name -> merged dictionary (en over Base over unlocalized).
    mutable std::map<std::string, std::shared_ptr<const Dictionary>> tables_;
};

// The platform's localization macro: the main bundle's Localizable table.
std::string NSLocalizedString(const std::string& key, const std::string& comment = "");

namespace sim {
// Tests: use this folder as the main bundle (an empty path clears it).
void setMainBundlePath(const std::string& path);
void clearMainBundlePath();
// The path the main bundle would be opened from now.
std::string mainBundlePath();
}  // namespace sim
