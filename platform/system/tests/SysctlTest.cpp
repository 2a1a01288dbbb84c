#include "platform/system/Sysctl.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/Clock.h"

namespace {

std::string readText(const char* name) {
    std::size_t size = 0;
    if (sysctlbyname(name, nullptr, &size, nullptr, 0) != 0) return "<error>";
    std::vector<char> buffer(size);
    if (sysctlbyname(name, buffer.data(), &size, nullptr, 0) != 0) return "<error>";
    return std::string(buffer.data());
}

class SysctlTest : public ::testing::Test {
  protected:
    void TearDown() override {
        sim::clearSysctlOverrides();
        sim::clearHostModel();
        sim::clearOperatingSystemVersion();
        sim::setMainExecutableCryptId(std::nullopt);
    }
};

TEST_F(SysctlTest, TextNamesFollowTheSimulatedMachine) {
    sim::setHostModel("MacBookPro18,3");
    sim::setOperatingSystemVersion({12, 6, 1});
    EXPECT_EQ(readText("hw.model"), "MacBookPro18,3");
    EXPECT_EQ(readText("kern.osproductversion"), "12.6.1");
    EXPECT_EQ(readText("kern.ostype"), "Darwin");
    sim::setOperatingSystemVersion({13, 0, 0});
    EXPECT_EQ(readText("kern.osproductversion"), "13.0");
}

TEST_F(SysctlTest, ScalarNamesAndPlatformErrors) {
    std::int32_t ncpu = 0;
    std::size_t size = sizeof ncpu;
    ASSERT_EQ(sysctlbyname("hw.ncpu", &ncpu, &size, nullptr, 0), 0);
    EXPECT_EQ(size, sizeof ncpu);
    EXPECT_GE(ncpu, 1);

    char small[2];
    size = sizeof small;
    sim::setHostModel("Macmini9,1");
    EXPECT_EQ(sysctlbyname("hw.model", small, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);

    size = 0;
    EXPECT_EQ(sysctlbyname("hw.nonexistent", nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);

    std::int32_t value = 1;
    EXPECT_EQ(sysctlbyname("hw.ncpu", nullptr, &size, &value, sizeof value), -1);
    EXPECT_EQ(errno, EPERM);
}

std::int64_t bootSeconds() {
    struct {
        std::int64_t seconds;
        std::int32_t microseconds;
        std::int32_t padding;
    } record{};
    std::size_t size = sizeof record;
    if (sysctlbyname("kern.boottime", &record, &size, nullptr, 0) != 0) return -1;
    EXPECT_EQ(size, sizeof record);
    return record.seconds;
}

TEST_F(SysctlTest, BootTimeMakesUptimeFollowTheClock) {
    const std::int64_t realBoot = bootSeconds();
    EXPECT_GT(realBoot, 0);
    EXPECT_LE(realBoot, static_cast<std::int64_t>(sim::wallClockSeconds()));

    sim::useVirtualClock();
    const std::int64_t boot = bootSeconds();
    const double uptime = sim::wallClockSeconds() - static_cast<double>(boot);
    EXPECT_GT(uptime, 0);
    sim::advanceClock(std::chrono::seconds(90));
    EXPECT_EQ(bootSeconds(), boot);
    EXPECT_EQ(sim::wallClockSeconds() - static_cast<double>(boot), uptime + 90);
    sim::useRealClock();
}

TEST_F(SysctlTest, OverrideCanMakeANameEmpty) {
    sim::setSysctlOverride("hw.model", std::vector<std::uint8_t>{});
    std::size_t size = 99;
    ASSERT_EQ(sysctlbyname("hw.model", nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, 0u);
    sim::setSysctlOverride("hw.model", std::nullopt);
    sim::setHostModel("iMac21,1");
    EXPECT_EQ(readText("hw.model"), "iMac21,1");
}

std::optional<std::uint32_t> cryptIdOfMainImage() {
    const mach_header* h = _dyld_get_image_header(0);
    if (!h || h->magic != MH_MAGIC_64 || h->filetype != MH_EXECUTE) return 99;
    auto* p = reinterpret_cast<const std::uint8_t*>(h) + sizeof(mach_header_64);
    for (std::uint32_t i = 0; i < h->ncmds; ++i) {
        load_command lc;
        std::memcpy(&lc, p, sizeof lc);
        if (lc.cmd == LC_ENCRYPTION_INFO_64) {
            std::uint32_t words[5];
            std::memcpy(words, p, sizeof words);
            return words[4];
        }
        p += lc.cmdsize;
    }
    return std::nullopt;
}

TEST_F(SysctlTest, MainImageHeaderCarriesTheEncryptionCommandWhenAsked) {
    EXPECT_EQ(_dyld_image_count(), 1u);
    EXPECT_NE(std::string(_dyld_get_image_name(0)), "");
    EXPECT_EQ(_dyld_get_image_header(1), nullptr);
    EXPECT_EQ(cryptIdOfMainImage(), std::nullopt);
    sim::setMainExecutableCryptId(1);
    EXPECT_EQ(cryptIdOfMainImage(), 1u);
    sim::setMainExecutableCryptId(0);
    EXPECT_EQ(cryptIdOfMainImage(), 0u);
}

}  // namespace
