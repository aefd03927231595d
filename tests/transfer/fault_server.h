#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <random>
#include <thread>

namespace installer::testing {

// Bytes no test file holds by chance; the tail past a multiple of 8 stays zero.
inline std::string randomContent(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string text(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(text.data() + i, &word, 8);
    }
    return text;
}

// An HTTPS server on loopback that misbehaves on demand, for what a static host will
// not do; each path names one behaviour.
class FaultServer {
public:
    FaultServer(const std::filesystem::path& certFile, const std::filesystem::path& keyFile,
                std::string content)
        : server_(certFile.c_str(), keyFile.c_str()), content_(std::move(content)) {
        server_.set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response&) {
                ++requests_;
                std::lock_guard lock(mutex_);
                lastRange_ = request.get_header_value("Range");
                return httplib::Server::HandlerResponse::Unhandled;
            });
        // A Range is answered, If-Range ignored.
        sized("/file",
              [](std::size_t offset, std::size_t, std::size_t end) { return end - offset; });
        // Hangs up after the first 2 MiB.
        sized("/drop", [](std::size_t offset, std::size_t, std::size_t) {
            return offset < (2u << 20) ? (2u << 20) - offset : 0;
        });
        // 100 bytes, then 100 more after each pause, up to 12,000 bytes.
        const auto every = [this](std::chrono::milliseconds pause) {
            return [this, pause](std::size_t offset, std::size_t start, std::size_t) {
                if (offset > start)
                    waitForStop(pause);
                return offset < 12'000 ? std::size_t{100} : 0;
            };
        };
        sized("/stall", every(std::chrono::seconds(20)));
        // 3,000,000 bytes at once, then nothing until the server goes.
        sized("/burst", [this](std::size_t offset, std::size_t, std::size_t) {
            if (offset >= 3'000'000)
                waitForStop(std::chrono::minutes(10));
            return offset < 3'000'000 ? 3'000'000 - offset : 0;
        });
        sized("/trickle", every(std::chrono::milliseconds(50))); // inside the data time-out
        // A megabyte every 25 ms: a body still arriving for a while after it began.
        sized("/paced", [this](std::size_t offset, std::size_t start, std::size_t end) {
            if (offset > start)
                waitForStop(std::chrono::milliseconds(25));
            return std::min<std::size_t>(1u << 20, end - offset);
        });
        // Chunked, so with no length, and without end.
        server_.Get("/endless", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("ETag", "\"endless\"");
            response.set_chunked_content_provider(
                "application/octet-stream", [this](std::size_t offset, httplib::DataSink& sink) {
                    const std::size_t at = offset % content_.size();
                    return sink.write(content_.data() + at, content_.size() - at);
                });
        });
        // An empty answer of status N, redirected to the percent-decoded URL, else to itself.
        server_.Get(R"(/status/(\d+)(/(.+))?)",
                    [](const httplib::Request& request, httplib::Response& response) {
                        response.status = std::stoi(request.matches[1]);
                        response.set_header(
                            "Location", request.matches[3].length() > 0
                                            ? httplib::detail::decode_url(request.matches[3], false)
                                            : request.path);
                    });
        server_.set_tcp_nodelay(true); // small answers would otherwise wait on delayed ACKs
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("fault server: cannot bind a loopback port");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FaultServer() {
        stopped_ = true;
        server_.stop();
        thread_.join();
    }

    int port() const { return port_; }
    int requests() const { return requests_; } // answered so far
    std::string lastRange() const {            // the Range header of the latest request
        std::lock_guard lock(mutex_);
        return lastRange_;
    }

private:
    // How many bytes to send from `offset`, given where the answer starts and ends; 0
    // hangs up.
    using Step = std::function<std::size_t(std::size_t offset, std::size_t start, std::size_t end)>;

    // The content with an ETag, a step at a time.
    void sized(const char* path, Step step) {
        server_.Get(path, [this, step](const httplib::Request&, httplib::Response& response) {
            response.set_header("ETag", "\"fault-1\"");
            response.set_content_provider(
                content_.size(), "application/octet-stream",
                [this, step, range = std::make_shared<std::pair<std::size_t, std::size_t>>()](
                    std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    if (range->second == 0)
                        *range = {offset, offset + length};
                    const std::size_t bytes = step(offset, range->first, range->second);
                    return bytes > 0 && sink.write(content_.data() + offset, bytes);
                });
        });
    }
    // Held streams end when the server goes, so no test outlives its limits here.
    void waitForStop(std::chrono::milliseconds most) {
        for (const auto end = std::chrono::steady_clock::now() + most;
             !stopped_ && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    httplib::SSLServer server_;
    std::string content_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::string lastRange_;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

} // namespace installer::testing
