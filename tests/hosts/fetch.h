#pragma once

#include <chrono>
#include <curl/curl.h>
#include <map>
#include <string>
#include <vector>

namespace installer::testing {

// What a plain HTTPS client saw: no redirect is followed, every header is kept.
struct Reply {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

struct FetchOptions {
    std::string caFile;               // the only trusted authority; empty: the system's
    std::vector<std::string> headers; // "Name: value"
    std::chrono::milliseconds timeout{5000};
};

Reply fetch(const std::string& url, const FetchOptions& options = {});

// A GET that trusts only `caFile`.
inline Reply fetchTrusting(const std::string& url, const std::string& caFile) {
    FetchOptions options;
    options.caFile = caFile;
    return fetch(url, options);
}

} // namespace installer::testing
