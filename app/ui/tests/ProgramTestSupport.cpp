#include "app/ui/tests/ProgramTestSupport.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace programtest {

void ProgramTest::SetUp() {
    home_ = fs::temp_directory_path() /
            ("lumbrel-program-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
}

void ProgramTest::TearDown() {
    if (!home_.empty()) fs::remove_all(home_);
}

FILE* ProgramTest::launch(const std::string& environment) {
    output_ = home_ / ("run-" + std::to_string(++runs_) + ".txt");
    const std::string command = "LUMBREL_HOME='" + home_.string() + "' LUMBREL_SERVICE_BASE_URL='" +
                                backend_.url() + "' " + environment + " " + LUMBREL_PROGRAM +
                                " > '" + output_.string() + "' 2>&1";
    return ::popen(command.c_str(), "w");
}

int ProgramTest::run(const std::string& commands, const std::string& environment) {
    FILE* program = launch(environment);
    std::fputs(commands.c_str(), program);
    return ::pclose(program);
}

std::string ProgramTest::output() const {
    std::ifstream in(output_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

sim::TransportBackend& ProgramTest::transport() {
    return *dynamic_cast<sim::TransportBackend*>(backend_.service(sim::TransportBackend::kName));
}

}  // namespace programtest
