#pragma once

#include <atomic>
#include <condition_variable>
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
// not do. Each path names one behaviour:
//   /file              the content with an ETag; a Range is answered, If-Range ignored
//   /drop              like /file, but sends half of what was asked, then hangs up
//   /bad-tags/drop     the same with an ETag and Last-Modified that are not UTF-8
//   /stall             sends a little, then nothing until the server stops
//   /trickle           sends a little at a time for seconds, then hangs up
//   /no-length         the content in chunks, so with no length
//   /endless           the same with an ETag, repeated without end
//   /status/N          an empty answer of status N, redirected to URL, percent-decoded,
//                      when it is /status/N/URL, else to itself
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
        const httplib::Headers tagged = {{"ETag", "\"fault-1\""}};
        sized("/file", tagged,
              [](std::size_t offset, std::size_t, std::size_t end) { return end - offset; });
        const Step half = [](std::size_t offset, std::size_t start, std::size_t end) {
            const std::size_t middle = start + (end - start) / 2;
            return offset < middle ? middle - offset : 0;
        };
        sized("/drop", tagged, half);
        sized("/bad-tags/drop",
              {{"ETag", "\"\xff\xfe\""}, {"Last-Modified", "Mon, 07 Dec 2026 \xc0\xaf GMT"}}, half);
        sized("/stall", tagged, [this](std::size_t offset, std::size_t start, std::size_t) {
            if (offset == start)
                return std::size_t{100};
            waitForStop(std::chrono::seconds(20));
            return std::size_t{0};
        });
        // A little every 50 ms, well inside the data time-out, for about six seconds.
        sized("/trickle", tagged, [this](std::size_t offset, std::size_t, std::size_t) {
            waitForStop(std::chrono::milliseconds(50));
            return offset < 12'000 ? std::size_t{100} : 0;
        });
        server_.Get("/(no-length|endless)", [this](const httplib::Request& request,
                                                   httplib::Response& response) {
            const bool endless = request.matches[1] == "endless";
            if (endless)
                response.set_header("ETag", "\"endless\"");
            response.set_chunked_content_provider(
                "application/octet-stream",
                [this, endless](std::size_t offset, httplib::DataSink& sink) {
                    const std::size_t at = offset % content_.size();
                    if (endless || offset < content_.size())
                        return sink.write(content_.data() + at, content_.size() - at);
                    sink.done();
                    return true;
                });
        });
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
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        stopping_.notify_all();
        server_.stop();
        thread_.join();
    }
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

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

    // The content with `headers`, a step at a time.
    void sized(const char* path, httplib::Headers headers, Step step) {
        server_.Get(
            path, [this, headers, step](const httplib::Request&, httplib::Response& response) {
                for (const auto& [name, value] : headers)
                    response.set_header(name, value);
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
        std::unique_lock lock(mutex_);
        stopping_.wait_for(lock, most, [&] { return stopped_; });
    }

    httplib::SSLServer server_;
    std::string content_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::string lastRange_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::thread thread_;
};

} // namespace installer::testing
