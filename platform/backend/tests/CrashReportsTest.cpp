// Report messages reaching the crash target, compressed or not, are decoded.

#include "platform/backend/CrashReports.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/backend/Backend.h"
#include "platform/backend/TransportBackend.h"
#include "platform/backend/Wire.h"

namespace {

using sim::wire::encodeVarint;
std::string field(std::uint32_t number, const std::string& bytes) {
    return encodeVarint(number << 3 | 2) + encodeVarint(bytes.size()) + bytes;
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
    const std::string batch = encodeVarint(2 << 3) + encodeVarint(1206) + field(3, event);
    return field(1, batch);
}

TEST(CrashReports, TheCrashTargetDecodesReportMessagesCompressedOrNot) {
    const std::string file =
        field(1, "signal.ctrrecord") + field(2, std::string(2000, 'x') + "{\"signal\":{}}\n");
    const std::string report = field(1, "4.2.0") + field(3, "1:100:mac:abc") +
                               encodeVarint(4 << 3) + encodeVarint(5) + field(5, "INSTALL") +
                               field(6, "107") + field(7, "2.4.1") + field(10, field(1, file));
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
        EXPECT_EQ(post(backend.url() + "/v1/rzrlog/legacy/batchlog",
                       c.gzipped ? sim::wire::gzip(body) : body, c.gzipped),
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
