// The measurement endpoints, fed batches built with the client's own message
// code and configurations read back with it.

#include "platform/backend/MeasurementBackend.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/Wire.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMPBMessage.h"

namespace {

constexpr const char* kAppID = "1:123:mac:abc";
constexpr std::int64_t kNow = 1796860800000;

struct Reply {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ')) value.erase(value.begin());
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        (*static_cast<std::map<std::string, std::string>*>(out))[line.substr(0, colon)] = value;
    }
    return size * count;
}

Reply call(const std::string& url, const std::string* postBody,
           const std::vector<std::string>& headers) {
    Reply reply;
    CURL* easy = curl_easy_init();
    curl_slist* list = nullptr;
    for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    if (postBody) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, postBody->data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &collectHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(easy);
    return reply;
}

// As the client's network layer posts a batch.
Reply postBatch(const sim::Backend& backend, const std::string& body, bool gzipped = true) {
    const std::string sent = gzipped ? sim::wire::gzip(body) : body;
    std::vector<std::string> headers{"Content-Type: application/x-www-form-urlencoded"};
    if (gzipped) headers.push_back("Content-Encoding: gzip");
    return call(backend.url() + "/a", &sent, headers);
}

Reply get(const sim::Backend& backend, const std::string& pathAndQuery,
          const std::vector<std::string>& headers = {}) {
    return call(backend.url() + pathAndQuery, nullptr, headers);
}

sim::MeasurementBackend& measurement(sim::Backend& backend) {
    return *static_cast<sim::MeasurementBackend*>(backend.service(sim::MeasurementBackend::kName));
}

std::shared_ptr<APMPBEventParam> param(const std::string& name, const Value& value) {
    auto p = APMPBEventParam::make();
    APMPBSetString(p.get(), 0, Value(name));
    if (value.isString()) {
        APMPBSetString(p.get(), 1, value);
    } else if (value.isNumber() && !value.isInteger()) {
        APMPBSetDouble(p.get(), 4, value.asDouble().value_or(0));
    } else {
        APMPBSetInt64(p.get(), 2, value.asInt().value_or(0));
    }
    return p;
}

std::shared_ptr<APMPBEvent> event(const std::string& name,
                                  const std::vector<std::shared_ptr<APMPBEventParam>>& params) {
    auto e = APMPBEvent::make();
    APMPBSetString(e.get(), 1, Value(name));
    APMPBSetInt64(e.get(), 2, kNow - 5000);
    APMPBSetInt64(e.get(), 3, kNow - 86400000);
    std::vector<APMPBObject> list(params.begin(), params.end());
    APMPBSetArray(e.get(), 0, list);
    return e;
}

struct BundleShape {
    std::vector<std::shared_ptr<APMPBEvent>> events;
    bool checksum = true;
    // Added to the right checksum, so anything but 0 makes it wrong.
    std::int64_t checksumSkew = 0;
};

// A bundle as the client finishes it for upload: library version and
// upload time, then the checksum over that encoding.
std::shared_ptr<APMPBMeasurementBundle> bundle(const BundleShape& shape) {
    auto b = APMPBMeasurementBundle::make();
    APMPBSetInt32(b.get(), 0, 1);
    std::vector<APMPBObject> events(shape.events.begin(), shape.events.end());
    APMPBSetArray(b.get(), 1, events);
    auto property = APMPBUserAttribute::make();
    APMPBSetInt64(property.get(), 0, kNow - 1000);
    APMPBSetString(property.get(), 1, Value("shortcut_mode"));
    APMPBSetString(property.get(), 2, Value("push_to_talk"));
    std::vector<APMPBObject> properties{APMPBObject(property)};
    APMPBSetArray(b.get(), 2, properties);
    auto current = APMPBResultData::make();
    std::vector<APMPBObject> words{APMPBObject(Value(5ULL))};
    APMPBSetArray(current.get(), 0, words);
    APMPBSetArray(current.get(), 1, words);
    auto audience = APMPBAudienceLeafFilterResult::make();
    APMPBSetInt32(audience.get(), 0, 12);
    APMPBSetMessage(audience.get(), 1, current.get());
    APMPBSetBool(audience.get(), 3, true);
    std::vector<APMPBObject> audiences{APMPBObject(audience)};
    APMPBSetArray(b.get(), 28, audiences);
    APMPBSetString(b.get(), 8, Value("macos"));
    APMPBSetString(b.get(), 14, Value(kAppID));
    APMPBSetString(b.get(), 22, Value("instance-1"));
    APMPBSetInt64(b.get(), 18, 40103);
    APMPBSetInt64(b.get(), 3, kNow);
    if (shape.checksum) {
        const std::int64_t sum = apm_64LSBMD5(*b->protoBuffer());
        APMPBSetInt64(b.get(), 38, sum + shape.checksumSkew);
    }
    return b;
}

std::string batch(const std::vector<BundleShape>& shapes) {
    auto message = APMPBMeasurementBatch::make();
    std::vector<APMPBObject> bundles;
    for (const auto& shape : shapes) bundles.emplace_back(bundle(shape));
    APMPBSetArray(message.get(), 0, bundles);
    const Data bytes = message->protoBuffer().value_or(Data{});
    return std::string(bytes.begin(), bytes.end());
}

TEST(MeasurementBackendTest, RecordsTheBundlesOfABatchTheClientEncoded) {
    sim::Backend backend;
    const std::string body = batch(
        {{{event("changed_push_to_talk", {param("mode", Value("toggle")),
                                          param("count", Value(3LL)), param("level", Value(0.5))}),
           event("_s", {param("_sr", Value(10LL))})},
          true},
         {{event("_e", {})}, false}});
    const Reply reply = postBatch(backend, body);
    EXPECT_EQ(reply.status, 200);

    const auto uploads = measurement(backend).uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].accepted) << uploads[0].reason;
    EXPECT_EQ(uploads[0].contentType, "application/x-www-form-urlencoded");
    const auto bundles = measurement(backend).acceptedBundles();
    ASSERT_EQ(bundles.size(), 2u);
    const auto& first = bundles[0];
    EXPECT_EQ(first.appID, kAppID);
    EXPECT_EQ(first.appInstanceID, "instance-1");
    EXPECT_EQ(first.platform, "macos");
    EXPECT_EQ(first.uploadLibraryVersion, 40103);
    EXPECT_EQ(first.uploadTimestampMillis, kNow);
    ASSERT_TRUE(first.checksum);
    EXPECT_TRUE(first.checksumMatches);
    EXPECT_FALSE(bundles[1].checksum);

    ASSERT_EQ(first.events.size(), 2u);
    const auto& logged = first.events[0];
    EXPECT_EQ(logged.name, "changed_push_to_talk");
    EXPECT_EQ(logged.timestampMillis, kNow - 5000);
    EXPECT_EQ(logged.previousTimestampMillis, kNow - 86400000);
    ASSERT_TRUE(logged.param("mode"));
    EXPECT_EQ(logged.param("mode")->stringValue, "toggle");
    EXPECT_EQ(logged.param("count")->intValue, 3);
    EXPECT_EQ(logged.param("level")->doubleValue, 0.5);
    EXPECT_EQ(first.events[1].param("_sr")->intValue, 10);
    EXPECT_EQ(bundles[1].events[0].name, "_e");

    ASSERT_EQ(first.userProperties.size(), 1u);
    EXPECT_EQ(first.userProperties[0].name, "shortcut_mode");
    EXPECT_EQ(first.userProperties[0].stringValue, "push_to_talk");
    EXPECT_EQ(first.userProperties[0].setTimestampMillis, kNow - 1000);
    ASSERT_EQ(first.audienceResults.size(), 1u);
    EXPECT_EQ(first.audienceResults[0].audienceID, 12);
    EXPECT_TRUE(first.audienceResults[0].newAudience);
    ASSERT_TRUE(first.audienceResults[0].current);
    EXPECT_EQ(first.audienceResults[0].current->status, std::vector<std::uint64_t>{5});
    EXPECT_EQ(first.audienceResults[0].current->results, std::vector<std::uint64_t>{5});
    EXPECT_FALSE(first.audienceResults[0].previous);

    const std::string state = measurement(backend).describeState();
    EXPECT_NE(state.find("batch 1: 2 bundle(s), 3 event(s)"), std::string::npos) << state;
}

TEST(MeasurementBackendTest, RefusesWhatIsNotASoundCompressedBatch) {
    const std::string good = batch({{{event("_e", {})}, true}});
    struct Case {
        const char* what;
        std::string body;
        bool gzipped;
    };
    const Case cases[] = {
        {"not compressed", good, false},
        {"compressed twice", sim::wire::gzip(good), true},
        {"a checksum one off", batch({{{event("_e", {})}, true, 1}}), true},
        {"a wrong checksum in the second bundle",
         batch({{{event("_e", {})}, true}, {{event("_s", {})}, true, -7}}), true},
        {"garbage", std::string("\xff\xff\xff\xff\x0f", 5), true},
        {"cut short", good.substr(0, good.size() - 3), true},
        {"no bundles", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Backend backend;
        EXPECT_EQ(postBatch(backend, c.body, c.gzipped).status, 400);
        EXPECT_EQ(measurement(backend).rejectedCount(), 1u);
        EXPECT_TRUE(measurement(backend).acceptedBundles().empty());
    }
    sim::Backend backend;
    EXPECT_EQ(postBatch(backend, good).status, 200);
    EXPECT_EQ(measurement(backend).acceptedBundles().size(), 1u);
}

TEST(MeasurementBackendTest, ScriptedStatusesAnswerInTurnAndRecordNothing) {
    sim::Backend backend;
    ASSERT_TRUE(backend.enqueue(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload,
                                sim::BackendScript::withStatus(503)));
    ASSERT_TRUE(backend.enqueue(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload,
                                sim::BackendScript::withStatus(429)));
    const std::string body = batch({{{event("_e", {})}, true}});
    const long expected[] = {503, 429, 200};
    for (long status : expected) EXPECT_EQ(postBatch(backend, body).status, status);
    EXPECT_EQ(measurement(backend).uploads().size(), 1u);
    EXPECT_EQ(measurement(backend).acceptedBundles().size(), 1u);
    EXPECT_EQ(
        backend.requests(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload).size(),
        3u);
}

TEST(MeasurementBackendTest, ServesConfigurationsWithLastModified) {
    sim::Backend backend;
    auto& service = measurement(backend);
    sim::MeasurementBackend::Configuration configuration;
    configuration.version = 7;
    configuration.settings = {{"measurement.event_sampling_enabled", "1"}};
    configuration.events = {{"changed_push_to_talk", std::nullopt, true, 10}};
    service.setConfiguration(kAppID, configuration, "Thu, 10 Dec 2026 08:00:00 GMT");
    service.setConfigurationError("1:9:mac:down", 503);

    const std::string path = "/config/app/1%3A123%3Amac%3Aabc";
    const std::string query =
        "?app_instance_id=instance%2B1%2Fa&platform=macos&runtime_version=3&ruv_version=40103";
    const Reply fresh = get(backend, path + query);
    ASSERT_EQ(fresh.status, 200);
    EXPECT_EQ(fresh.headers.at("Last-Modified"), "Thu, 10 Dec 2026 08:00:00 GMT");
    const Data bytes(fresh.body.begin(), fresh.body.end());
    auto decoded = APMPBMeasurementConfig::initWithBuffer(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(APMPBGetInt64(decoded.get(), 0), 7);
    EXPECT_EQ(APMPBGetString(decoded.get(), 1), kAppID);
    auto settings = APMPBGetArray(decoded.get(), 3, APMPBSetting::classObject());
    ASSERT_TRUE(settings && settings->size() == 1);
    EXPECT_EQ(APMPBGetString((*settings)[0].message().get(), 1), "1");
    auto events = APMPBGetArray(decoded.get(), 4, APMPBEventConfig::classObject());
    ASSERT_TRUE(events && events->size() == 1);
    EXPECT_EQ(APMPBGetInt32((*events)[0].message().get(), 3), 10);
    EXPECT_TRUE(APMPBGetBool((*events)[0].message().get(), 2));
    EXPECT_FALSE(APMPBHasField((*events)[0].message().get(), 1));

    struct Case {
        const char* what;
        std::string path;
        std::vector<std::string> headers;
        long status;
    };
    const Case cases[] = {
        {"unchanged since", path, {"If-Modified-Since: Thu, 10 Dec 2026 08:00:00 GMT"}, 304},
        {"changed since", path, {"If-Modified-Since: Wed, 09 Dec 2026 08:00:00 GMT"}, 200},
        {"unknown app", "/config/app/1%3A999%3Amac%3Aabc", {}, 404},
        {"scripted error", "/config/app/1:9:mac:down", {}, 503},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply reply = get(backend, c.path + query, c.headers);
        EXPECT_EQ(reply.status, c.status);
        if (c.status == 304) {
            EXPECT_TRUE(reply.body.empty());
        }
    }

    const auto requests = service.configRequests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].appID, kAppID);
    EXPECT_EQ(requests[0].query,
              (std::map<std::string, std::string>{{"app_instance_id", "instance+1/a"},
                                                  {"platform", "macos"},
                                                  {"runtime_version", "3"},
                                                  {"ruv_version", "40103"}}));
    EXPECT_FALSE(requests[0].ifModifiedSince);
    EXPECT_EQ(requests[1].ifModifiedSince, "Thu, 10 Dec 2026 08:00:00 GMT");
    EXPECT_EQ(requests[3].appID, "1:999:mac:abc");
    EXPECT_EQ(requests[4].status, 503);
}

TEST(MeasurementBackendTest, EveryNewConfigurationGetsANewStamp) {
    sim::Backend backend;
    auto& service = measurement(backend);
    service.setConfiguration(kAppID, {});
    const auto first = service.lastModified(kAppID);
    sim::MeasurementBackend::Configuration second;
    second.version = 2;
    service.setConfiguration(kAppID, second);
    const auto changed = service.lastModified(kAppID);
    ASSERT_TRUE(first && changed);
    EXPECT_NE(*first, *changed);
    const Reply reply =
        get(backend, std::string("/config/app/") + kAppID, {"If-Modified-Since: " + *first});
    EXPECT_EQ(reply.status, 200);
}

}  // namespace
