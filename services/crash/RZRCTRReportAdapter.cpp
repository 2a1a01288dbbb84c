#include "services/crash/RZRCTRReportAdapter.h"

#include <pb_encode.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "RZRCTRReport.pb.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/JSON.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRUtilities.h"

namespace fs = std::filesystem;

namespace {

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Every bytes field and the file list are written by callbacks: nanopb's own
// byte arrays and counts are 16 bits wide in the system's runtime, and a
// callback writes any size whole.
template <class Bytes>
bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* bytes = static_cast<const Bytes*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(bytes->data()),
                            bytes->size());
}

template <class Bytes>
pb_callback_t bytesField(const Bytes& bytes) {
    pb_callback_t callback{};
    callback.funcs.encode = encodeBytes<Bytes>;
    callback.arg = const_cast<Bytes*>(&bytes);
    return callback;
}

using ReportFiles = std::vector<std::pair<std::string, Data>>;

bool encodeFiles(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& [name, contents] : *static_cast<const ReportFiles*>(*arg)) {
        rzrctr_ReportFile file = rzrctr_ReportFile_init_zero;
        file.filename = bytesField(name);
        file.contents = bytesField(contents);
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, rzrctr_ReportFile_fields, &file))
            return false;
    }
    return true;
}

// A metadata value as text: strings as they are, numbers in decimal; null
// is logged; anything else is sent empty.
std::string encodableText(const Value& value) {
    if (auto text = value.asString()) return *text;
    if (auto integer = value.asInt(); integer && value.isInteger()) return std::to_string(*integer);
    if (auto integer = value.asUInt(); integer && value.isInteger())
        return std::to_string(*integer);
    if (value.type() == Value::Type::Double) {
        std::ostringstream out;
        out << *value.asDouble();
        return out.str();
    }
    return {};
}

// RZRCTREncodeString: a JSON null is logged and counts as absent; absent
// becomes the empty string.
std::string RZRCTREncodeString(const std::optional<Value>& value) {
    if (value && value->isNull()) {
        RZRCTRErrorLog(
            "Expected encodable string, but found NSNull instead. Set a symbolic breakpoint at "
            "RZRCTREncodeString to debug.");
        return {};
    }
    return value ? encodableText(*value) : std::string();
}

}  // namespace

RZRCTRReportAdapter::RZRCTRReportAdapter(
    std::string folderPath, std::string zeveraAppID,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel)
    : folderPath_(std::move(folderPath)),
      zeveraAppID_(std::move(zeveraAppID)),
      installIDModel_(std::move(installIDModel)) {
    loadMetaDataFile();
    bytes_ = encodedReport();
}

RZRCTRReportAdapter::~RZRCTRReportAdapter() = default;

std::vector<Value> RZRCTRReportAdapter::dictionariesFromEachLineOfFile(const std::string& path) {
    std::vector<Value> values;
    auto data = sim::FileSystem::readFile(path);
    if (!data) return values;
    const std::string text(data->begin(), data->end());
    std::size_t start = 0;
    int position = 0;
    while (start <= text.size()) {
        const auto end = text.find_first_of("\r\n", start);
        const auto piece = text.substr(start, end == std::string::npos ? end : end - start);
        ++position;
        if (!piece.empty()) {
            NSError error;
            auto value =
                NSJSONSerialization::JSONObjectWithData(Data(piece.begin(), piece.end()), &error);
            if (value) {
                values.push_back(std::move(*value));
            } else {
                RZRCTRErrorLog("Failed to read JSON from file (%@) line (%d) with error: %@", path,
                               position, error);
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return values;
}

Dictionary RZRCTRReportAdapter::combinedDictionariesFromFilePath(const std::string& path) {
    Dictionary combined;
    for (const auto& line : dictionariesFromEachLineOfFile(path)) {
        const Dictionary* object = line.asDictionary();
        if (object == nullptr) continue;
        for (const auto& [key, value] : *object) combined.set(key, value);
    }
    return combined;
}

int RZRCTRReportAdapter::protoPlatformFromString(const std::string& platform) {
    const auto name = lowercased(platform);
    if (name == "ios") return rzrctr_ReportPlatform_REPORT_PLATFORM_IOS;
    if (name == "tvos") return rzrctr_ReportPlatform_REPORT_PLATFORM_TVOS;
    if (name == "mac") return rzrctr_ReportPlatform_REPORT_PLATFORM_MAC;
    return rzrctr_ReportPlatform_REPORT_PLATFORM_UNKNOWN;
}

void RZRCTRReportAdapter::loadMetaDataFile() {
    const auto metadata =
        combinedDictionariesFromFilePath((fs::path(folderPath_) / "metadata.ctrrecord").string());
    identity_ = RZRCTRRecordIdentity(metadata["identity"]);
    host_ = RZRCTRRecordHost(metadata["host"]);
    application_ = RZRCTRRecordApplication(metadata["application"]);
}

std::vector<std::string> RZRCTRReportAdapter::ctrRecordFilePaths() const {
    std::vector<std::string> paths;
    std::error_code error;
    for (fs::directory_iterator it(folderPath_, error), end; !error && it != end;
         it.increment(error)) {
        const auto extension = lowercased(it->path().extension().string());
        if (extension == ".ctrrecord" || extension == ".symbolicated") {
            paths.push_back(it->path().string());
        }
    }
    if (error) {
        RZRCTRErrorLog("Failed to find .ctrrecords from %@ with error: %@", folderPath_,
                       error.message());
        return {};
    }
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        const auto left = lowercased(a);
        const auto right = lowercased(b);
        return left != right ? left < right : a < b;
    });
    return paths;
}

std::optional<Data> RZRCTRReportAdapter::encodedReport() const {
    ReportFiles files;
    for (const auto& path : ctrRecordFilePaths()) {
        int errorNumber = 0;
        auto contents = sim::FileSystem::readFile(path, &errorNumber);
        if (!contents) {
            // Sent without the file, the report would be deleted as delivered.
            RZRCTRErrorLog("Failed to read from %@ with error: %@", path,
                           std::string(std::strerror(errorNumber)));
            return std::nullopt;
        }
        files.emplace_back(fs::path(path).filename().string(), std::move(*contents));
    }
    const std::string sdkVersion = RZRCTREncodeString(identity_.build_version);
    const std::string zeveraAppID = RZRCTREncodeString(Value(zeveraAppID_));
    const std::string installationID = RZRCTREncodeString(
        installIDModel_ ? std::optional<Value>(Value(installIDModel_->installID())) : std::nullopt);
    const std::string buildVersion = RZRCTREncodeString(application_.build_version);
    const std::string displayVersion = RZRCTREncodeString(application_.display_version);
    const auto platform = host_.platform ? host_.platform->asString() : std::nullopt;

    rzrctr_ReportMessage report = rzrctr_ReportMessage_init_zero;
    report.sdk_version = bytesField(sdkVersion);
    report.zevera_app_id = bytesField(zeveraAppID);
    report.platform =
        static_cast<rzrctr_ReportPlatform>(protoPlatformFromString(platform.value_or("")));
    report.installation_id = bytesField(installationID);
    report.build_version = bytesField(buildVersion);
    report.display_version = bytesField(displayVersion);
    report.has_files_payload = !files.empty();
    report.files_payload.files.funcs.encode = encodeFiles;
    report.files_payload.files.arg = &files;

    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!pb_encode(&sizing, rzrctr_ReportMessage_fields, &report)) {
        RZRCTRErrorLog("Error in nanopb encoding for size: %s", PB_GET_ERROR(&sizing));
        return std::nullopt;
    }
    Data bytes(sizing.bytes_written);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, rzrctr_ReportMessage_fields, &report)) {
        RZRCTRErrorLog("Error in nanopb encoding for bytes: %s", PB_GET_ERROR(&stream));
        return std::nullopt;
    }
    return bytes;
}

Data RZRCTRReportAdapter::transportBytes() const {
    return bytes_.value_or(Data{});
}
