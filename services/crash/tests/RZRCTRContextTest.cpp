#include "services/crash/RZRCTRContext.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::diedOfSignal;
using crashtest::exitedCleanly;
using crashtest::readFile;
using crashtest::readLines;
using crashtest::runInChild;

constexpr const char* kChildDirectory = "LUMBREL_CRASH_CONTEXT_CHILD";

enum Hook : unsigned {
    kBinaryImages = 1,
    kSignal = 2,
    kMach = 4,
    kException = 8,
    kExecutable = 16
};
std::atomic<unsigned> gHooks{0};

bool recordExecutable(RZRCTRFile* file) {
    gHooks |= kExecutable;
    RZRCTRFileOpenSection(file, "executable");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteStringEntry(file, "architecture", "arm64");
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
    return true;
}

RZRCTRContextInstallers recordingInstallers() {
    gHooks = 0;
    RZRCTRContextInstallers installers;
    installers.binaryImages = [] { gHooks |= kBinaryImages; };
    installers.signal = [] { gHooks |= kSignal; };
    installers.machException = [] { gHooks |= kMach; };
    installers.exception = [] { gHooks |= kException; };
    installers.recordMainExecutable = recordExecutable;
    return installers;
}

bool insideRegion(const RZRCTRAllocatorRegion& region, const void* pointer) {
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    return address >= region.start && address < region.start + region.maxSize;
}

class ContextTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        RZRCTRContextSetInstallers(recordingInstallers());
    }
};

TEST_F(ContextTest, BuildsTheContextAndRecordsTheLaunch) {
    initializeContext();
    EXPECT_EQ(gHooks.load(), kBinaryImages | kSignal | kMach | kException | kExecutable);
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    EXPECT_FALSE(readonly->debuggerAttached);
    EXPECT_EQ(std::string(readonly->sdkLogPath), file("sdk.log").string());
    EXPECT_EQ(std::string(readonly->previouslyCrashedFileFullPath),
              (root_ / "previously-crashed").string());
    EXPECT_EQ(std::string(readonly->signal.path), file("signal.ctrrecord").string());
    EXPECT_EQ(std::string(readonly->machException.path), file("mach_exception.ctrrecord").string());
    EXPECT_EQ(std::string(readonly->exception.path), file("exception.ctrrecord").string());
    EXPECT_EQ(std::string(readonly->binaryimage.path), file("binary_images.ctrrecord").string());
    EXPECT_EQ(readonly->exception.maxCustomExceptions, 8u);
    EXPECT_EQ(std::string(readonly->host.documentDirectoryPath), (home_ / "Documents").string());
    EXPECT_EQ(readonly->host.pageSize % 4096, 0u);
    EXPECT_EQ(_rzrctrContext.writable->sdkLogLevel, 1u);
    EXPECT_EQ(RZRCTRContextLoggingQueue()->label(), "com.zevera.reruzera.crashtrace.mac.logging");
    EXPECT_EQ(RZRCTRContextBinaryImagesQueue()->label(),
              "com.zevera.reruzera.crashtrace.mac.binary-images");
    EXPECT_EQ(RZRCTRContextExceptionQueue()->label(),
              "com.zevera.reruzera.crashtrace.mac.exception");

    const auto lines = readLines(file("metadata.ctrrecord"));
    ASSERT_EQ(lines.size(), 4u);
    const auto identity = nlohmann::json::parse(lines[0])["identity"];
    EXPECT_EQ(identity["generator"], "Crashtrace macOS SDK/4.2.0");
    EXPECT_EQ(identity["display_version"], "4.2.0");
    EXPECT_EQ(identity["build_version"], "4.2.0");
    EXPECT_EQ(identity["session_id"], "0123456789abcdef");
    EXPECT_EQ(identity["install_id"], "");
    EXPECT_EQ(identity["beta_token"], "");
    EXPECT_EQ(identity["absolute_log_timestamps"], true);
    EXPECT_GT(identity["started_at"].get<std::uint64_t>(), 1600000000u);
    EXPECT_TRUE(nlohmann::json::parse(lines[1]).contains("host"));
    EXPECT_EQ(lines[2],
              "{\"application\":{\"bundle_id\":\"com.vantorel.Lumbrel\",\"custom_bundle_id\":null,"
              "\"build_version\":\"107\",\"display_version\":\"2.4.1\",\"extension_id\":null}}");
    EXPECT_EQ(lines[3], "{\"executable\":{\"architecture\":\"arm64\"}}");
}

TEST_F(ContextTest, TheMetadataIsRecreatedOnEveryLaunch) {
    crashtest::writeFile(file("metadata.ctrrecord"), "{\"identity\":{\"session_id\":\"old\"}}\n");
    crashtest::writeFile(file("sdk.log"), "INFO  [old:1] from an earlier launch\n");
    initializeContext();
    EXPECT_EQ(sdkLog().find("earlier launch"), std::string::npos);
    initializeContext();
    const auto lines = readLines(file("metadata.ctrrecord"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["identity"]["session_id"], "0123456789abcdef");
}

TEST_F(ContextTest, AReportWithoutAPathInstallsNothing) {
    EXPECT_FALSE(RZRCTRContextInitialize(nullptr, {}, root_.string()));
    EXPECT_FALSE(RZRCTRContextIsInitialized());
    EXPECT_EQ(gHooks.load(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(reportDir_));
}

TEST_F(ContextTest, BundleTextIsEscapedInTheMetadata) {
    const std::string version = "1\"2\\3\n4\t\x01";
    writeInfo(Dictionary{{"CFBundleIdentifier", Value("com.vantorel/\"Lumbrel\"")},
                         {"CFBundleVersion", Value(version)},
                         {"CFBundleShortVersionString", Value("caf\xc3\xa9")}});
    initializeContext();
    const auto lines = readLines(file("metadata.ctrrecord"));
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines) {
        EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
    }
    const auto application = nlohmann::json::parse(lines[2])["application"];
    EXPECT_EQ(application["bundle_id"], "com.vantorel_\"Lumbrel\"");
    EXPECT_EQ(application["build_version"], version);
    EXPECT_EQ(application["display_version"], "caf\xc3\xa9");
}

// The whole context fits in the guarded mapping whatever the paths' length:
// nothing spills over to the heap.
TEST_F(ContextTest, TheContextLivesInGuardedMemoryForLongPaths) {
    std::filesystem::path deep = reportDir_;
    for (int i = 0; i < 6; ++i) deep /= std::string(200, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    reportDir_ = deep;
    initializeContext();
    const RZRCTRAllocator* allocator = _rzrctrContext.allocator;
    ASSERT_NE(allocator, nullptr);
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    const auto& ro = allocator->readOnlyRegion;
    const auto& rw = allocator->writeableRegion;
    EXPECT_TRUE(insideRegion(ro, readonly));
    EXPECT_TRUE(insideRegion(rw, _rzrctrContext.writable));
    EXPECT_TRUE(insideRegion(rw, readonly->signalStack));
    EXPECT_TRUE(insideRegion(rw, readonly->machStack));
    const auto& logging = readonly->logging;
    for (const char* path :
         {readonly->sdkLogPath, readonly->previouslyCrashedFileFullPath, readonly->signal.path,
          readonly->machException.path, readonly->exception.path, readonly->binaryimage.path,
          readonly->host.documentDirectoryPath, logging.userKVStorage.incrementalPath,
          logging.userKVStorage.compactedPath, logging.internalKVStorage.incrementalPath,
          logging.internalKVStorage.compactedPath, logging.logStorage.aPath,
          logging.logStorage.bPath, logging.errorStorage.aPath, logging.errorStorage.bPath,
          logging.customExceptionStorage.aPath, logging.customExceptionStorage.bPath}) {
        ASSERT_NE(path, nullptr);
        EXPECT_TRUE(insideRegion(ro, path)) << path;
    }
    EXPECT_EQ(sdkLog().find("falling back to malloc"), std::string::npos) << sdkLog();
}

TEST_F(ContextTest, TheSealedHalfFaultsOnAWildWrite) {
    initializeContext();
    const int status = runInChild([] {
        auto* readonly = const_cast<volatile RZRCTRReadOnlyContext*>(_rzrctrContext.readonly);
        readonly->debuggerAttached = true;
    });
    EXPECT_TRUE(diedOfSignal(status, SIGSEGV)) << status;
    // The writable half stays writable.
    EXPECT_TRUE(exitedCleanly(runInChild([] { _rzrctrContext.writable->sdkLogLevel = 3; })));
}

TEST_F(ContextTest, DeinitializingASealedContextDoesNotFault) {
    initializeContext();
    const int status = runInChild([] {
        RZRCTRContextBaseDeinit();
        ::_exit(RZRCTRContextIsInitialized() ? 1 : 0);
    });
    ASSERT_TRUE(exitedCleanly(status)) << status;
    RZRCTRContextBaseDeinit();
    EXPECT_FALSE(RZRCTRContextIsInitialized());
    EXPECT_FALSE(RZRCTRContextMarkAndCheckIfCrashed());
}

TEST_F(ContextTest, OnlyTheFirstCrashClaimsTheRecord) {
    initializeContext();
    EXPECT_FALSE(RZRCTRContextHasCrashed());
    EXPECT_FALSE(RZRCTRContextMarkAndCheckIfCrashed());
    EXPECT_TRUE(RZRCTRContextHasCrashed());
    EXPECT_TRUE(RZRCTRContextMarkAndCheckIfCrashed());
    initializeContext();
    EXPECT_FALSE(RZRCTRContextHasCrashed());
    RZRCTRContextMarkHasCrashed();
    EXPECT_TRUE(RZRCTRContextHasCrashed());
}

TEST_F(ContextTest, CreatesThePreviouslyCrashedMarker) {
    initializeContext();
    RZRCTRCreateCrashedMarkerFile();
    EXPECT_TRUE(std::filesystem::exists(root_ / "previously-crashed"));
    EXPECT_EQ(std::filesystem::file_size(root_ / "previously-crashed"), 0u);
    EXPECT_NE(sdkLog().find("Created the crashed marker file"), std::string::npos);
}

// Runs the given test of this binary in a child traced by this process, as a
// debugger would; answers the child's wait status.
int runTracedChild(const std::string& test, const std::filesystem::path& directory) {
    const std::string filter = "--gtest_filter=" + test;
    // The leak checker stops the child's threads with ptrace, which a traced
    // process cannot do: it would take what they hold for leaks.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string(inherited ? inherited : "") + ":detect_leaks=0";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::setenv(kChildDirectory, directory.c_str(), 1);
        ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        ::execl("/proc/self/exe", "services_crash_test", filter.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        const int signal = WSTOPSIG(status);
        ::ptrace(PTRACE_CONT, pid, nullptr, signal == SIGTRAP ? 0 : signal);
    }
    return status;
}

TEST_F(ContextTest, UnderADebuggerNoHandlerIsInstalled) {
    const int status = runTracedChild("ContextChild.InitializeAndReportHooks", home_);
    ASSERT_TRUE(exitedCleanly(status)) << status;
    EXPECT_EQ(readFile(home_ / "hooks"), std::to_string(kBinaryImages | kExecutable) + " 1");
    EXPECT_EQ(readLines(file("metadata.ctrrecord")).size(), 4u);
    EXPECT_NE(sdkLog().find("Debugger present - not installing handlers"), std::string::npos);
}

// The child half of the test above; skipped when run on its own.
TEST(ContextChild, InitializeAndReportHooks) {
    const char* directory = std::getenv(kChildDirectory);
    if (!directory) GTEST_SKIP() << "runs only as a child";
    const std::filesystem::path home = directory;
    sim::ScopedHomeOverride homeOverride(home.string());
    RZRCTRContextSetInstallers(recordingInstallers());
    const auto reportDir = home / "Library" / "Caches" / "com.crashtrace.files" / "v5" / "reports" /
                           "active" / "report-1";
    auto report = RZRCTRInternalReport::reportWithPath(reportDir.string(), "0123456789abcdef");
    ASSERT_TRUE(RZRCTRContextInitialize(report.get(), {}, (home / "root").string()));
    ASSERT_TRUE(RZRCTRContextWaitUntilInitialized(std::chrono::seconds(30)));
    crashtest::writeFile(home / "hooks",
                         std::to_string(gHooks.load()) + " " +
                             std::to_string(_rzrctrContext.readonly->debuggerAttached));
}

}  // namespace
