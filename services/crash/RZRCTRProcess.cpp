#include "services/crash/RZRCTRProcess.h"

#include <fstream>
#include <string>

bool RZRCTRProcessDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::stol(line.substr(10)) != 0;
        }
    }
    return false;
}
