#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/foundation/PropertyList.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
  public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "lumbrel-bundle-XXXXXX").string();
        path_ = mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void writePlist(const fs::path& file, const Value& value, PropertyListFormat format) {
    fs::create_directories(file.parent_path());
    auto data = PropertyListSerialization::dataWithPropertyList(value, format);
    ASSERT_TRUE(data.has_value());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data->data()),
              static_cast<std::streamsize>(data->size()));
}

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// Lumbrel.app with Info.plist (binary), resources and two string tables.
fs::path makeBundle(const fs::path& root) {
    fs::path app = root / "Lumbrel.app";
    writePlist(app / "Contents" / "Info.plist",
               Dictionary{{"CFBundleIdentifier", "com.vantorel.Lumbrel"},
                          {"CFBundleShortVersionString", "2.4.1"},
                          {"CFBundleExecutable", "Lumbrel"},
                          {"LSUIElement", true}},
               PropertyListFormat::Binary);
    fs::path res = app / "Contents" / "Resources";
    writeText(res / "icon.png", "png");
    writeText(res / "sounds" / "mute.aiff", "aiff");
    writeText(res / "en.lproj" / "Welcome.html", "<p>hi</p>");
    writeText(res / "Base.lproj" / "Main.nib", "nib");
    writePlist(res / "en.lproj" / "Localizable.strings",
               Dictionary{{"Mute", "Mute microphone"}, {"Quit", "Quit Lumbrel"}},
               PropertyListFormat::XML);
    writePlist(res / "Base.lproj" / "Localizable.strings",
               Dictionary{{"Quit", "Base quit"}, {"OnlyBase", "From Base"}},
               PropertyListFormat::Binary);
    writePlist(res / "en.lproj" / "Menu.strings", Dictionary{{"Settings", "Settings…"}},
               PropertyListFormat::Binary);
    return app;
}

}  // namespace

TEST(Home, OverrideThenEnvironmentThenAFolderOfItsOwn) {
    ::setenv("HOME", "/home/someone", 1);
    ::unsetenv("LUMBREL_HOME");
    sim::clearHomeOverride();
    // Never the real home: the simulated Mac keeps its own folder among the
    // user's data.
    struct Case {
        const char* xdgDataHome;  // nullptr: unset
        const char* lumbrelHome;  // nullptr: unset
        const char* home;
    };
    for (const Case& c : {
             Case{nullptr, nullptr, "/home/someone/.local/share/lumbrel/home"},
             Case{"", "", "/home/someone/.local/share/lumbrel/home"},
             Case{"relative/data", nullptr, "/home/someone/.local/share/lumbrel/home"},
             Case{"/data/someone", nullptr, "/data/someone/lumbrel/home"},
             Case{"/data/someone", "/tmp/lh", "/tmp/lh"},
         }) {
        if (c.xdgDataHome)
            ::setenv("XDG_DATA_HOME", c.xdgDataHome, 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        if (c.lumbrelHome)
            ::setenv("LUMBREL_HOME", c.lumbrelHome, 1);
        else
            ::unsetenv("LUMBREL_HOME");
        EXPECT_EQ(sim::lumbrelHome(), c.home) << (c.xdgDataHome ? c.xdgDataHome : "-") << " "
                                              << (c.lumbrelHome ? c.lumbrelHome : "-");
    }
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("LUMBREL_HOME", "/tmp/lh", 1);
    EXPECT_EQ(sim::lumbrelHome(), "/tmp/lh");
    EXPECT_EQ(NSHomeDirectory(), "/tmp/lh");
    sim::setHomeOverride("/over");
    EXPECT_EQ(sim::lumbrelHome(), "/over");
    {
        sim::ScopedHomeOverride scoped("/scoped");
        EXPECT_EQ(sim::lumbrelHome(), "/scoped");
    }
    EXPECT_EQ(sim::lumbrelHome(), "/over");
    EXPECT_EQ(sim::libraryPath(), "/over/Library");
    EXPECT_EQ(sim::preferencesPath(), "/over/Library/Preferences");
    EXPECT_EQ(sim::applicationSupportPath(), "/over/Library/Application Support");
    EXPECT_EQ(sim::cachesPath(), "/over/Library/Caches");
    sim::clearHomeOverride();
    EXPECT_EQ(sim::lumbrelHome(), "/tmp/lh");
    ::unsetenv("LUMBREL_HOME");
}

TEST(Home, OverrideIsThreadSafe) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                if (t % 2)
                    sim::setHomeOverride("/a" + std::to_string(i));
                else
                    EXPECT_FALSE(sim::preferencesPath().empty());
            }
        });
    for (auto& t : threads) t.join();
    sim::clearHomeOverride();
}

TEST(NSBundle, ReadsInfoAndResources) {
    TempDir tmp;
    auto app = makeBundle(tmp.path());
    auto bundle = NSBundle::bundleWithPath(app.string());
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->bundlePath(), app.string());
    EXPECT_EQ(bundle->bundleIdentifier(), "com.vantorel.Lumbrel");
    EXPECT_EQ(bundle->infoDictionary().size(), 4u);
    const Value* version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(*version, Value("2.4.1"));
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("Missing"), nullptr);
    EXPECT_EQ(bundle->resourcePath(), (app / "Contents" / "Resources").string());
    EXPECT_EQ(bundle->executablePath(), (app / "Contents" / "MacOS" / "Lumbrel").string());

    fs::path res = app / "Contents" / "Resources";
    EXPECT_EQ(bundle->pathForResource("icon", "png"), (res / "icon.png").string());
    EXPECT_EQ(bundle->pathForResource("icon.png", ""), (res / "icon.png").string());
    EXPECT_EQ(bundle->pathForResource("Welcome", "html"),
              (res / "en.lproj" / "Welcome.html").string());
    EXPECT_EQ(bundle->pathForResource("Main", "nib"), (res / "Base.lproj" / "Main.nib").string());
    EXPECT_EQ(bundle->pathForResource("mute", "aiff", "sounds"),
              (res / "sounds" / "mute.aiff").string());
    EXPECT_EQ(bundle->pathForResource("nothing", "png"), std::nullopt);
    EXPECT_EQ(bundle->pathsForResourcesOfType("png"),
              std::vector<std::string>{(res / "icon.png").string()});
}

TEST(NSBundle, MissingPathsAndEmptyBundles) {
    TempDir tmp;
    EXPECT_EQ(NSBundle::bundleWithPath((tmp.path() / "None.app").string()), nullptr);
    auto bare = NSBundle::bundleWithPath(tmp.path().string());
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->bundleIdentifier(), "");
    EXPECT_TRUE(bare->infoDictionary().empty());
    EXPECT_EQ(bare->resourcePath(), std::nullopt);
    EXPECT_EQ(bare->pathForResource("icon", "png"), std::nullopt);
    EXPECT_EQ(bare->localizedStringForKey("Key", "", ""), "Key");

    // An unreadable Info.plist leaves the info dictionary empty.
    writeText(tmp.path() / "Bad.app" / "Contents" / "Info.plist", "not a plist");
    auto bad = NSBundle::bundleWithPath((tmp.path() / "Bad.app").string());
    ASSERT_NE(bad, nullptr);
    EXPECT_TRUE(bad->infoDictionary().empty());
}

TEST(NSBundle, LocalizedStrings) {
    TempDir tmp;
    auto bundle = NSBundle::bundleWithPath(makeBundle(tmp.path()).string());
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->localizedStringForKey("Mute", "", ""), "Mute microphone");
    EXPECT_EQ(bundle->localizedStringForKey("Quit", "", "Localizable"), "Quit Lumbrel");
    EXPECT_EQ(bundle->localizedStringForKey("OnlyBase", "", ""), "From Base");
    EXPECT_EQ(bundle->localizedStringForKey("Settings", "", "Menu"), "Settings…");
    EXPECT_EQ(bundle->localizedStringForKey("Missing", "Fallback", ""), "Fallback");
    EXPECT_EQ(bundle->localizedStringForKey("Missing", "", ""), "Missing");
    EXPECT_EQ(bundle->localizedStringForKey("Mute", "", "NoSuchTable"), "Mute");

    // Tables are cached until the cache is cleared.
    fs::path table = tmp.path() / "Lumbrel.app/Contents/Resources/en.lproj/Localizable.strings";
    writePlist(table, Dictionary{{"Mute", "Changed"}}, PropertyListFormat::XML);
    EXPECT_EQ(bundle->localizedStringForKey("Mute", "", ""), "Mute microphone");
    bundle->clearStringTableCache();
    EXPECT_EQ(bundle->localizedStringForKey("Mute", "", ""), "Changed");
}

TEST(NSBundle, MainBundleResolution) {
    TempDir tmp;
    auto app = makeBundle(tmp.path());

    sim::setMainBundlePath(app.string());
    auto main = NSBundle::mainBundle();
    EXPECT_EQ(main->bundleIdentifier(), "com.vantorel.Lumbrel");
    EXPECT_EQ(NSBundle::mainBundle(), main);  // cached
    EXPECT_EQ(NSLocalizedString("Mute", "the mute item"), "Mute microphone");
    EXPECT_EQ(NSLocalizedString("Unknown"), "Unknown");
    sim::clearMainBundlePath();

    ::setenv("LUMBREL_BUNDLE", app.string().c_str(), 1);
    EXPECT_EQ(NSBundle::mainBundle()->bundlePath(), app.string());
    ::unsetenv("LUMBREL_BUNDLE");

    // No override, no environment: the executable's folder (this test has
    // no Lumbrel.app beside it), as an empty bundle.
    fs::path exeDir = fs::read_symlink("/proc/self/exe").parent_path();
    if (!fs::exists(exeDir / "Lumbrel.app")) {
        auto fallback = NSBundle::mainBundle();
        EXPECT_EQ(fallback->bundlePath(), exeDir.string());
        EXPECT_EQ(fallback->bundleIdentifier(), "");
    }
}

TEST(NSProcessInfo, BasicFacts) {
    auto info = NSProcessInfo::processInfo();
    EXPECT_EQ(info, NSProcessInfo::processInfo());
    EXPECT_EQ(info->processIdentifier(), static_cast<int>(getpid()));
    auto args = info->arguments();
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(fs::path(args[0]).filename(), "platform_bundle_test");
    EXPECT_EQ(info->processName(), "platform_bundle_test");
    ::setenv("LUMBREL_PROBE", "a=b", 1);
    EXPECT_EQ(info->environment()["LUMBREL_PROBE"], "a=b");
    ::unsetenv("LUMBREL_PROBE");
    EXPECT_FALSE(info->hostName().empty());
    EXPECT_GE(info->processorCount(), 1u);
    EXPECT_GT(info->physicalMemory(), 0u);
    EXPECT_GT(info->systemUptime(), 0.0);

    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) seen.insert(info->globallyUniqueString());
    EXPECT_EQ(seen.size(), 100u);
    auto one = *seen.begin();
    EXPECT_NE(one.find("-" + std::to_string(getpid()) + "-"), std::string::npos);
}

TEST(NSProcessInfo, SimulatedOperatingSystemVersion) {
    auto info = NSProcessInfo::processInfo();
    ::unsetenv("LUMBREL_OS_VERSION");
    sim::clearOperatingSystemVersion();
    EXPECT_EQ(info->operatingSystemVersion(), (NSOperatingSystemVersion{13, 0, 0}));
    EXPECT_EQ(info->operatingSystemVersionString().rfind("Version 13.0 (Build ", 0), 0u);

    ::setenv("LUMBREL_OS_VERSION", "12.3", 1);
    EXPECT_EQ(info->operatingSystemVersion(), (NSOperatingSystemVersion{12, 3, 0}));
    ::setenv("LUMBREL_OS_VERSION", "12.3.1", 1);
    EXPECT_EQ(info->operatingSystemVersion(), (NSOperatingSystemVersion{12, 3, 1}));
    EXPECT_EQ(info->operatingSystemVersionString().rfind("Version 12.3.1 (Build ", 0), 0u);
    EXPECT_TRUE(info->isOperatingSystemAtLeastVersion({12, 3, 0}));
    EXPECT_TRUE(info->isOperatingSystemAtLeastVersion({11, 9, 9}));
    EXPECT_FALSE(info->isOperatingSystemAtLeastVersion({12, 4, 0}));
    EXPECT_FALSE(info->isOperatingSystemAtLeastVersion({13, 0, 0}));
    ::setenv("LUMBREL_OS_VERSION", "garbage", 1);
    EXPECT_EQ(info->operatingSystemVersion(), (NSOperatingSystemVersion{13, 0, 0}));

    sim::setOperatingSystemVersion({11, 6, 2});
    EXPECT_EQ(info->operatingSystemVersion(), (NSOperatingSystemVersion{11, 6, 2}));
    sim::clearOperatingSystemVersion();
    ::unsetenv("LUMBREL_OS_VERSION");

    EXPECT_EQ(sim::parseOperatingSystemVersion("14"), (NSOperatingSystemVersion{14, 0, 0}));
    EXPECT_EQ(sim::parseOperatingSystemVersion("1.2.3.4"), std::nullopt);
    EXPECT_EQ(sim::parseOperatingSystemVersion("12."), std::nullopt);
    EXPECT_EQ(sim::parseOperatingSystemVersion(""), std::nullopt);
}

TEST(HostModel, DefaultEnvironmentAndOverride) {
    ::unsetenv("LUMBREL_HOST_MODEL");
    sim::clearHostModel();
    EXPECT_EQ(sim::hostModel(), "Macmini9,1");
    ::setenv("LUMBREL_HOST_MODEL", "MacBookAir10,1", 1);
    EXPECT_EQ(sim::hostModel(), "MacBookAir10,1");
    sim::setHostModel("MacBookPro18,3");
    EXPECT_EQ(sim::hostModel(), "MacBookPro18,3");
    sim::clearHostModel();
    EXPECT_EQ(sim::hostModel(), "MacBookAir10,1");
    ::unsetenv("LUMBREL_HOST_MODEL");
}
