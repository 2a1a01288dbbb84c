#include "platform/backend/RemoteConfigBackend.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

sim::RecordedRequest fetchRequest(std::string body) {
    sim::RecordedRequest r;
    r.method = "POST";
    r.path = "/v1/projects/p/namespaces/reruzera:fetch";
    r.query = "key=K";
    r.headers.emplace("Content-Type", "application/json");
    r.headers.emplace("x-zevera-reruzera-installations-auth", "token");
    r.headers.emplace("X-Ios-Bundle-Identifier", "com.example");
    r.headers.emplace("Content-Encoding", "gzip");
    r.body = std::move(body);
    return r;
}

const char* kText =
    "{app_instance_id:'i\\'d', app_id:'1:2:ios:3', analytics_user_properties:{\"a\":\"}\"}}";

TEST(RemoteConfigBackend, ChecksEveryHeaderAndTheRequestText) {
    sim::RemoteConfigBackend service(nullptr);
    ASSERT_EQ(service.route(fetchRequest(kText)), std::optional<std::string>("fetch"));
    struct Case {
        const char* what;
        std::function<void(sim::RecordedRequest&)> spoil;
        int status;
    };
    const Case cases[] = {
        {"as sent", [](sim::RecordedRequest&) {}, 200},
        {"no key", [](sim::RecordedRequest& r) { r.query = ""; }, 403},
        {"no token",
         [](sim::RecordedRequest& r) { r.headers.erase("x-zevera-reruzera-installations-auth"); },
         401},
        {"content type", [](sim::RecordedRequest& r) { r.headers.erase("Content-Type"); }, 400},
        {"bundle", [](sim::RecordedRequest& r) { r.headers.erase("X-Ios-Bundle-Identifier"); },
         400},
        {"encoding", [](sim::RecordedRequest& r) { r.headers.erase("Content-Encoding"); }, 400},
        {"bad gzip", [](sim::RecordedRequest& r) { r.body = std::string("\x1f\x8b garbage"); },
         400},
        {"unquoted", [](sim::RecordedRequest& r) { r.body = "{app_instance_id:x, app_id:'a'}"; },
         400},
        {"quote breaks out",
         [](sim::RecordedRequest& r) { r.body = "{app_instance_id:'a'b', app_id:'a'}"; }, 400},
    };
    for (const auto& c : cases) {
        auto request = fetchRequest(kText);
        c.spoil(request);
        EXPECT_EQ(service.handle("fetch", request).status, c.status) << c.what;
    }
    auto fields = service.lastRequestFields();
    EXPECT_EQ(fields["app_instance_id"], "i'd");
    EXPECT_EQ(fields["analytics_user_properties"], "{\"a\":\"}\"}");
}

TEST(RemoteConfigBackend, AnswersTheTemplateStates) {
    sim::RemoteConfigBackend service(nullptr);
    auto state = [&](const sim::RecordedRequest& r) {
        auto answer = service.handle("fetch", r);
        return nlohmann::json::parse(answer.body).value("state", "");
    };
    EXPECT_EQ(state(fetchRequest(kText)), "NO_TEMPLATE");
    service.setValue("p", "reruzera", "k", "v");
    auto answer = service.handle("fetch", fetchRequest(kText));
    auto body = nlohmann::json::parse(answer.body);
    EXPECT_EQ(body["state"], "UPDATE");
    EXPECT_EQ(body["entries"]["k"], "v");
    auto again = fetchRequest(kText);
    again.headers.emplace("if-none-match", *service.etag("p", "reruzera"));
    EXPECT_EQ(state(again), "NO_CHANGE");
    service.removeValue("p", "reruzera", "k");
    EXPECT_EQ(state(again), "EMPTY_CONFIG");
}

}  // namespace
