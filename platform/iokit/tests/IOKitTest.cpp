#include "platform/iokit/IOKit.h"

#include <gtest/gtest.h>

#include "platform/bundle/NSProcessInfo.h"

TEST(IOKit, PlatformExpertModelIsTheSimulatedHostModelWithItsNul) {
    sim::setHostModel("MacBookPro18,3");
    auto service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                               IOServiceMatching("IOPlatformExpertDevice"));
    ASSERT_NE(service, IO_OBJECT_NULL);
    auto model = IORegistryEntryCreateCFProperty(service, "model", kCFAllocatorDefault, 0);
    ASSERT_TRUE(model && model->isData());
    const Data& bytes = *model->asData();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("MacBookPro18,3\0", 15));
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(service, "serial", kCFAllocatorDefault, 0));
    IOObjectRelease(service);
    EXPECT_EQ(sim::outstandingIOObjects(), 0);

    sim::setPlatformExpertModelData(std::nullopt);
    service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                          IOServiceMatching("IOPlatformExpertDevice"));
    EXPECT_FALSE(IORegistryEntryCreateCFProperty(service, "model", kCFAllocatorDefault, 0));
    IOObjectRelease(service);
    sim::clearPlatformExpertModelData();
    sim::clearHostModel();
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("Other")),
              IO_OBJECT_NULL);
}
