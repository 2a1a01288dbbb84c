#include "platform/testing/TestServer.h"

#include <httplib.h>
#include <strings.h>

namespace sim {

struct TestServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

ScriptedResponse ScriptedResponse::text(int status, std::string body, std::string contentType) {
    ScriptedResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace("Content-Type", std::move(contentType));
    return r;
}

ScriptedResponse ScriptedResponse::redirect(int status, std::string location) {
    ScriptedResponse r;
    r.status = status;
    r.body = "redirect";
    r.headers.emplace("Location", std::move(location));
    r.headers.emplace("Content-Type", "application/octet-stream");
    return r;
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    auto it = headers.find(name);
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

TestServer::TestServer() : impl_(new Impl) {
    start();
}

TestServer::~TestServer() {
    stop();
}

bool TestServer::start() {
    stop();
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    impl_->server = std::make_unique<httplib::Server>();
    auto& server = *impl_->server;
    auto handle = [this](const httplib::Request& req, httplib::Response& res, std::string body) {
        RecordedRequest recorded;
        recorded.method = req.method;
        recorded.path = req.path;
        auto q = req.target.find('?');
        if (q != std::string::npos) recorded.query = req.target.substr(q + 1);
        for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT") {
                continue;
            }
            recorded.headers.emplace(name, value);
        }
        recorded.body = std::move(body);
        ScriptedResponse script = pick(recorded);
        record(std::move(recorded));
        if (script.delay.count() > 0) {
            std::unique_lock lock(mutex_);
            cv_.wait_for(lock, script.delay, [this] { return stopping_; });
        }
        res.status = script.status;
        std::string contentType = "application/octet-stream";
        bool encoded = false;
        for (const auto& [name, value] : script.headers) {
            if (::strcasecmp(name.c_str(), "Content-Length") == 0) continue;
            if (::strcasecmp(name.c_str(), "Content-Type") == 0) {
                contentType = value;
                continue;
            }
            if (::strcasecmp(name.c_str(), "Content-Encoding") == 0) encoded = true;
            res.headers.emplace(name, value);
        }
        if (script.dropAfterBytes || encoded) {
            auto body = std::make_shared<std::string>(std::move(script.body));
            std::size_t limit = script.dropAfterBytes.value_or(body->size());
            res.set_content_provider(
                body->size(), contentType,
                [body, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                    if (offset >= limit) return false;
                    std::size_t n = std::min(length, limit - offset);
                    sink.write(body->data() + offset, n);
                    return true;
                });
        } else {
            res.set_content(script.body, contentType.c_str());
        }
    };
    auto plain = [handle](const httplib::Request& req, httplib::Response& res) {
        handle(req, res, req.body);
    };
    // Reading the body through a content reader keeps large form-encoded
    // bodies from being refused by the library's form parser.
    auto withBody = [handle](const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& reader) {
        std::string body;
        reader([&](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        handle(req, res, std::move(body));
    };
    // One request per connection, so stop() never waits out an idle client.
    server.set_keep_alive_max_count(1);
    server.Get(".*", plain);
    server.Options(".*", plain);
    server.Post(".*", withBody);
    server.Put(".*", withBody);
    server.Patch(".*", withBody);
    server.Delete(".*", withBody);
    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        impl_->server.reset();
        port_ = 0;
        return false;
    }
    impl_->thread = std::thread([&server] { server.listen_after_bind(); });
    // stop() only takes effect once the accept loop runs, so wait for it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return server.is_running();
}

void TestServer::stop() {
    if (!impl_->server) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->server.reset();
}

bool TestServer::isRunning() const {
    return impl_->server && impl_->server->is_running();
}

std::string TestServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestServer::setResponse(const std::string& path, ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    byPath_[path] = std::move(response);
}

void TestServer::enqueue(ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(response));
}

void TestServer::enqueue(const std::string& path, ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    queuedByPath_[path].push_back(std::move(response));
}

void TestServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void TestServer::setDefaultResponse(ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    default_ = std::move(response);
}

ScriptedResponse TestServer::pick(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto queued = queuedByPath_.find(request.path);
        if (queued != queuedByPath_.end() && !queued->second.empty()) {
            auto r = std::move(queued->second.front());
            queued->second.pop_front();
            return r;
        }
        if (!queued_.empty()) {
            auto r = std::move(queued_.front());
            queued_.pop_front();
            return r;
        }
        handler = handler_;
    }
    if (handler) {
        if (auto r = handler(request)) return *r;
    }
    std::lock_guard lock(mutex_);
    auto fixed = byPath_.find(request.path);
    return fixed != byPath_.end() ? fixed->second : default_;
}

void TestServer::record(RecordedRequest request) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    cv_.notify_all();
}

std::vector<RecordedRequest> TestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t TestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void TestServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool TestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace sim
