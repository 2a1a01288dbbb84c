#include "services/crash/RZRCTRProcessReportOperation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/log/Log.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRSymbolResolver.h"
#include "services/crash/RZRStackFrame.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace symtest {
// Two functions the frames below point into; kept apart and out of line.
__attribute__((noinline)) int before(int value) {
    asm volatile("" ::: "memory");
    return value * 3 + 1;
}
__attribute__((noinline)) int target(int value) {
    asm volatile("" ::: "memory");
    return value * 5 + 2;
}
}  // namespace symtest

namespace {

namespace fs = std::filesystem;

// Where the test program was loaded "at crash time": anywhere but where it
// is loaded now, so every lookup has to rebase.
constexpr std::uint64_t kRecordedBase = 0x100000000;

class SymbolicationTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        Dl_info info{};
        ASSERT_NE(::dladdr(reinterpret_cast<const void*>(&symtest::target), &info), 0);
        base_ = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        RZRCTRBinaryImageDetails details;
        ASSERT_TRUE(RZRCTRBinaryImageDetailsForBase(base_, &details));
        uuid_ = details.uuidString;
        size_ = details.node.size;
        ASSERT_FALSE(uuid_.empty());
    }
    // The address a frame in `function` + offset had at crash time.
    std::uint64_t recorded(int (*function)(int), std::uint64_t offset) const {
        return reinterpret_cast<std::uintptr_t>(function) + offset - base_ + kRecordedBase;
    }
    void writeImages(const std::string& otherUUID = "00112233445566778899aabbccddeeff") {
        crashtest::writeFile(
            file("binary_images.ctrrecord"),
            "{\"load\":{\"path\":\"/opt/lumbrel/bin/lumbrel\",\"uuid\":\"" + uuid_ +
                "\",\"base\":" + std::to_string(kRecordedBase) +
                ",\"size\":" + std::to_string(size_) +
                "}}\n"
                "{\"load\":{\"path\":\"/opt/lumbrel/plugin.so\",\"uuid\":\"" +
                otherUUID +
                "\",\"base\":4096,\"size\":65536}}\n"
                "{\"unload\":{\"path\":\"/gone.so\",\"uuid\":\"ff\",\"base\":8192,\"size\":16}}\n");
    }
    std::uintptr_t base_ = 0;
    std::uint64_t size_ = 0;
    std::string uuid_;
};

TEST_F(SymbolicationTest, RecordedAddressesBecomeSymbolsOfTheImageLoadedNow) {
    writeImages();
    auto resolver = std::make_shared<RZRCTRSymbolResolver>();
    ASSERT_TRUE(resolver->loadBinaryImagesFromFile(file("binary_images.ctrrecord")));
    ASSERT_EQ(resolver->binaryImages().size(), 2u);
    EXPECT_EQ(resolver->binaryImages()[0]["base"].asUInt(), 4096u);

    struct Case {
        const char* name;
        std::uint64_t address;
        std::optional<std::string> symbol;
        std::uint64_t offset;
        std::optional<std::string> library;
    };
    const Case cases[] = {
        {"inside the function", recorded(&symtest::target, 4), "_ZN7symtest6targetEi", 4,
         "lumbrel"},
        {"image not loaded now", 4096 + 16, std::nullopt, 0, std::nullopt},
        {"no image", 12, std::nullopt, 0, std::nullopt},
        {"zero", 0, std::nullopt, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto frame = RZRStackFrame::stackFrameWithAddress(c.address);
        EXPECT_EQ(resolver->updateStackFrame(*frame), c.symbol.has_value());
        EXPECT_EQ(frame->symbol, c.symbol);
        EXPECT_EQ(frame->rawSymbol, c.symbol);
        EXPECT_EQ(frame->offset, c.offset);
        EXPECT_EQ(frame->library, c.library);
    }

    // A return address right at a function's start is the call at the end
    // of the function before it.
    auto atStart = resolver->frameForAddress(recorded(&symtest::target, 0));
    ASSERT_TRUE(atStart);
    EXPECT_NE(atStart->symbol, "_ZN7symtest6targetEi");
    EXPECT_GT(atStart->offset, 0u);
    EXPECT_FALSE(resolver->frameForAddress(4096 + 16));
}

TEST(Demangling, CppAndBlockSymbolsAreDemangledOthersAreNot) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"_ZN7symtest6targetEi", "symtest::target(int)"},
        {"__ZN7symtest6targetEi_block_invoke_2", "symtest::target(int)_block_invoke_2"},
        {"__Z_block_invoke", std::nullopt},
        {"__ZN7symtest6targetEi", std::nullopt},
        {"_Znot a mangled name", std::nullopt},
        {"main", std::nullopt},
    };
    for (const auto& [symbol, expected] : cases) {
        EXPECT_EQ(RZRCTRDemangleOperation::demangleSymbol(symbol), expected) << symbol;
    }
    EXPECT_FALSE(RZRCTRDemangleOperation::demangleSymbol(nullptr));
}

TEST_F(SymbolicationTest, EachCrashFileGetsItsSymbolicatedCompanion) {
    writeImages();
    crashtest::writeFile(file("signal.ctrrecord"),
                         "{\"signal\":{\"number\":11,\"time\":1700000000}}\n"
                         "{\"threads\":[{\"thread_id\":1,\"stacktrace\":[" +
                             std::to_string(recorded(&symtest::target, 8)) +
                             ",4112]},{\"thread_id\":2,"
                             "\"stacktrace\":[" +
                             std::to_string(recorded(&symtest::before, 0)) + "," +
                             std::to_string(recorded(&symtest::target, 0)) + "]}]}\n");
    crashtest::writeFile(file("errors_a.ctrrecord"), "{\"threads\":[]}\n");
    auto report = RZRCTRInternalReport::reportWithPath(reportDir_.string(), "id");
    RZRCTRProcessReportOperation operation(report, std::make_shared<RZRCTRSymbolResolver>());
    operation.start();

    EXPECT_FALSE(fs::exists(file("errors_a.ctrrecord.symbolicated")));
    EXPECT_FALSE(fs::exists(file("exception.ctrrecord.symbolicated")));
    auto sections = RZRCTRFileReadSections(file("signal.ctrrecord.symbolicated").c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 1u);
    const Array* threads = (*sections)[0]["threads"].asArray();
    ASSERT_TRUE(threads);
    ASSERT_EQ(threads->size(), 2u);
    const Array& first = *(*threads)[0].asArray();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0]["symbol"].asString(), "symtest::target(int)");
    EXPECT_EQ(first[0]["raw_symbol"].asString(), "_ZN7symtest6targetEi");
    EXPECT_EQ(first[0]["offset"].asUInt(), 8u);
    EXPECT_EQ(first[0]["library"].asString(), "lumbrel");
    EXPECT_TRUE(first[1]["symbol"].isNull());
    EXPECT_FALSE(first[1].asDictionary()->contains("raw_symbol"));
    // A thread's first frame is where it stopped, even at a function's
    // first instruction; the frames after it are return addresses.
    const Array& second = *(*threads)[1].asArray();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0]["symbol"].asString(), "symtest::before(int)");
    EXPECT_EQ(second[0]["offset"].asUInt(), 0u);
    EXPECT_NE(second[1]["symbol"].asString(), "symtest::target(int)");
    // The record files read are left as they were.
    EXPECT_TRUE(fs::exists(file("signal.ctrrecord")));
}

TEST_F(SymbolicationTest, WithoutBinaryImagesNothingIsSymbolicated) {
    crashtest::writeFile(file("binary_images.ctrrecord"), "");
    crashtest::writeFile(file("signal.ctrrecord"), "{\"threads\":[{\"stacktrace\":[1]}]}\n");
    auto report = RZRCTRInternalReport::reportWithPath(reportDir_.string(), "id");
    sim::LogCapture capture;
    RZRCTRProcessReportOperation(report, std::make_shared<RZRCTRSymbolResolver>()).start();
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Failed to read binary image file " +
                                          file("binary_images.ctrrecord").string()));
    EXPECT_FALSE(fs::exists(file("signal.ctrrecord.symbolicated")));
}

}  // namespace
