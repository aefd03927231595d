#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace installer::testing {

// Bytes no test file holds by chance; the tail past a multiple of 8 stays zero.
std::string randomContent(std::size_t size, unsigned seed);

// An HTTPS server on loopback that misbehaves on demand, for what a static host will
// not do. Each path names one behaviour:
//   /file              the content with an ETag; a Range is answered, If-Range ignored
//   /drop              like /file, but sends half of what was asked, then hangs up
//   /bad-tags/drop     the same with an ETag and Last-Modified that are not UTF-8
//   /stall             sends a little, then nothing until the server stops
//   /trickle           sends a little at a time for seconds, then hangs up
//   /no-length         the content in chunks, so with no length
//   /endless           a chunked body with an ETag that never ends
//   /status/N          an empty answer of status N (a redirect: to URL, percent-decoded,
//                      when it is /status/N/URL)
//   /loop              302 to itself
class FaultServer {
public:
    FaultServer(const std::filesystem::path& certFile, const std::filesystem::path& keyFile,
                std::string content);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    int port() const;
    int requests() const;          // answered so far
    std::string lastRange() const; // the Range header of the latest request

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace installer::testing
