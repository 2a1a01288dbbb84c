#include "platform/process/NSTask.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

TEST(NSTask, InterceptedLaunchAndExitAreRecorded) {
    sim::Process::intercept(true);
    NSTask task;
    task.setLaunchPath("/usr/bin/open");
    task.setArguments({"file:///Applications/Lumbrel.app/"});
    EXPECT_TRUE(task.launch());
    ProcessExit(0);
    auto tasks = sim::Process::launchedTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].launchPath, "/usr/bin/open");
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
    sim::Process::clear();
    sim::Process::intercept(false);
}

TEST(NSTask, RealLaunchStartsTheProgram) {
    NSTask task;
    task.setLaunchPath("/bin/true");
    ASSERT_TRUE(task.launch());
    int status = 0;
    ASSERT_EQ(::waitpid(task.processIdentifier(), &status, 0), task.processIdentifier());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    NSTask missing;
    missing.setLaunchPath("/nonexistent/program");
    EXPECT_FALSE(missing.launch());
}

TEST(ProcessExitDeathTest, EndsTheProcessWhenNotIntercepted) {
    EXPECT_EXIT(ProcessExit(3), ::testing::ExitedWithCode(3), "");
}
