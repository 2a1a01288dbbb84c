#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/defaults/NSUserDefaults.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

namespace fs = std::filesystem;

TEST(ExtensionsTest, Digests) {
    EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(apm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(apm_MD5String("\xff\xfe"), std::nullopt);
    struct Case {
        Data bytes;
        int64_t bits;
    } cases[] = {
        {{}, 0},
        {{0x01, 0x02}, 258},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8}, 0x0102030405060708LL},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(apm_64LeastSignificantBits(c.bytes), c.bits);
    // Bytes 8 to 15 of the digest of "abc": d6 96 3f 7d 28 e1 7f 72.
    EXPECT_EQ(apm_64LSBMD5(Data{'a', 'b', 'c'}), static_cast<int64_t>(0xd6963f7d28e17f72ULL));
}

TEST(ExtensionsTest, CodePointLengths) {
    struct Case {
        const char* text;
        size_t length;
    } cases[] = {{"", 0},
                 {"abc", 3},
                 {"\xC3\xA9", 1},
                 {"\xF0\x9F\x98\x80", 1},
                 {"a\xF0\x9F\x98\x80\xE2\x82\xAC", 3}};
    for (const auto& c : cases) EXPECT_EQ(apm_UTF32Length(c.text), c.length) << c.text;

    uint8_t buffer[12] = {};
    apm_getUTF32Bytes("a\xF0\x9F\x98\x80z", buffer, 10);
    const uint8_t expected[12] = {'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(buffer, expected, sizeof buffer));
}

TEST(ExtensionsTest, QueryStrings) {
    auto parsed = apm_dictionaryWithHttpArgumentsString("a=1&a=2&&b");
    EXPECT_EQ(parsed, (Dictionary{{"a", "1"}, {"b", ""}}));
    EXPECT_EQ(apm_stringByUnescapingFromURLArgument("x+y%20z"), "x y z");
    EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%E2%82%AC"), "\xE2\x82\xAC");
    for (const char* bad : {"%", "%4", "%zz", "%ff"}) {
        EXPECT_EQ(apm_stringByUnescapingFromURLArgument(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(apm_queryString(Dictionary{{"k y", "v\xC3\xA9"}, {"n", 3}}), "k%20y=v%C3%A9&n=3");
}

class FileUtilsTest : public ::testing::Test {
  protected:
    static void write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    MeasurementTempHome home;
};

TEST_F(FileUtilsTest, Paths) {
    auto dir = (home.path() / "Library/Application Support/Zevera/Measurement").string();
    EXPECT_EQ(APMMeasurementDirectoryPath("db.sql"), dir + "/db.sql");
    EXPECT_EQ(APMMeasurementPlistPath("s"), dir + "/s.plist");
    EXPECT_EQ(APMMeasurementPlistPath("s.plist"), dir + "/s.plist");
    EXPECT_EQ(APMPreferencesPlistPath("s.plist"),
              (home.path() / "Library/Preferences/s.plist.plist").string());
    EXPECT_EQ(APMMeasurementDirectoryPath(""), "");
    EXPECT_EQ(APMPreferencesPlistPath(""), "");
}

TEST_F(FileUtilsTest, MoveFile) {
    std::string a = (home.path() / "a").string(), b = (home.path() / "sub/b").string();
    EXPECT_FALSE(APMMoveFile("", b, false));
    EXPECT_TRUE(APMMoveFile(a, b, false));  // nothing to move
    write(a, "one");
    EXPECT_TRUE(APMMoveFile(a, b, false));
    EXPECT_EQ(read(b), "one");
    write(a, "two");
    EXPECT_TRUE(APMMoveFile(a, b, false));  // source dropped, destination kept
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(read(b), "one");
    write(a, "three");
    EXPECT_TRUE(APMMoveFile(a, b, true));
    EXPECT_EQ(read(b), "three");
    fs::create_directories(home.path() / "dir");
    write(a, "four");
    EXPECT_FALSE(APMMoveFile(a, (home.path() / "dir").string(), true));
    EXPECT_FALSE(APMMoveFile((home.path() / "dir").string(), b, true));

    NSError error;
    EXPECT_FALSE(APMRemoveFileAtPath("", &error));
    EXPECT_EQ(error.localizedDescription(), "Received empty path for deleting file");
    EXPECT_TRUE(APMRemoveFileAtPath(b));
    EXPECT_FALSE(fs::exists(b));
}

TEST_F(FileUtilsTest, SuiteMovesBetweenDefaultsAndMeasurementDirectory) {
    auto suite = NSUserDefaults::initWithSuiteName("com.test.suite");
    suite->setObject(Value("v"), "k");
    ASSERT_TRUE(fs::exists(APMPreferencesPlistPath("com.test.suite")));

    EXPECT_TRUE(APMRemoveUserDefaultsSuite("com.test.suite"));
    EXPECT_FALSE(fs::exists(APMPreferencesPlistPath("com.test.suite")));
    EXPECT_TRUE(fs::exists(APMMeasurementPlistPath("com.test.suite")));
    EXPECT_FALSE(suite->objectForKey("k"));

    EXPECT_TRUE(APMRestoreUserDefaultsSuite("com.test.suite"));
    EXPECT_FALSE(fs::exists(APMMeasurementPlistPath("com.test.suite")));
    EXPECT_EQ(suite->objectForKey("k"), Value("v"));
    NSUserDefaults::resetForTesting();
    EXPECT_EQ(suite->objectForKey("k"), Value("v"));

    // No preferences file: still a success, and the domain is dropped.
    EXPECT_TRUE(APMRemoveUserDefaultsSuite("com.test.other"));
    EXPECT_FALSE(APMRemoveUserDefaultsSuite(""));
    EXPECT_FALSE(APMRestoreUserDefaultsSuite(""));
}

}  // namespace
