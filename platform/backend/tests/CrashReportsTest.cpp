// Report messages reaching the crash target, compressed or not, are decoded.

#include "platform/backend/CrashReports.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "platform/backend/Backend.h"
#include "platform/backend/TransportBackend.h"

namespace {

std::string varint(std::uint64_t value) {
    std::string out;
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
    return out;
}
std::string field(std::uint32_t number, const std::string& bytes) {
    return varint(number << 3 | 2) + varint(bytes.size()) + bytes;
}

std::string gzip(const std::string& plain) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, plain.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

long post(const std::string& url, const std::string& body, bool gzipped) {
    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/x-protobuf");
    headers = curl_slist_append(headers, "X-Forwarded-Host: crashreports.zevera.example");
    if (gzipped) headers = curl_slist_append(headers, "Content-Encoding: gzip");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return status;
}

// An upload of one event of the crash target carrying the payload.
std::string upload(const std::string& payload) {
    const std::string event = field(6, payload);
    const std::string batch = varint(2 << 3) + varint(1206) + field(3, event);
    return field(1, batch);
}

TEST(CrashReports, TheCrashTargetDecodesReportMessagesCompressedOrNot) {
    const std::string file =
        field(1, "signal.ctrrecord") + field(2, std::string(2000, 'x') + "{\"signal\":{}}\n");
    const std::string report = field(1, "4.2.0") + field(3, "1:100:mac:abc") + varint(4 << 3) +
                               varint(5) + field(5, "INSTALL") + field(6, "107") +
                               field(7, "2.4.1") + field(10, field(1, file));
    struct Case {
        const char* name;
        bool gzipped;
        std::string payload;
        std::size_t reports;
    };
    const Case cases[] = {
        {"plain", false, report, 1},
        {"gzip", true, report, 1},
        {"not a report", true, std::string("\xff\xff\xff", 3), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Backend backend;
        const std::string body = upload(c.payload);
        EXPECT_EQ(post(backend.url() + "/v1/rzrlog/legacy/batchlog", c.gzipped ? gzip(body) : body,
                       c.gzipped),
                  200);
        auto* transport =
            dynamic_cast<sim::TransportBackend*>(backend.service(sim::TransportBackend::kName));
        const auto reports = transport->crashReports();
        ASSERT_EQ(reports.size(), c.reports);
        if (c.reports == 0) continue;
        EXPECT_EQ(reports[0].sdkVersion, "4.2.0");
        EXPECT_EQ(reports[0].zeveraAppID, "1:100:mac:abc");
        EXPECT_EQ(reports[0].platform, 5);
        EXPECT_EQ(reports[0].installationID, "INSTALL");
        EXPECT_EQ(reports[0].buildVersion, "107");
        EXPECT_EQ(reports[0].displayVersion, "2.4.1");
        EXPECT_EQ(reports[0].file("signal.ctrrecord"),
                  std::string(2000, 'x') + "{\"signal\":{}}\n");
        EXPECT_FALSE(reports[0].file("metadata.ctrrecord"));
    }
}

}  // namespace
