#include "hosts/fetch.h"

#include <algorithm>
#include <memory>

namespace installer::testing {

namespace {

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* reply) {
    static_cast<Reply*>(reply)->body.append(data, size * count);
    return size * count;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* reply) {
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto start = line.find_first_not_of(' ', colon + 1);
        const auto end = line.find_last_not_of("\r\n");
        static_cast<Reply*>(reply)->headers[name] =
            start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
    }
    return size * count;
}

} // namespace

Reply fetch(const std::string& url, const FetchOptions& options) {
    Reply reply;
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    std::unique_ptr<curl_slist, CurlFree> headers;
    for (const auto& header : options.headers)
        headers.reset(curl_slist_append(headers.release(), header.c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    if (!options.caFile.empty())
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeout.count()));
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &reply);
    reply.result = curl_easy_perform(curl.get());
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

} // namespace installer::testing
