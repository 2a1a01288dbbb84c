#pragma once
// Shared pieces of the crash reporter's tests: a temporary home with a report
// directory, a crash context built for it, files read back, and children
// that run a piece of code (and may really crash).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/foundation/PropertyList.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRContextInitialize.h"

// Live crash capture meets the sanitizers on their own ground: they install
// handlers for the same signals, UBSan stops a deliberate fault before it
// becomes one, and their instrumentation reshapes the frames being compared.
// These tests run in the plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CRASHTEST_SKIP_UNDER_SANITIZERS() \
    GTEST_SKIP() << "live crash capture runs in the plain build only"
#else
#define CRASHTEST_SKIP_UNDER_SANITIZERS() static_cast<void>(0)
#endif
#include "services/crash/RZRCTRInternalReport.h"

namespace crashtest {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Runs body in a forked child, which exits 0 when body returns. Queues the
// child uses run on dispatch workers of its own.
// Faults take the child down as they would the application, also under a
// sanitizer that would otherwise report them and exit.
inline int runInChild(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const int signal : {SIGSEGV, SIGBUS, SIGABRT}) ::signal(signal, SIG_DFL);
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Bytes placed so that the last one is followed by an unreadable page: any
// read past the end faults at once.
class GuardedBytes {
  public:
    explicit GuardedBytes(const std::vector<std::uint8_t>& bytes) {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        mappedSize_ = (bytes.size() + page - 1) / page * page + page;
        base_ = static_cast<std::uint8_t*>(::mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE,
                                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ::mprotect(base_ + mappedSize_ - page, page, PROT_NONE);
        data_ = base_ + mappedSize_ - page - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~GuardedBytes() { ::munmap(base_, mappedSize_); }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::size_t size_ = 0;
};

inline bool diedOfSignal(int status, int signal) {
    return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}
inline bool exitedCleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A temporary home holding a report directory and the crash reporter's root.
class CrashFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ =
            std::filesystem::temp_directory_path() / ("crash-" + std::to_string(::getpid()) + "-" +
                                                      info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(home_);
        std::filesystem::create_directories(home_ / "Documents");
        override_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
        root_ = home_ / "Library" / "Caches" / "com.crashtrace.files";
        reportDir_ = root_ / "v5" / "reports" / "active" / "report-1";
        std::filesystem::create_directories(reportDir_);
        writeInfo(Dictionary{{"CFBundleIdentifier", Value("com.vantorel.Lumbrel")},
                             {"CFBundleVersion", Value("107")},
                             {"CFBundleShortVersionString", Value("2.4.1")}});
        sim::setMainBundlePath(bundle_.string());
    }

    void TearDown() override {
        RZRCTRContextSetInstallers({});
        sim::clearMainBundlePath();
        override_.reset();
        std::filesystem::remove_all(home_);
    }

    // Each call makes a new bundle: bundles are cached by their path.
    void writeInfo(const Dictionary& info) {
        bundle_ = home_ / ("Lumbrel-" + std::to_string(++bundles_) + ".app");
        std::filesystem::create_directories(bundle_ / "Contents");
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
        ASSERT_TRUE(data);
        writeFile(bundle_ / "Contents" / "Info.plist", std::string(data->begin(), data->end()));
        sim::setMainBundlePath(bundle_.string());
    }

    // Builds the context for the report directory and waits until it is
    // sealed.
    void initializeContext(const RZRCTRContextSettings& settings = {}) {
        report_ = RZRCTRInternalReport::reportWithPath(reportDir_.string(), "0123456789abcdef");
        ASSERT_TRUE(RZRCTRContextInitialize(report_.get(), settings, root_.string()));
        ASSERT_TRUE(RZRCTRContextWaitUntilInitialized(std::chrono::seconds(30)));
        ASSERT_TRUE(RZRCTRContextIsInitialized());
    }

    std::filesystem::path file(const std::string& name) const { return reportDir_ / name; }
    std::string sdkLog() const { return readFile(file("sdk.log")); }

    std::filesystem::path home_;
    std::filesystem::path root_;
    std::filesystem::path reportDir_;
    std::filesystem::path bundle_;
    std::shared_ptr<RZRCTRInternalReport> report_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
    int bundles_ = 0;
};

// A context whose loaded images are tracked, as live unwinding needs.
class ImagesFixture : public CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        RZRCTRContextSetInstallers(installers);
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
    }
};

}  // namespace crashtest
