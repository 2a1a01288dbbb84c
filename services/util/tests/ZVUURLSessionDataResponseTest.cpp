#include "services/util/ZVUURLSessionDataResponse.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/testing/TestServer.h"

namespace {

// A port that nothing listens on: bound once, then released.
int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::shared_ptr<PRMPromise> run(const NSURLRequest& request) {
    auto p = zvu_dataTaskPromiseWithRequest(NSURLSession::sharedSession(), request);
    sim::MainLoop::runUntil([&] { return !p->isPending(); }, std::chrono::seconds(20));
    return p;
}

TEST(ZVUURLSessionDataResponseTest, AnyResponseFulfilsAndTransportErrorsReject) {
    sim::TestServer server;
    server.setResponse("/missing", sim::ScriptedResponse::text(404, "nope"));
    auto url = NSURL::URLWithString(server.url() + "/missing");
    ASSERT_TRUE(url);
    auto fulfilled = run(NSURLRequest(*url));
    ASSERT_TRUE(fulfilled->isFulfilled());
    auto response = fulfilled->value().as<ZVUURLSessionDataResponse>();
    ASSERT_TRUE(response && response->HTTPResponse());
    EXPECT_EQ(response->HTTPResponse()->statusCode(), 404);
    EXPECT_EQ(response->HTTPBody(), Data({'n', 'o', 'p', 'e'}));

    const std::string closed = "http://127.0.0.1:" + std::to_string(unusedPort());
    auto rejected = run(NSURLRequest(*NSURL::URLWithString(closed + "/x")));
    ASSERT_TRUE(rejected->isRejected());
    EXPECT_EQ(rejected->error()->domain, "NSURLErrorDomain");
}

}  // namespace
