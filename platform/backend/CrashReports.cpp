#include "platform/backend/CrashReports.h"

#include <pb_decode.h>

#include <cstdint>
#include <cstring>

#include "RZRCTRReport.pb.h"

namespace sim {

namespace {

std::string text(const pb_bytes_array_t* bytes) {
    return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size)
                            : std::string();
}

// The decoded message, released with everything it points to.
class Message {
  public:
    Message() : message_(rzrctr_ReportMessage_init_zero) {}
    ~Message() { pb_release(rzrctr_ReportMessage_fields, &message_); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    bool decode(const std::string& bytes) {
        pb_istream_t stream =
            pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
        return pb_decode(&stream, rzrctr_ReportMessage_fields, &message_);
    }
    const rzrctr_ReportMessage& get() const { return message_; }

  private:
    rzrctr_ReportMessage message_;
};

}  // namespace

std::optional<std::string> ReceivedCrashReport::file(const std::string& name) const {
    for (const auto& [fileName, contents] : files) {
        if (fileName == name) return contents;
    }
    return std::nullopt;
}

std::optional<ReceivedCrashReport> decodeCrashReport(const std::string& payload) {
    Message message;
    if (!message.decode(payload)) return std::nullopt;
    const auto& m = message.get();
    ReceivedCrashReport report;
    report.sdkVersion = text(m.sdk_version);
    report.zeveraAppID = text(m.zevera_app_id);
    // An unknown platform number is kept as it came: read as the enum type
    // it would be a value outside the enum.
    static_assert(sizeof(m.platform) == sizeof(std::int32_t));
    std::int32_t platform = 0;
    std::memcpy(&platform, &m.platform, sizeof platform);
    report.platform = platform;
    report.installationID = text(m.installation_id);
    report.buildVersion = text(m.build_version);
    report.displayVersion = text(m.display_version);
    for (pb_size_t i = 0; i < m.files_payload.files_count; ++i) {
        report.files.emplace_back(text(m.files_payload.files[i].filename),
                                  text(m.files_payload.files[i].contents));
    }
    return report;
}

}  // namespace sim
