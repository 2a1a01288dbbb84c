// Kills a child that is storing events and checks that every event the
// storage acknowledged is on disk and that every file left behind reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/backend/TransportBackend.h"
#include "platform/log/Log.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTLGSMessages.h"
#include "services/transport/tests/TemporaryHome.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr const char* kRootVariable = "TRANSPORT_KILL_TEST_ROOT";
constexpr int kAckDescriptor = 3;

struct Payload : ZDTCOREventDataObject {
    Data transportBytes() const override { return Data(64 * 1024, 1); }
};

// Runs only inside the child started below: stores until it is killed.
TEST(ZDTCORFlatFileStorageKillTest, Child) {
    const char* root = std::getenv(kRootVariable);
    if (!root) GTEST_SKIP() << "runs as the child of StoredEventsSurviveSigkill";
    sim::setLogEcho(false);
    auto storage = std::make_shared<ZDTCORFlatFileStorage>(root);
    auto app = ZDTCORApplication::sharedApplication();
    for (int i = 0; i < 100000; ++i) {
        auto event = ZDTCOREvent::initWithMappingID(std::string("1206"), 1002);
        event->setDataObject(std::make_shared<Payload>());
        storage->storeEvent(event, [id = event->eventID()](bool written, std::optional<NSError>) {
            if (!written) return;
            const std::string line = id + "\n";
            if (::write(kAckDescriptor, line.data(), line.size()) < 0) std::abort();
        });
        storage->appWillTerminate(*app);
    }
}

std::string readLine(int fd, bool* eof) {
    std::string line;
    char c = 0;
    while (true) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) {
            *eof = true;
            return line;
        }
        if (c == '\n') return line;
        line.push_back(c);
    }
}

TEST(ZDTCORFlatFileStorageKillTest, StoredEventsSurviveSigkill) {
    if (std::getenv(kRootVariable)) GTEST_SKIP();
    sim::setLogEcho(false);
    TemporaryHome home;
    const std::string root = home.path() + "/root";
    std::set<std::string> acknowledged;

    for (int killAfter : {1, 7, 31, 64, 3}) {
        int raw[2];
        ASSERT_EQ(::pipe(raw), 0);
        // Above the child's acknowledgement descriptor, closed on exec.
        int fds[2] = {::fcntl(raw[0], F_DUPFD_CLOEXEC, 10), ::fcntl(raw[1], F_DUPFD_CLOEXEC, 10)};
        ::close(raw[0]);
        ::close(raw[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], kAckDescriptor);
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=ZDTCORFlatFileStorageKillTest.Child";
        char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
        std::vector<std::string> env{std::string(kRootVariable) + "=" + root,
                                     "LUMBREL_HOME=" + home.path()};
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);

        bool eof = false;
        for (int i = 0; i < killAfter && !eof; ++i) {
            auto id = readLine(fds[0], &eof);
            if (!eof) acknowledged.insert(id);
        }
        ASSERT_FALSE(eof) << "the child ended before it was killed";
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        // Acknowledgements written before the kill are still in the pipe.
        while (true) {
            auto id = readLine(fds[0], &eof);
            if (eof) break;
            acknowledged.insert(id);
        }
        ::close(fds[0]);
    }

    // A storage opened afterwards reads every file it lists, and holds every
    // acknowledged event.
    auto storage = std::make_shared<ZDTCORFlatFileStorage>(root);
    ZDTCORStorageEventSelector selector;
    selector.selectedTarget = 1002;
    std::set<std::string> found;
    std::vector<std::shared_ptr<ZDTCOREvent>> batch;
    storage->batchWithEventSelector(
        selector, Date::fromUnix(4e9), [&](std::optional<std::int64_t>, auto events) {
            batch = events.value_or(std::vector<std::shared_ptr<ZDTCOREvent>>{});
            for (const auto& e : batch) found.insert(e->eventID());
        });
    storage->appWillTerminate(*ZDTCORApplication::sharedApplication());
    for (const auto& id : acknowledged) EXPECT_TRUE(found.count(id)) << id;
    EXPECT_GE(found.size(), acknowledged.size());
    EXPECT_LE(found.size(), acknowledged.size() + 5);  // at most one unacknowledged write per kill
    // The batch goes out as it was stored: every payload whole in the request.
    const auto request = ZDTLGSConstructRequest(batch);
    ASSERT_TRUE(request);
    const auto sent =
        sim::TransportBackend::decodeUpload(std::string(request->begin(), request->end()));
    ASSERT_TRUE(sent);
    ASSERT_EQ(sent->events.size(), batch.size());
    for (const auto& event : sent->events) EXPECT_EQ(event.payload, std::string(64 * 1024, '\1'));
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        EXPECT_EQ(name.find(".tmp."), std::string::npos) << it->path();
        if (it->is_regular_file() && it->path().parent_path().filename() != "zdt_library_data") {
            EXPECT_TRUE(ZDTCORUnarchiveObject("ZDTCOREvent", it->path().string(), std::nullopt)
                            .as<ZDTCOREvent>())
                << it->path();
        }
    }
}

}  // namespace
