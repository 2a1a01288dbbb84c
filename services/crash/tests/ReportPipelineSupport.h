#pragma once
// Pieces shared by the report pipeline's tests: report directories written
// as an earlier run would have left them, and a storage for the crash
// target whose answer the test chooses.

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "services/crash/tests/CrashTestSupport.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/tests/RecordingStorage.h"

namespace crashtest {

// How a store of the crash target answers.
enum class StoreAnswer { Written, Refused, WrittenWithError, Never };

class ScriptedStorage : public RecordingStorage {
  public:
    void storeEvent(std::shared_ptr<ZDTCOREvent> event, ZDTCORStoreCompletion completion) override {
        {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        switch (answer) {
            case StoreAnswer::Written:
                completion(true, std::nullopt);
                break;
            case StoreAnswer::Refused:
                completion(false, std::nullopt);
                break;
            case StoreAnswer::WrittenWithError:
                completion(true, NSError("com.zevera.transport", 7));
                break;
            case StoreAnswer::Never:
                break;
        }
    }
    StoreAnswer answer = StoreAnswer::Written;
};

// A report directory of an earlier run: its metadata and the named record
// files.
inline std::filesystem::path writeReport(const std::filesystem::path& directory,
                                         const std::string& sessionID, std::uint64_t startedAt,
                                         const std::vector<std::string>& eventFiles) {
    std::filesystem::create_directories(directory);
    writeFile(directory / "metadata.ctrrecord",
              "{\"identity\":{\"session_id\":\"" + sessionID +
                  "\",\"build_version\":\"4.2.0\",\"started_at\":" + std::to_string(startedAt) +
                  "}}\n{\"host\":{\"platform\":\"mac\"}}\n"
                  "{\"application\":{\"build_version\":\"107\",\"display_version\":\"2.4.1\"}}\n");
    for (const auto& name : eventFiles) {
        if (name == "signal.ctrrecord") {
            writeFile(directory / name,
                      "{\"signal\":{\"number\":11,\"time\":1700000000}}\n"
                      "{\"threads\":[{\"stacktrace\":[4096]}]}\n");
        } else {
            writeFile(directory / name, "{\"error\":{}}\n");
        }
    }
    return directory;
}

}  // namespace crashtest
