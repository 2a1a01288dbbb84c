#include "platform/backend/DeepLinkBackend.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "platform/backend/Backend.h"

namespace {

struct Reply {
    long status = 0;
    std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

Reply get(const std::string& url) {
    Reply reply;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(easy);
    return reply;
}

sim::DeepLinkBackend& deepLinks(sim::Backend& backend) {
    return *static_cast<sim::DeepLinkBackend*>(backend.service(sim::DeepLinkBackend::kName));
}

TEST(DeepLinkBackendTest, ChecksTheQueryAndAnswersTheLinkOfTheIdentifier) {
    sim::Backend backend;
    deepLinks(backend).setLink("AB-1",
                               {"lumbrel://promo?utm_source=ads", "z-1", std::nullopt, 7.5});
    const std::string good =
        "sdk_version=40103&rdid=AB-1&id_type=idfa&bundleid=1%3A1%3Amac&retry=0";
    struct Case {
        const char* label;
        std::string query;
        long status;
    };
    const Case cases[] = {
        {"link waiting", good, 200},
        {"test flag", good + "&ddl_test=1", 200},
        {"other identifier", "sdk_version=40103&rdid=CD-2&id_type=idfa&bundleid=b&retry=3", 204},
        {"no rdid", "sdk_version=40103&id_type=idfa&bundleid=b&retry=0", 400},
        {"empty bundle", "sdk_version=40103&rdid=AB-1&id_type=idfa&bundleid=&retry=0", 400},
        {"other id type", "sdk_version=40103&rdid=AB-1&id_type=idfv&bundleid=b&retry=0", 400},
        {"retry not a number", "sdk_version=40103&rdid=AB-1&id_type=idfa&bundleid=b&retry=x", 400},
    };
    for (const Case& c : cases) {
        const Reply reply = get(backend.url() + sim::DeepLinkBackend::kPath + "?" + c.query);
        EXPECT_EQ(reply.status, c.status) << c.label;
        if (c.status == 200) {
            auto body = nlohmann::json::parse(reply.body);
            EXPECT_EQ(body, (nlohmann::json{{"deeplink", "lumbrel://promo?utm_source=ads"},
                                            {"zclid", "z-1"},
                                            {"timestamp", 7.5}}))
                << c.label;
        }
        if (c.status == 204) {
            EXPECT_EQ(reply.body, "") << c.label;
        }
    }
    EXPECT_EQ(deepLinks(backend).servedCount(), 2u);
    auto recorded = backend.requests(sim::DeepLinkBackend::kName, sim::DeepLinkBackend::kDeepLink);
    ASSERT_EQ(recorded.size(), std::size(cases));
    EXPECT_EQ(sim::DeepLinkBackend::queryArguments(recorded[0].request.query).at("bundleid"),
              "1:1:mac");

    // A removed link is no longer handed out; a POST is not this endpoint.
    deepLinks(backend).removeLink("AB-1");
    EXPECT_EQ(get(backend.url() + sim::DeepLinkBackend::kPath + "?" + good).status, 204);
    backend.reset();
    EXPECT_EQ(deepLinks(backend).servedCount(), 0u);
}

TEST(DeepLinkBackendTest, QueryArgumentsAreDecodedAndTheFirstOccurrenceWins) {
    const auto arguments = sim::DeepLinkBackend::queryArguments("a=1&b=x%20y+z&a=2&c&&d=%zz&e=%4");
    const std::map<std::string, std::string> expected{
        {"a", "1"}, {"b", "x y z"}, {"c", ""}, {"d", "%zz"}, {"e", "%4"}};
    EXPECT_EQ(arguments, expected);
}

}  // namespace
