#include "platform/testing/TestServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

Reply fetch(const std::string& url, const std::string& postBody = {}) {
    Reply reply;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    if (!postBody.empty()) curl_easy_setopt(easy, CURLOPT_POSTFIELDS, postBody.c_str());
    reply.code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(easy);
    return reply;
}

}  // namespace

TEST(TestServerTest, AnswersInPriorityOrderAndRecordsEveryRequest) {
    sim::TestServer server;
    ASSERT_GT(server.port(), 0);
    server.setResponse("/a", sim::ScriptedResponse::text(201, "fixed"));
    server.enqueue("/a", sim::ScriptedResponse::text(202, "queued-for-a"));
    server.enqueue(sim::ScriptedResponse::text(203, "queued-any"));

    struct Case {
        std::string path;
        long status;
        std::string body;
    };
    for (const Case& c : {Case{"/a", 202, "queued-for-a"}, Case{"/a", 203, "queued-any"},
                          Case{"/a", 201, "fixed"}, Case{"/b", 404, "Not Found"}}) {
        Reply r = fetch(server.url(c.path + "?x=1"));
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.body, c.body) << c.path;
    }
    fetch(server.url("/post"), "payload");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].query, "x=1");
    EXPECT_EQ(requests[4].method, "POST");
    EXPECT_EQ(requests[4].body, "payload");
    EXPECT_TRUE(requests[4].header("content-length").has_value());
}

TEST(TestServerTest, DropsTheConnectionInsideTheBodyAndStopsListening) {
    sim::TestServer server;
    auto script = sim::ScriptedResponse::text(200, std::string(1000, 'x'));
    script.dropAfterBytes = 10;
    server.enqueue(script);
    Reply truncated = fetch(server.url("/"));
    EXPECT_NE(truncated.code, CURLE_OK);
    EXPECT_EQ(truncated.body.size(), 10u);

    std::string url = server.url("/");
    server.stop();
    EXPECT_EQ(fetch(url).code, CURLE_COULDNT_CONNECT);
}
