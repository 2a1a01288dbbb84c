#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "services/crash/RZRCTRMultipartMimeStreamEncoder.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

std::string text(const Data& data) {
    return std::string(data.begin(), data.end());
}

Data bytes(const std::string& s) {
    return Data(s.begin(), s.end());
}

std::string encodeWith(const RZRCTRMultipartMimeStreamEncoder::EncodeBlock& block,
                       std::uint64_t* length = nullptr, std::size_t capacity = SIZE_MAX) {
    auto stream = std::make_shared<NSMemoryOutputStream>(capacity);
    auto encoder = RZRCTRMultipartMimeStreamEncoder::encoderWithStream(stream, std::string("B"));
    encoder->encode(block);
    if (length) *length = encoder->length();
    EXPECT_FALSE(stream->isOpen());
    return text(stream->dataWritten());
}

TEST(RZRCTRMultipartMimeStreamEncoderTest, PartsAreLaidOutAsFormData) {
    using Encoder = RZRCTRMultipartMimeStreamEncoder;
    struct Case {
        std::string name;
        Encoder::EncodeBlock block;
        std::string body;
    };
    const std::string head = "MIME-Version: 1.0\r\n";
    const std::string foot = "--B--\r\n";
    const std::vector<Case> cases = {
        {"value", [](Encoder& e) { e.addValue(Value("1"), "a"); },
         head +
             "--B\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: "
             "text/plain\r\n\r\n1\r\n" +
             foot},
        {"number", [](Encoder& e) { e.addValue(Value(7), "n"); },
         head +
             "--B\r\nContent-Disposition: form-data; name=\"n\"\r\nContent-Type: "
             "text/plain\r\n\r\n7\r\n" +
             foot},
        {"typed file",
         [](Encoder& e) { e.addFileData(bytes("xy"), "f.json", "application/json", "file"); },
         head +
             "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.json\"\r\n"
             "Content-Type: application/json\r\nContent-Transfer-Encoding: binary\r\n\r\nxy\r\n" +
             foot},
        {"untyped file",
         [](Encoder& e) { e.addFileData(bytes("z"), "f.bin", std::nullopt, "file"); },
         head +
             "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\nz\r\n" +
             foot},
        {"refused",
         [](Encoder& e) {
             e.addFileData({}, "f", std::nullopt, "empty");
             e.addFileData(bytes("z"), "", std::nullopt, "file");
             e.addFileData(bytes("z"), "f", std::nullopt, "");
             e.addValue(Value(), "a");
             e.addValue(Value("1"), "");
         },
         head + foot},
    };
    for (const auto& c : cases) {
        std::uint64_t length = 0;
        EXPECT_EQ(encodeWith(c.block, &length), c.body) << c.name;
        EXPECT_EQ(length, c.body.size()) << c.name;
    }
}

TEST(RZRCTRMultipartMimeStreamEncoderTest, RefusalsAreLogged) {
    sim::LogCapture capture;
    encodeWith([](RZRCTRMultipartMimeStreamEncoder& e) {
        e.addFileData({}, "f", std::nullopt, "empty");
        e.addValue(Value(), "a");
        e.addFileData(bytes("z"), "", std::nullopt, "file");
    });
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Unable to MIME encode data with zero length (empty)"));
    EXPECT_TRUE(capture.containsSubstring("name (a) or value ("));
    EXPECT_TRUE(capture.containsSubstring("name (file) or fieldname () is invalid"));
}

TEST(RZRCTRMultipartMimeStreamEncoderTest, ContentLengthMatchesTheBytesCollectedAfterShortWrites) {
    for (std::size_t capacity : {0u, 5u, 19u, 20u, 40u, 80u, 95u, 110u, 150u}) {
        std::uint64_t length = 0;
        const std::string body = encodeWith(
            [](RZRCTRMultipartMimeStreamEncoder& e) {
                e.addValue(Value("value"), "a");
                e.addFileData(bytes(std::string(30, 'x')), "f", std::nullopt, "file");
            },
            &length, capacity);
        EXPECT_EQ(length, body.size()) << capacity;
    }
}

TEST(RZRCTRMultipartMimeStreamEncoderTest, PopulatesARequestFromAFile) {
    const auto path =
        std::filesystem::temp_directory_path() / ("mime-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "contents";
    NSURLRequest request(*NSURL::URLWithString("https://h.test/upload"));
    RZRCTRMultipartMimeStreamEncoder::populateRequest(request, [&](auto& e) {
        e.addFile(NSURL::fileURLWithPath(path.string()), "r.txt", "text/plain", "report");
        e.addFile(NSURL::fileURLWithPath(path.string() + ".missing"), "m.txt", std::nullopt,
                  "gone");
    });
    std::filesystem::remove(path);
    ASSERT_TRUE(request.HTTPBody);
    const std::string body = text(*request.HTTPBody);
    const auto contentType = request.valueForHTTPHeaderField("Content-Type");
    ASSERT_TRUE(contentType);
    const std::string prefix = "multipart/form-data; boundary=";
    ASSERT_EQ(contentType->rfind(prefix, 0), 0u);
    const std::string boundary = contentType->substr(prefix.size());
    EXPECT_EQ(boundary.size(), 36u);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
    EXPECT_NE(body.find("filename=\"r.txt\"\r\nContent-Type: text/plain\r\n"
                        "Content-Transfer-Encoding: binary\r\n\r\ncontents\r\n"),
              std::string::npos);
    EXPECT_EQ(body.find("gone"), std::string::npos);
    EXPECT_EQ(body.substr(body.size() - boundary.size() - 6), "--" + boundary + "--\r\n");
}

}  // namespace
