#include "services/crash/RZRCTRReportAdapter.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
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

// A new length-prefixed heap block holding the bytes, freed by pb_release.
pb_bytes_array_t* newBytes(const void* bytes, std::size_t length) {
    auto* block = static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(length)));
    if (block == nullptr) return nullptr;
    block->size = static_cast<pb_size_t>(length);
    if (length != 0) std::memcpy(block->bytes, bytes, length);
    return block;
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
pb_bytes_array_t* RZRCTREncodeString(const std::optional<Value>& value) {
    if (value && value->isNull()) {
        RZRCTRErrorLog(
            "Expected encodable string, but found NSNull instead. Set a symbolic breakpoint at "
            "RZRCTREncodeString to debug.");
        return newBytes(nullptr, 0);
    }
    const std::string text = value ? encodableText(*value) : std::string();
    return newBytes(text.data(), text.size());
}

}  // namespace

RZRCTRReportAdapter::RZRCTRReportAdapter(
    std::string folderPath, std::string zeveraAppID,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel)
    : folderPath_(std::move(folderPath)),
      zeveraAppID_(std::move(zeveraAppID)),
      installIDModel_(std::move(installIDModel)),
      report_(std::make_unique<rzrctr_ReportMessage>()) {
    *report_ = rzrctr_ReportMessage_init_zero;
    loadMetaDataFile();
    protoReport();
}

RZRCTRReportAdapter::~RZRCTRReportAdapter() {
    pb_release(rzrctr_ReportMessage_fields, report_.get());
}

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

void RZRCTRReportAdapter::protoFilesPayload(_rzrctr_ReportFilesPayload* payload) const {
    const auto paths = ctrRecordFilePaths();
    if (paths.empty()) return;
    auto* files =
        static_cast<rzrctr_ReportFile*>(std::calloc(paths.size(), sizeof(rzrctr_ReportFile)));
    if (files == nullptr) return;
    payload->files = files;
    payload->files_count = static_cast<pb_size_t>(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto name = fs::path(paths[i]).filename().string();
        files[i].filename = RZRCTREncodeString(Value(name));
        int errorNumber = 0;
        auto contents = sim::FileSystem::readFile(paths[i], &errorNumber);
        if (!contents) {
            RZRCTRErrorLog("Failed to read from %@ with error: %@", paths[i],
                           std::string(std::strerror(errorNumber)));
            contents = Data{};
        }
        files[i].contents = newBytes(contents->data(), contents->size());
    }
}

void RZRCTRReportAdapter::protoReport() {
    report_->sdk_version = RZRCTREncodeString(identity_.build_version);
    report_->zevera_app_id = RZRCTREncodeString(Value(zeveraAppID_));
    const auto platform = host_.platform ? host_.platform->asString() : std::nullopt;
    report_->platform =
        static_cast<rzrctr_ReportPlatform>(protoPlatformFromString(platform.value_or("")));
    report_->installation_id = RZRCTREncodeString(
        installIDModel_ ? std::optional<Value>(Value(installIDModel_->installID())) : std::nullopt);
    report_->build_version = RZRCTREncodeString(application_.build_version);
    report_->display_version = RZRCTREncodeString(application_.display_version);
    protoFilesPayload(&report_->files_payload);
    report_->has_files_payload = report_->files_payload.files_count > 0;
}

Data RZRCTRReportAdapter::transportBytes() const {
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!pb_encode(&sizing, rzrctr_ReportMessage_fields, report_.get())) {
        RZRCTRErrorLog("Error in nanopb encoding for size: %s", PB_GET_ERROR(&sizing));
    }
    Data bytes(sizing.bytes_written);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, rzrctr_ReportMessage_fields, report_.get())) {
        RZRCTRErrorLog("Error in nanopb encoding for bytes: %s", PB_GET_ERROR(&stream));
    }
    return bytes;
}
