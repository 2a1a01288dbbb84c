#include "platform/net/NSURL.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/log/Log.h"
#include "platform/net/NSURLSession.h"

TEST(NSURLTest, ParsesAndResolvesWithCurlsRules) {
    auto url = NSURL::URLWithString("https://api.example.com:8443/a/b%20c?x=1&y=2");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->host(), "api.example.com");
    EXPECT_EQ(url->port(), 8443);
    EXPECT_EQ(url->path(), "/a/b c");
    EXPECT_EQ(url->query(), "x=1&y=2");
    EXPECT_EQ(url->lastPathComponent(), "b c");

    struct Case {
        const char* reference;
        const char* expected;
    };
    for (const Case& c : {Case{"../d", "https://api.example.com:8443/d"},
                          Case{"/root?q", "https://api.example.com:8443/root?q"},
                          Case{"http://other.org/x", "http://other.org/x"}}) {
        auto resolved = NSURL::URLWithString(c.reference, *url);
        ASSERT_TRUE(resolved) << c.reference;
        EXPECT_EQ(resolved->absoluteString(), c.expected);
    }
    EXPECT_FALSE(NSURL::URLWithString(""));
    EXPECT_FALSE(NSURL::URLWithString("not a url"));
}

TEST(NSURLTest, FileURLsKeepTheirPathThroughEncoding) {
    auto file = NSURL::fileURLWithPath("/tmp/a dir/ZVUUpload_temp_x");
    EXPECT_TRUE(file.isFileURL());
    EXPECT_EQ(file.absoluteString(), "file:///tmp/a%20dir/ZVUUpload_temp_x");
    EXPECT_EQ(file.path(), "/tmp/a dir/ZVUUpload_temp_x");
    EXPECT_EQ(NSURL::fileURLWithPath("/tmp/a dir").URLByAppendingPathComponent("b c").path(),
              "/tmp/a dir/b c");
    EXPECT_EQ(
        NSURL::URLWithString("http://h/p?q=1")->URLByAppendingPathComponent("x").absoluteString(),
        "http://h/p/x?q=1");
}

TEST(NSURLTest, ServiceOverrideMapsEveryRemoteHostButNotLoopback) {
    sim::setServiceHostOverride("http://127.0.0.1:4000/");
    struct Case {
        const char* url;
        const char* fetched;
    };
    for (const Case& c :
         {Case{"https://svc.example.com/v1/x?y=1#frag", "http://127.0.0.1:4000/v1/x?y=1"},
          Case{"https://svc.example.com", "http://127.0.0.1:4000/"},
          Case{"http://127.0.0.1:9/keep", "http://127.0.0.1:9/keep"},
          Case{"file:///tmp/x", "file:///tmp/x"}}) {
        EXPECT_EQ(sim::resolveServiceURL(*NSURL::URLWithString(c.url)).absoluteString(), c.fetched)
            << c.url;
    }
    sim::clearServiceHostOverride();
    EXPECT_EQ(
        sim::resolveServiceURL(*NSURL::URLWithString("https://svc.example.com/a")).absoluteString(),
        "https://svc.example.com/a");
}

TEST(NSURLTest, OnlyALoopbackServiceBaseIsUsed) {
    const std::string remote = "https://svc.example.com/v1/x?y=1";
    struct Case {
        const char* base;
        const char* fetched;  // nullptr: refused, the URL is fetched as it is
    };
    for (const Case& c : {
             Case{"http://127.0.0.1:4000", "http://127.0.0.1:4000/v1/x?y=1"},
             Case{"http://127.45.6.7:4000/", "http://127.45.6.7:4000/v1/x?y=1"},
             Case{"http://localhost:4000", "http://localhost:4000/v1/x?y=1"},
             Case{"http://LOCALHOST:4000", "http://LOCALHOST:4000/v1/x?y=1"},
             Case{"http://[::1]:4000", "http://[::1]:4000/v1/x?y=1"},
             Case{"http://10.0.0.8:4000", nullptr},
             Case{"http://svc.attacker.test", nullptr},
             Case{"http://127.0.0.1.attacker.test:4000", nullptr},
             Case{"http://localhost.attacker.test", nullptr},
             Case{"http://128.0.0.1", nullptr},
             Case{"http://[::2]:4000", nullptr},
             Case{"ftp://127.0.0.1/", nullptr},
             Case{"not a url", nullptr},
         }) {
        SCOPED_TRACE(c.base);
        for (bool fromEnvironment : {true, false}) {
            if (fromEnvironment)
                ::setenv("LUMBREL_SERVICE_BASE_URL", c.base, 1);
            else
                sim::setServiceHostOverride(c.base);
            sim::LogCapture capture;
            auto fetched = sim::resolveServiceURL(*NSURL::URLWithString(remote)).absoluteString();
            EXPECT_EQ(fetched, c.fetched ? c.fetched : remote);
            sim::resolveServiceURL(*NSURL::URLWithString(remote));  // logged once only
            const auto records = capture.records();
            if (c.fetched) {
                EXPECT_TRUE(records.empty());
            } else if (fromEnvironment) {
                ASSERT_EQ(records.size(), 1u);
                EXPECT_EQ(records[0].level, OSLogType::Error);
                EXPECT_NE(records[0].text.find(c.base), std::string::npos);
            }
            ::unsetenv("LUMBREL_SERVICE_BASE_URL");
            sim::clearServiceHostOverride();
        }
    }
}
