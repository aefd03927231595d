// release-service --releases DIR --key FILE --key-id ID --cert FILE --cert-key FILE
//                 [--control FILE] [--port N] [--bind ADDRESS] [--validity SECONDS] [--log FILE]
//
// Serves the two release endpoints over HTTPS. The first line on standard output is the
// port it listens on (useful with --port 0). Runs until SIGINT or SIGTERM.

#include "release_service.h"

#include <csignal>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* usage =
    "usage: release-service --releases DIR --key FILE --key-id ID --cert FILE --cert-key FILE\n"
    "                       [--control FILE] [--port N] [--bind ADDRESS] [--validity SECONDS]\n"
    "                       [--log FILE]\n";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return text.str();
}

int number(const std::string& name, const std::string& value) {
    std::size_t used = 0;
    const int result = std::stoi(value, &used);
    if (used != value.size() || result < 0)
        throw std::runtime_error(name + " takes a non-negative number, not " + value);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    using namespace installer::service;
    try {
        ServiceOptions options;
        std::string cert, certKey, bind = "127.0.0.1", logFile;
        int port = 0;
        for (int i = 1; i < argc; i += 2) {
            const std::string name = argv[i];
            if (i + 1 >= argc)
                throw std::runtime_error(name + " needs a value");
            const std::string value = argv[i + 1];
            if (name == "--releases")
                options.releases = value;
            else if (name == "--control")
                options.control = value;
            else if (name == "--key")
                options.privateKeyPem = readAll(value);
            else if (name == "--key-id")
                options.keyId = value;
            else if (name == "--cert")
                cert = value;
            else if (name == "--cert-key")
                certKey = value;
            else if (name == "--port")
                port = number(name, value);
            else if (name == "--bind")
                bind = value;
            else if (name == "--validity")
                options.validity = std::chrono::seconds(number(name, value));
            else if (name == "--log")
                logFile = value;
            else
                throw std::runtime_error("unknown option " + name);
        }
        if (options.releases.empty() || options.privateKeyPem.empty() || options.keyId.empty() ||
            cert.empty() || certKey.empty()) {
            std::cerr << usage;
            return 2;
        }

        // Blocked before any thread exists, so only sigwait below ever sees them.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        std::ofstream log;
        if (!logFile.empty()) {
            log.open(logFile, std::ios::app);
            if (!log)
                throw std::runtime_error("cannot write " + logFile);
        }
        std::mutex logMutex;
        const auto record = [&](const std::string& line) {
            std::lock_guard lock(logMutex);
            log << line << std::endl;
        };

        ReleaseServer server(options, cert, certKey, port, bind,
                             logFile.empty() ? std::function<void(const std::string&)>() : record);
        std::cout << server.port() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        return 0; // the server stops as it goes out of scope
    } catch (const std::exception& error) {
        std::cerr << "release-service: " << error.what() << "\n";
        return 1;
    }
}
