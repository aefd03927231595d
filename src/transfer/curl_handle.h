#pragma once

#include "transfer/transfer_error.h"
#include "trust/url.h"

#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer::transfer {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// A curl handle that speaks only HTTPS, verifies the peer and its name, follows no redirect
// by itself (every hop is judged by its caller) and asks for the body as it is stored,
// so byte ranges mean bytes of the file. The CA bundle adds to the system's trust store.
// `connectTo` entries ("host:port:address:port") send connections for a name elsewhere
// while certificates are still checked for the name, so a loopback server on any port can
// stand for an allow-listed host.
struct Connection {
    std::string caBundle;
    std::vector<std::string> connectTo;
};
class SecureHandle {
public:
    explicit SecureHandle(Connection connection);
    SecureHandle(const SecureHandle&) = delete;
    SecureHandle& operator=(const SecureHandle&) = delete;
    CURL* get() const { return handle_.get(); }
    const char* errors() const { return errors_; }

private:
    Connection connection_; // libcurl keeps pointers into it
    std::unique_ptr<CURL, CurlCleanup> handle_;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> connectTo_{nullptr, &curl_slist_free_all};
    char errors_[CURL_ERROR_SIZE] = {};
};

// The description the user sees for a failed transfer to `url`, in words a user
// understands, naming the server. `dataTimeout` is the longest wait for data.
TransferError describeCurlError(CURLcode code, std::string_view url,
                                std::chrono::milliseconds dataTimeout);

// "60", or "0.5" for a wait that is no whole number of seconds.
std::string secondsText(std::chrono::milliseconds duration);

using CurlURL = std::unique_ptr<CURLU, void (*)(CURLU*)>;

// The address as curl will request it, for CURLOPT_CURLU, or nothing when curl would
// read the text as anything but its scheme, host, port and path as written: what is
// fetched is exactly what was judged. Dot segments are left as written.
std::optional<CurlURL> pinnedURL(const trust::Url& judged);

// Case-insensitive "Name: value" header line; the value without surrounding blanks.
std::optional<std::string> headerValue(std::string_view line, std::string_view name);

} // namespace installer::transfer
