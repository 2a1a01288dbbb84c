// A first start on a fresh home: nothing the mute engine reports at start is
// lost, no remote value is read before its defaults, and nothing goes to the
// crash reporter's or the analytics' services before the user allows data
// collection.

#include <string>

#include "app/ui/tests/ProgramTestSupport.h"

namespace {

using ProgramStartTest = programtest::ProgramTest;

TEST_F(ProgramStartTest, AFreshStartLosesNothingAndSharesNothingUnasked) {
    ASSERT_EQ(run("log 1000\n"), 0) << output();
    for (const char* fault : {"Event not logged", "not configured", "Error parsing data as JSON."})
        EXPECT_EQ(output().find(fault), std::string::npos) << fault << "\n" << output();
    for (const auto& request : backend_.requests())
        EXPECT_TRUE(request.service == "installations" || request.service == "remoteconfig")
            << request.service << " " << request.endpoint << "\n"
            << output();
}

TEST_F(ProgramStartTest, RefusedRegistrationsShowAsBackoff) {
    backend_.setDefault("installations", "create", sim::BackendScript::withStatus(400));
    ASSERT_EQ(run("services\n"), 0) << output();
    EXPECT_NE(output().find("not registered yet"), std::string::npos) << output();
    EXPECT_NE(output().find("unrecoverable failure (x1), next request in 86400"), std::string::npos)
        << output();
    const auto creates = backend_.requests("installations", "create");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].status, 400);
    EXPECT_TRUE(creates[0].scripted);
}

}  // namespace
