#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

namespace installer::transfer {

struct HttpAnswer {
    long status = 0;
    std::string body;
    bool bodyTooLarge = false; // the body passed the limit; the rest was not read
};

struct GetOptions {
    std::string caBundle;               // added to the system's trust store; empty for none
    std::vector<std::string> connectTo; // "host:port:address:port" routes
    std::size_t bodyLimit = 127'999;
};

// One GET of a small document. Redirects are followed (only to https, a bounded number
// of hops); a body that grows past the limit ends the request at once. Transport errors
// and cancellation through `stop` are thrown as TransferError.
HttpAnswer httpsGet(const std::string& url, const GetOptions& options, std::stop_token stop = {});

} // namespace installer::transfer
