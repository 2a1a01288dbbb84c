#include "services/crash/RZRCTRReportAdapter.h"

#include <gtest/gtest.h>
#include <pb_decode.h>

#include <filesystem>
#include <map>

#include "RZRCTRReport.pb.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

// What a receiver decodes from the adapter's bytes.
struct Decoded {
    std::map<int, std::string> fields;  // the bytes fields present on the wire
    int platform = 0;
    std::vector<std::pair<std::string, std::string>> files;
};

std::string readAll(pb_istream_t* stream) {
    std::string text(stream->bytes_left, '\0');
    if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(text.data()), text.size())) text.clear();
    return text;
}

// Each bytes field present by its number.
bool decodeField(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    (*static_cast<std::map<int, std::string>*>(*arg))[field->tag] = readAll(stream);
    return true;
}

bool decodeFile(pb_istream_t* stream, const pb_field_t*, void** arg) {
    std::map<int, std::string> parts;
    rzrctr_ReportFile file = rzrctr_ReportFile_init_zero;
    file.filename = {{.decode = decodeField}, &parts};
    file.contents = {{.decode = decodeField}, &parts};
    if (!pb_decode(stream, rzrctr_ReportFile_fields, &file)) return false;
    static_cast<std::vector<std::pair<std::string, std::string>>*>(*arg)->emplace_back(parts[1],
                                                                                       parts[2]);
    return true;
}

std::optional<Decoded> decode(const Data& bytes) {
    Decoded decoded;
    rzrctr_ReportMessage message = rzrctr_ReportMessage_init_zero;
    for (pb_callback_t* field :
         {&message.sdk_version, &message.zevera_app_id, &message.installation_id,
          &message.build_version, &message.display_version}) {
        *field = {{.decode = decodeField}, &decoded.fields};
    }
    message.files_payload.files = {{.decode = decodeFile}, &decoded.files};
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    if (!pb_decode(&stream, rzrctr_ReportMessage_fields, &message)) return std::nullopt;
    decoded.platform = message.platform;
    return decoded;
}

class ReportAdapterTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        installIDModel_ = std::make_shared<RZRCTRInstallIdentifierModel>(
            RZRCTRInstallIdentifierModel::InstallationIDSource());
    }
    Decoded adapt(const fs::path& directory = {}) {
        RZRCTRReportAdapter adapter((directory.empty() ? reportDir_ : directory).string(),
                                    "1:100:ios:abc", installIDModel_);
        auto decoded = decode(adapter.transportBytes());
        EXPECT_TRUE(decoded);
        return decoded.value_or(Decoded{});
    }
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
};

TEST_F(ReportAdapterTest, MetadataSectionsFillTheIdentityFields) {
    struct Case {
        const char* name;
        const char* metadata;
        std::map<int, std::string> fields;
        int platform;
        const char* logged;
    };
    const Case cases[] = {
        {"all sections",
         "{\"identity\":{\"build_version\":\"4.2.0\",\"session_id\":\"s\"}}\n"
         "{\"host\":{\"platform\":\"Mac\"}}\n"
         "{\"application\":{\"build_version\":42,\"display_version\":\"1.0\"}}\n",
         {{1, "4.2.0"}, {6, "42"}, {7, "1.0"}},
         5,
         nullptr},
        {"empty line and broken line",
         "{\"identity\":{\"build_version\":\"4.2.0\"}}\r\n"
         "not json\n"
         "{\"host\":{\"platform\":\"ios\"}}\n"
         "\n"
         "{\"application\":{\"display_version\":\"2.0\"}}\n",
         {{1, "4.2.0"}, {6, ""}, {7, "2.0"}},
         1,
         "line (3)"},
        {"unknown platform and a null",
         "{\"host\":{\"platform\":\"watchos\"}}\n{\"application\":{\"build_version\":null}}\n",
         {{1, ""}, {6, ""}, {7, ""}},
         0,
         "Expected encodable string, but found NSNull instead."},
        {"no metadata", nullptr, {{1, ""}, {6, ""}, {7, ""}}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(file("metadata.ctrrecord"));
        if (c.metadata) crashtest::writeFile(file("metadata.ctrrecord"), c.metadata);
        sim::LogCapture capture;
        const auto decoded = adapt();
        sim::flushZVULogger();
        auto expected = c.fields;
        expected[3] = "1:100:ios:abc";
        expected[5] = installIDModel_->installID();
        EXPECT_EQ(decoded.fields, expected);
        EXPECT_EQ(decoded.platform, c.platform);
        if (c.logged) {
            EXPECT_TRUE(capture.containsSubstring(c.logged)) << c.logged;
        } else {
            EXPECT_FALSE(capture.containsSubstring("Failed to read JSON"));
        }
    }
}

TEST_F(ReportAdapterTest, ThePayloadCarriesEveryRecordFileInPathOrder) {
    const std::pair<const char*, const char*> files[] = {
        {"metadata.ctrrecord", "{\"identity\":{}}\n"},
        {"signal.ctrrecord", "{\"signal\":{\"number\":11}}\n"},
        {"binary_images.ctrrecord", "{\"load\":{}}\n"},
        {"readme.txt", "not sent"},
        {"Frames.symbolicated", "{\"threads\":[]}\n"},
    };
    for (const auto& [name, contents] : files) crashtest::writeFile(file(name), contents);
    const auto decoded = adapt();
    const std::vector<std::pair<std::string, std::string>> expected{
        {"binary_images.ctrrecord", "{\"load\":{}}\n"},
        {"Frames.symbolicated", "{\"threads\":[]}\n"},
        {"metadata.ctrrecord", "{\"identity\":{}}\n"},
        {"signal.ctrrecord", "{\"signal\":{\"number\":11}}\n"},
    };
    EXPECT_EQ(decoded.files, expected);

    // Read once, at creation.
    RZRCTRReportAdapter adapter(reportDir_.string(), "app", installIDModel_);
    fs::remove_all(reportDir_);
    EXPECT_EQ(decode(adapter.transportBytes())->files.size(), 4u);
}

// Sizes past 16 bits (nanopb's own array sizes in the system's runtime) are
// written whole; a file that cannot be read refuses the report.
TEST_F(ReportAdapterTest, LargeFilesAreSentWholeAndUnreadableOnesRefuseTheReport) {
    std::string large(70000, ' ');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>('a' + i * 7919 % 26);
    crashtest::writeFile(file("log_a.ctrrecord"), large);
    RZRCTRReportAdapter adapter(reportDir_.string(), "app", installIDModel_);
    ASSERT_TRUE(adapter.isWhole());
    const auto decoded = decode(adapter.transportBytes());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->files.size(), 1u);
    EXPECT_EQ(decoded->files[0].second.size(), large.size());
    EXPECT_TRUE(decoded->files[0].second == large);

    fs::create_directory(file("unreadable.ctrrecord"));
    sim::LogCapture capture;
    RZRCTRReportAdapter refused(reportDir_.string(), "app", installIDModel_);
    sim::flushZVULogger();
    EXPECT_FALSE(refused.isWhole());
    EXPECT_TRUE(refused.transportBytes().empty());
    EXPECT_TRUE(capture.containsSubstring("Failed to read from"));
}

TEST_F(ReportAdapterTest, OnTheWireEmptyFieldsArePresentAndAZeroPlatformIsNot) {
    sim::LogCapture capture;
    RZRCTRReportAdapter adapter((home_ / "missing").string(), "", nullptr);
    const Data bytes = adapter.transportBytes();
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Failed to find .ctrrecords from " +
                                          (home_ / "missing").string()));
    // Fields 1, 3, 5, 6 and 7, each with length 0; no platform, no payload.
    EXPECT_EQ(bytes, (Data{0x0a, 0x00, 0x1a, 0x00, 0x2a, 0x00, 0x32, 0x00, 0x3a, 0x00}));
    EXPECT_EQ(RZRCTRReportAdapter::protoPlatformFromString("TVOS"), 2);
    EXPECT_EQ(RZRCTRReportAdapter::protoPlatformFromString("macos"), 0);
}

}  // namespace
