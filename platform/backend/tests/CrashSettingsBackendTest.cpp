#include "platform/backend/CrashSettingsBackend.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace {

struct Reply {
    long status = 0;
    std::string body;
    std::string contentType;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

Reply get(const std::string& url, const std::vector<std::string>& headers) {
    Reply reply;
    CURL* easy = curl_easy_init();
    curl_slist* list = nullptr;
    for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    char* type = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
    if (type) reply.contentType = type;
    curl_slist_free_all(list);
    curl_easy_cleanup(easy);
    return reply;
}

const std::string kPath = "/spi/v2/platforms/mac/ruv/1:1:mac:a/settings?build_version=1";

std::vector<std::string> goodHeaders() {
    return {"X-Crashtrace-Developer-Token: 3b8e1f0c9a7d42e6b5c1d8f3a0e9b7c4d2f6a81e",
            "X-Crashtrace-API-Client-Id: com.zevera.reruzera.crashtrace.mac",
            "X-Crashtrace-Zevera-App-Id: 1:1:mac:a", "X-Crashtrace-Installation-ID: i-1",
            "Accept: application/json"};
}

TEST(CrashSettingsBackendTest, ChecksTheHeadersInOrder) {
    sim::Backend backend;
    struct Case {
        std::string name;
        std::size_t dropped;  // index of the header left out or replaced
        std::string replacement;
        long status;
    };
    const std::vector<Case> cases = {
        {"all good", 99, "", 200},
        {"no token", 0, "", 403},
        {"wrong token", 0, "X-Crashtrace-Developer-Token: 0000", 403},
        {"no client", 1, "", 400},
        {"foreign client", 1, "X-Crashtrace-API-Client-Id: com.other.sdk", 400},
        {"other app", 2, "X-Crashtrace-Zevera-App-Id: 1:1:mac:b", 400},
        {"no installation", 3, "", 400},
        {"wrong accept", 4, "Accept: text/html", 406},
    };
    for (const auto& c : cases) {
        auto headers = goodHeaders();
        if (c.dropped < headers.size()) {
            if (c.replacement.empty())
                headers.erase(headers.begin() + static_cast<long>(c.dropped));
            else
                headers[c.dropped] = c.replacement;
        }
        EXPECT_EQ(get(backend.url() + kPath, headers).status, c.status) << c.name;
    }
}

TEST(CrashSettingsBackendTest, ServesScriptedDocumentsWithTheirContentType) {
    sim::Backend backend;
    auto* host =
        dynamic_cast<sim::CrashSettingsBackend*>(backend.service(sim::CrashSettingsBackend::kName));
    ASSERT_NE(host, nullptr);
    auto reply = get(backend.url() + kPath, goodHeaders());
    EXPECT_EQ(reply.body, sim::CrashSettingsBackend::kDefaultDocument);
    EXPECT_EQ(reply.contentType, "application/json; charset=utf-8");

    host->setSettingsDocument("1:1:mac:a", R"({"cache_duration":60})");
    host->setContentType("application/json;charset=UTF-8");
    reply = get(backend.url() + kPath, goodHeaders());
    EXPECT_EQ(reply.body, R"({"cache_duration":60})");
    EXPECT_EQ(reply.contentType, "application/json;charset=UTF-8");

    host->removeSettingsDocument("1:1:mac:a");
    EXPECT_EQ(get(backend.url() + kPath, goodHeaders()).status, 404);
    EXPECT_EQ(host->servedCount(), 2u);
    EXPECT_EQ(backend.requests(sim::CrashSettingsBackend::kName).size(), 3u);
}

}  // namespace
