#include "fault_server.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <random>
#include <thread>

namespace installer::testing {

std::string randomContent(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string text(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(text.data() + i, &word, 8);
    }
    return text;
}

struct FaultServer::State {
    httplib::SSLServer server;
    std::string content;
    int port = 0;
    std::atomic<int> requests{0};
    mutable std::mutex mutex;
    std::string lastRange;
    std::condition_variable stopping;
    bool stopped = false;
    std::thread thread;

    State(const std::filesystem::path& cert, const std::filesystem::path& key, std::string body)
        : server(cert.c_str(), key.c_str()), content(std::move(body)) {}

    // Held streams end when the server goes, so no test outlives its limits here.
    void waitForStop(std::chrono::milliseconds most) {
        std::unique_lock lock(mutex);
        stopping.wait_for(lock, most, [&] { return stopped; });
    }
};

FaultServer::FaultServer(const std::filesystem::path& certFile,
                         const std::filesystem::path& keyFile, std::string content)
    : state_(std::make_unique<State>(certFile, keyFile, std::move(content))) {
    State& s = *state_;
    auto& server = s.server;
    server.set_pre_routing_handler([&s](const httplib::Request& request, httplib::Response&) {
        ++s.requests;
        std::lock_guard lock(s.mutex);
        s.lastRange = request.get_header_value("Range");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The content a step at a time: `step` tells how many bytes to send from `offset`,
    // given where this answer starts and ends, or 0 to hang up.
    using Step = std::function<std::size_t(std::size_t offset, std::size_t start, std::size_t end)>;
    const auto sized = [&](const char* path, httplib::Headers headers, Step step) {
        server.Get(path, [&s, headers, step](const httplib::Request&, httplib::Response& response) {
            for (const auto& [name, value] : headers)
                response.set_header(name, value);
            response.set_content_provider(
                s.content.size(), "application/octet-stream",
                [&s, step, range = std::make_shared<std::pair<std::size_t, std::size_t>>()](
                    std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    if (range->second == 0)
                        *range = {offset, offset + length};
                    const std::size_t bytes = step(offset, range->first, range->second);
                    return bytes > 0 && sink.write(s.content.data() + offset, bytes);
                });
        });
    };
    const httplib::Headers tagged = {{"ETag", "\"fault-1\""}};
    sized("/file", tagged, [](std::size_t offset, std::size_t, std::size_t end) {
        return end - offset;
    });
    const Step half = [](std::size_t offset, std::size_t start, std::size_t end) {
        const std::size_t middle = start + (end - start) / 2;
        return offset < middle ? middle - offset : 0;
    };
    sized("/drop", tagged, half);
    sized("/bad-tags/drop",
          {{"ETag", "\"\xff\xfe\""}, {"Last-Modified", "Mon, 07 Dec 2026 \xc0\xaf GMT"}}, half);
    sized("/stall", tagged, [&s](std::size_t offset, std::size_t start, std::size_t) {
        if (offset == start)
            return std::size_t{100};
        s.waitForStop(std::chrono::seconds(20));
        return std::size_t{0};
    });
    // A little every 50 ms, well inside the data time-out, for about six seconds.
    sized("/trickle", tagged, [&s](std::size_t offset, std::size_t, std::size_t) {
        s.waitForStop(std::chrono::milliseconds(50));
        return offset < 12'000 ? std::size_t{100} : 0;
    });
    server.Get("/no-length", [&s](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [&s](std::size_t offset, httplib::DataSink& sink) {
                if (offset < s.content.size())
                    return sink.write(s.content.data() + offset,
                                      std::min<std::size_t>(65536, s.content.size() - offset));
                sink.done();
                return true;
            });
    });
    server.Get("/endless", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("ETag", "\"endless\"");
        response.set_chunked_content_provider(
            "application/octet-stream",
            [block = std::string(1 << 20, 'x')](std::size_t, httplib::DataSink& sink) {
                return sink.write(block.data(), block.size());
            });
    });
    server.Get(R"(/status/(\d+)(/(.+))?)",
               [](const httplib::Request& request, httplib::Response& response) {
                   response.status = std::stoi(request.matches[1]);
                   if (request.matches[3].length() > 0)
                       response.set_header(
                           "Location", httplib::detail::decode_url(request.matches[3], false));
               });
    server.Get("/loop", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/loop", 302);
    });
    server.set_tcp_nodelay(true); // small answers would otherwise wait on delayed ACKs
    s.port = server.bind_to_any_port("127.0.0.1");
    if (s.port <= 0)
        throw std::runtime_error("fault server: cannot bind a loopback port");
    s.thread = std::thread([&server] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FaultServer::~FaultServer() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
    }
    state_->stopping.notify_all();
    state_->server.stop();
    state_->thread.join();
}

int FaultServer::port() const {
    return state_->port;
}
int FaultServer::requests() const {
    return state_->requests;
}
std::string FaultServer::lastRange() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastRange;
}

} // namespace installer::testing
