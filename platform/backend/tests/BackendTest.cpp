#include "platform/backend/Backend.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/backend/InstallationsBackend.h"

namespace {

using json = nlohmann::json;

struct Reply {
    long status = 0;
    std::string body;
    json parsed() const { return json::parse(body, nullptr, false); }
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

Reply call(const std::string& url, const std::string& method, const std::string& body,
           const std::vector<std::string>& headers) {
    Reply reply;
    CURL* easy = curl_easy_init();
    curl_slist* list = nullptr;
    for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
    list = curl_slist_append(list, "Content-Type: application/json");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(easy);
    return reply;
}

const std::string kKey = "X-Zevera-Api-Key: AIzaTestKey";

class BackendTest : public ::testing::Test {
  protected:
    std::string installationsURL(const std::string& rest = "") const {
        return backend_.url() + "/v1/projects/proj-1/installations/" + rest;
    }
    Reply create(const std::string& rid, std::vector<std::string> headers = {kKey}) {
        json body = {{"rid", rid},
                     {"authVersion", "RIS_v2"},
                     {"appId", "1:123:ios:abc"},
                     {"sdkVersion", "i:4.2.0"}};
        return call(installationsURL(), "POST", body.dump(), headers);
    }
    Reply generate(const std::string& rid, const std::string& refreshToken) {
        return call(installationsURL(rid + "/authTokens:generate"), "POST",
                    R"({"installation":{"sdkVersion":"i:4.2.0"}})",
                    {kKey, "Authorization: RIS_v2 " + refreshToken});
    }
    Reply remove(const std::string& rid, const std::string& refreshToken) {
        return call(installationsURL(rid + "/"), "DELETE", "{}",
                    {kKey, "Authorization: RIS_v2 " + refreshToken});
    }

    sim::Backend backend_;
};

TEST_F(BackendTest, InstallationsLifecycleKeepsTheIdentifierToTokenStore) {
    Reply created =
        create("fAbCdEfGhIjKlMnOpQrStU", {kKey, "x-zevera-ris-ios-iid-migration-auth: legacy"});
    ASSERT_EQ(created.status, 200) << created.body;
    json answer = created.parsed();
    EXPECT_EQ(answer["rid"], "fAbCdEfGhIjKlMnOpQrStU");
    EXPECT_EQ(answer["name"], "projects/proj-1/installations/fAbCdEfGhIjKlMnOpQrStU");
    const std::string refresh = answer["refreshToken"];
    EXPECT_EQ(answer["authToken"]["expiresIn"], "604800s");

    auto stored = backend_.installations().installation("proj-1", "fAbCdEfGhIjKlMnOpQrStU");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refreshToken, refresh);
    EXPECT_EQ(stored->authToken, answer["authToken"]["token"]);
    EXPECT_EQ(stored->migrationAuth, "legacy");
    EXPECT_EQ(stored->appId, "1:123:ios:abc");

    backend_.installations().setTokenLifetime(3600);
    backend_.installations().setExpiresInSuffix(false);
    Reply token = generate("fAbCdEfGhIjKlMnOpQrStU", refresh);
    ASSERT_EQ(token.status, 200) << token.body;
    EXPECT_EQ(token.parsed()["expiresIn"], "3600");
    EXPECT_NE(token.parsed()["token"], answer["authToken"]["token"]);
    EXPECT_EQ(backend_.installations().installation("proj-1", "fAbCdEfGhIjKlMnOpQrStU")->authToken,
              token.parsed()["token"]);

    struct Case {
        const char* what;
        std::function<Reply()> send;
        long status;
    };
    const Case cases[] = {
        {"wrong refresh token", [&] { return generate("fAbCdEfGhIjKlMnOpQrStU", "nope"); }, 401},
        {"unknown identifier", [&] { return generate("fUnknownUnknownUnknown", refresh); }, 404},
        {"no API key", [&] { return create("fOther", {}); }, 403},
        {"body not JSON", [&] { return call(installationsURL(), "POST", "{oops", {kKey}); }, 400},
        {"delete with wrong token", [&] { return remove("fAbCdEfGhIjKlMnOpQrStU", "x"); }, 401},
    };
    for (const Case& c : cases) {
        Reply r = c.send();
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.parsed()["error"]["code"], c.status) << c.what << ": " << r.body;
    }
    EXPECT_EQ(backend_.installations().installationCount(), 1u);

    EXPECT_EQ(remove("fAbCdEfGhIjKlMnOpQrStU", refresh).status, 200);
    EXPECT_EQ(backend_.installations().installationCount(), 0u);
    EXPECT_EQ(generate("fAbCdEfGhIjKlMnOpQrStU", refresh).status, 404);

    auto endpoints = backend_.requests("installations");
    ASSERT_EQ(endpoints.size(), 9u);
    EXPECT_EQ(endpoints[0].endpoint, "create");
    EXPECT_EQ(endpoints[2].endpoint, "generateAuthToken");
    EXPECT_EQ(endpoints[2].status, 401);
    EXPECT_EQ(endpoints[7].endpoint, "delete");
    EXPECT_EQ(backend_.requests("installations", "delete").size(), 2u);
}

TEST_F(BackendTest, TheServiceMayAssignAnotherIdentifierOrRefuseUnknownKeys) {
    backend_.installations().assignNextIdentifier("cAssignedAssignedAssig");
    EXPECT_EQ(create("fSentSentSentSentSentS").parsed()["rid"], "cAssignedAssignedAssig");
    EXPECT_EQ(create("fSentSentSentSentSentS").parsed()["rid"], "fSentSentSentSentSentS");
    EXPECT_EQ(create("").parsed()["rid"].get<std::string>().size(), 22u);

    backend_.installations().setAcceptedAPIKeys({"AIzaOther"});
    EXPECT_EQ(create("fX").status, 403);
}

TEST_F(BackendTest, ScriptsAnswerFromTheQueueThenTheDefaultThenTheService) {
    ASSERT_TRUE(backend_.enqueue("installations", "create", sim::BackendScript::withStatus(500)));
    sim::BackendScript custom;
    custom.status = 503;
    custom.body = "busy";
    custom.headers.emplace("Retry-After", "7");
    ASSERT_TRUE(backend_.enqueue("installations", "create", custom));
    ASSERT_TRUE(
        backend_.setDefault("installations", "create", sim::BackendScript::withStatus(400)));
    EXPECT_FALSE(backend_.enqueue("installations", "nonsense", {}));
    EXPECT_FALSE(backend_.enqueue("nonsense", "create", {}));

    Reply first = create("fA");
    EXPECT_EQ(first.status, 500);
    EXPECT_EQ(first.parsed()["error"]["status"], "INTERNAL");
    Reply second = create("fA");
    EXPECT_EQ(second.status, 503);
    EXPECT_EQ(second.body, "busy");
    EXPECT_EQ(create("fA").status, 400);
    EXPECT_EQ(create("fA").status, 400);
    // Scripted answers leave the service's state as it was.
    EXPECT_EQ(backend_.installations().installationCount(), 0u);

    ASSERT_TRUE(backend_.setDefault("installations", "create", sim::BackendScript::delayed({})));
    EXPECT_EQ(create("fA").status, 200);
    EXPECT_EQ(backend_.installations().installationCount(), 1u);

    auto recorded = backend_.requests("installations", "create");
    ASSERT_EQ(recorded.size(), 5u);
    EXPECT_TRUE(recorded[0].scripted);
    EXPECT_FALSE(recorded[4].scripted);
    EXPECT_EQ(recorded[1].status, 503);

    Reply unknown = call(backend_.url() + "/v2/elsewhere", "GET", "", {});
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(backend_.requests().size(), 6u);
    EXPECT_EQ(backend_.requests("installations").size(), 5u);

    backend_.reset();
    EXPECT_EQ(backend_.requestCount(), 0u);
    EXPECT_EQ(backend_.installations().installationCount(), 0u);
    EXPECT_EQ(create("fA").status, 200);
}

}  // namespace
