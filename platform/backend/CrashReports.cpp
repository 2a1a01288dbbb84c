#include "platform/backend/CrashReports.h"

#include <pb_decode.h>

#include <cstdint>
#include <cstring>

#include "RZRCTRReport.pb.h"

namespace sim {

namespace {

// Every bytes field and the file list are read by callbacks: nanopb's own
// byte arrays and counts are 16 bits wide in the system's runtime.
bool decodeText(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* text = static_cast<std::string*>(*arg);
    text->resize(stream->bytes_left);
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(text->data()), text->size());
}

pb_callback_t textField(std::string& text) {
    pb_callback_t callback{};
    callback.funcs.decode = decodeText;
    callback.arg = &text;
    return callback;
}

bool decodeFile(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& files = *static_cast<std::vector<std::pair<std::string, std::string>>*>(*arg);
    auto& [name, contents] = files.emplace_back();
    rzrctr_ReportFile file = rzrctr_ReportFile_init_zero;
    file.filename = textField(name);
    file.contents = textField(contents);
    return pb_decode(stream, rzrctr_ReportFile_fields, &file);
}

}  // namespace

std::optional<std::string> ReceivedCrashReport::file(const std::string& name) const {
    for (const auto& [fileName, contents] : files) {
        if (fileName == name) return contents;
    }
    return std::nullopt;
}

std::optional<ReceivedCrashReport> decodeCrashReport(const std::string& payload) {
    ReceivedCrashReport report;
    rzrctr_ReportMessage m = rzrctr_ReportMessage_init_zero;
    m.sdk_version = textField(report.sdkVersion);
    m.zevera_app_id = textField(report.zeveraAppID);
    m.installation_id = textField(report.installationID);
    m.build_version = textField(report.buildVersion);
    m.display_version = textField(report.displayVersion);
    m.files_payload.files.funcs.decode = decodeFile;
    m.files_payload.files.arg = &report.files;
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(payload.data()), payload.size());
    if (!pb_decode(&stream, rzrctr_ReportMessage_fields, &m)) return std::nullopt;
    // An unknown platform number is kept as it came: read as the enum type
    // it would be a value outside the enum.
    static_assert(sizeof(m.platform) == sizeof(std::int32_t));
    std::int32_t platform = 0;
    std::memcpy(&platform, &m.platform, sizeof platform);
    report.platform = platform;
    return report;
}

}  // namespace sim
