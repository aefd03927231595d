#include "transfer/https_get.h"

#include "transfer/curl_handle.h"
#include "transfer/location.h"
#include "transfer/transfer_error.h"
#include "trust/url.h"

#include <chrono>

namespace installer::transfer {

namespace {

constexpr int maxRedirects = 16;
// The loader's defaults: a minute without data, and a whole request bounded as well so
// a trickling server cannot hold the run forever.
constexpr std::chrono::seconds dataTimeout(60);
constexpr std::chrono::seconds totalTimeout(300);

struct Exchange {
    const GetOptions& options;
    const std::stop_token& stop;
    HttpAnswer answer;
    std::optional<std::string> location;
    bool cancelled = false;

    // Nothing thrown may cross libcurl; a failed callback ends the request.
    static std::size_t onHeader(char* data, std::size_t, std::size_t size, void* self) noexcept {
        auto& e = *static_cast<Exchange*>(self);
        try {
            const std::string_view line(data, size);
            if (line.starts_with("HTTP/"))
                e.location.reset();
            else if (auto value = headerValue(line, "location"))
                e.location = *value;
            return size;
        } catch (...) {
            return 0;
        }
    }

    static std::size_t onBody(char* data, std::size_t, std::size_t size, void* self) noexcept {
        auto& e = *static_cast<Exchange*>(self);
        if (e.answer.body.size() + size > e.options.bodyLimit) {
            e.answer.bodyTooLarge = true;
            return 0;
        }
        try {
            e.answer.body.append(data, size);
            return size;
        } catch (...) {
            return 0;
        }
    }

    static int onTick(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto& e = *static_cast<Exchange*>(self);
        e.cancelled = e.stop.stop_requested();
        return e.cancelled ? 1 : 0;
    }
};

} // namespace

HttpAnswer httpsGet(const std::string& start, const GetOptions& options, std::stop_token stop) {
    std::string url = start;
    const auto began = std::chrono::steady_clock::now();
    for (int hop = 0;; ++hop) {
        const SecureHandle handle({options.caBundle, options.connectTo});
        CURL* h = handle.get();
        Exchange exchange{options, stop, {}, {}, false};
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(dataTimeout.count()));
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(dataTimeout.count()));
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(totalTimeout.count()));
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Exchange::onHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &exchange);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Exchange::onBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Exchange::onTick);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &exchange);
        const CURLcode code = curl_easy_perform(h);
        if (exchange.cancelled || stop.stop_requested())
            throw cancellation();
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &exchange.answer.status);
        if (code == CURLE_WRITE_ERROR && exchange.answer.bodyTooLarge)
            return exchange.answer;
        if (code == CURLE_OPERATION_TIMEDOUT &&
            std::chrono::steady_clock::now() - began >= totalTimeout)
            throw TransferError(code, "请求超时：" + std::to_string(totalTimeout.count()) +
                                          " 秒内没有完成");
        if (code != CURLE_OK)
            throw describeCurlError(code, url, dataTimeout);
        if (!isRedirect(exchange.answer.status) || !exchange.location || hop == maxRedirects)
            return exchange.answer;
        const auto next = resolveLocation(url, *exchange.location);
        // Not followed: the redirect answer itself is what the caller judges.
        const auto parsed = next ? trust::parseUrl(*next) : std::nullopt;
        if (!parsed || parsed->scheme != "https")
            return exchange.answer;
        url = *next;
    }
}

} // namespace installer::transfer
