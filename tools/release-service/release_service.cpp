#include "release_service.h"

#include "release_catalog.h"
#include "signing.h"
#include "steering.h"
#include "trust/base64url.h"

#include <charconv>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <httplib.h>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace installer::service {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Endpoint = Steering::Endpoint;

namespace {

std::string internetTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

Steering readSteering(const fs::path& control) {
    std::error_code error;
    if (control.empty() || !fs::exists(control, error))
        return {};
    std::ifstream in(control, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in)
        throw std::runtime_error("cannot read the control file " + control.string());
    return decodeSteering(text.str());
}

Answer failure(int status, int code, const std::string& message) {
    return {status, Json{{"code", code}, {"message", message}}.dump()};
}

bool isDotted(const std::string& text) {
    return compareDotted(text, text).has_value();
}

bool isInteger(const std::string& text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The query as the installer must send it; what is wrong with it, or "".
std::string readQuery(const std::map<std::string, std::string>& items, Query& query) {
    const std::pair<const char*, std::string Query::*> fields[] = {
        {"platform", &Query::platform},
        {"arch", &Query::arch},
        {"osVersion", &Query::osVersion},
        {"protocolVersion", &Query::protocolVersion},
        {"installerVersion", &Query::installerVersion},
    };
    for (const auto& [name, field] : fields) {
        const auto item = items.find(name);
        if (item == items.end() || item->second.empty())
            return std::string("missing query item ") + name;
        query.*field = item->second;
    }
    if (!isDotted(query.osVersion) || !isDotted(query.installerVersion))
        return "osVersion and installerVersion must be dotted decimal versions";
    if (!isInteger(query.protocolVersion))
        return "protocolVersion must be an integer";
    return "";
}

Json envelope(const ServiceOptions& options, const Steering& steering, const std::string& text) {
    // A signature over other bytes is well formed and made with the right key, so only
    // the check against the payload can catch it.
    const std::string signature =
        signing::sign(options.privateKeyPem, steering.badSignature ? text + " " : text);
    return {{"keyId", steering.keyId.value_or(options.keyId)},
            {"payloadBase64url", trust::encode64(text)},
            {"signature", trust::encode64(signature)}};
}

Json signedManifest(const ServiceOptions& options, const Steering& steering, const Release& release,
                    Endpoint endpoint) {
    Json manifest = release;
    const auto now = options.clock();
    manifest["issuedAt"] = internetTime(now + steering.issuedIn.value_or(std::chrono::seconds(0)));
    manifest["expiresAt"] = internetTime(now + steering.expiresIn.value_or(options.validity));
    if (endpoint == Endpoint::manifest && steering.recheck.is_object())
        for (const auto& [key, value] : steering.recheck.items())
            manifest["package"][key] = value;
    if (steering.patch.is_object())
        manifest.merge_patch(steering.patch);
    return envelope(options, steering, manifest.dump());
}

Answer finish(Json document, const Steering& steering) {
    Json& data = document["data"];
    if (steering.code)
        document["code"] = *steering.code;
    if (steering.updateAvailable)
        data["updateAvailable"] = *steering.updateAvailable;
    if (steering.reason)
        data["reason"] = *steering.reason;
    if (steering.manifest) {
        if (steering.manifest->is_null())
            data["manifest"] = nullptr;
        else
            data.erase("manifest");
    }
    Answer result{steering.status.value_or(200), document.dump(), steering.delay};
    if (steering.bodyBytes)
        result.body.resize(*steering.bodyBytes, ' ');
    if (steering.body)
        result.body = *steering.body;
    return result;
}

} // namespace

Answer answer(const ServiceOptions& options, const std::string& path,
              const std::map<std::string, std::string>& query) {
    Endpoint endpoint = Endpoint::resolve;
    std::string releaseId;
    if (path != resolvePath) {
        const bool perRelease = path.size() > releasesPath.size() + manifestSuffix.size() &&
                                path.starts_with(releasesPath) && path.ends_with(manifestSuffix);
        releaseId = perRelease
                        ? path.substr(releasesPath.size(),
                                      path.size() - releasesPath.size() - manifestSuffix.size())
                        : "";
        if (releaseId.empty() || releaseId.find('/') != std::string::npos)
            return failure(404, 40400, "no such endpoint");
        endpoint = Endpoint::manifest;
    }

    Steering steering = readSteering(options.control);
    if (!steering.appliesTo(endpoint))
        steering = {};

    Query machine;
    if (const std::string problem = readQuery(query, machine); !problem.empty())
        return failure(400, 40000, problem);

    const std::vector<Release> releases = loadReleases(options.releases);
    const Release* release = nullptr;
    std::string reason;
    if (endpoint == Endpoint::manifest) {
        release = findRelease(releases, releaseId);
        if (!release)
            return failure(404, 40401, "no release " + releaseId);
    } else if (steering.release) {
        release = findRelease(releases, *steering.release);
        if (!release)
            throw std::runtime_error("the steering names no known release: " + *steering.release);
    } else {
        const Offer offer = chooseRelease(releases, machine);
        release = offer.release;
        reason = offer.reason;
    }

    Json data = {{"updateAvailable", release != nullptr}};
    if (!reason.empty())
        data["reason"] = reason;
    if (release)
        data["manifest"] = signedManifest(options, steering, *release, endpoint);
    return finish({{"code", 0}, {"data", std::move(data)}}, steering);
}

struct ReleaseServer::State {
    ServiceOptions options;
    std::function<void(const std::string&)> log;
    httplib::SSLServer server;
    int port = 0;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable stopping;
    bool stopped = false;
    std::vector<std::string> requests;

    State(ServiceOptions o, std::function<void(const std::string&)> l, const fs::path& cert,
          const fs::path& key)
        : options(std::move(o)), log(std::move(l)), server(cert.c_str(), key.c_str()) {}

    void hold(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex);
        stopping.wait_for(lock, delay, [&] { return stopped; });
    }

    void handle(const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex);
            requests.push_back(request.target);
        }
        std::map<std::string, std::string> query;
        for (const auto& [name, value] : request.params)
            query.emplace(name, value); // the first of repeated items
        try {
            const Answer reply = answer(options, request.path, query);
            hold(reply.delay);
            response.status = reply.status;
            response.set_content(reply.body, "application/json");
        } catch (const std::exception& error) {
            response.status = 500;
            response.set_content(std::string("release-service: ") + error.what() + "\n",
                                 "text/plain");
        }
        if (log)
            log(request.method + " " + request.target + " -> " + std::to_string(response.status));
    }
};

ReleaseServer::ReleaseServer(ServiceOptions options, const fs::path& certFile,
                             const fs::path& keyFile, int port, const std::string& bind,
                             std::function<void(const std::string&)> log)
    : state_(std::make_unique<State>(std::move(options), std::move(log), certFile, keyFile)) {
    State& s = *state_;
    if (!s.server.is_valid())
        throw std::runtime_error("release-service: cannot load " + certFile.string() + " or " +
                                 keyFile.string());
    // Short keep-alive and read limits keep a stop from waiting on idle connections.
    s.server.set_keep_alive_timeout(1);
    s.server.set_read_timeout(2, 0);
    s.server.set_tcp_nodelay(true);
    s.server.Get(".*", [&s](const httplib::Request& request, httplib::Response& response) {
        s.handle(request, response);
    });
    s.port = port == 0 ? s.server.bind_to_any_port(bind)
                       : (s.server.bind_to_port(bind, port) ? port : -1);
    if (s.port <= 0)
        throw std::runtime_error("release-service: cannot listen on " + bind + ":" +
                                 std::to_string(port));
    s.thread = std::thread([&s] { s.server.listen_after_bind(); });
    // The socket already listens, so early connections wait in its queue; this only
    // makes sure stop() finds a running server to stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!s.server.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ReleaseServer::~ReleaseServer() {
    stop();
    wait();
}

int ReleaseServer::port() const {
    return state_->port;
}

std::vector<std::string> ReleaseServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

void ReleaseServer::wait() {
    if (state_->thread.joinable())
        state_->thread.join();
}

void ReleaseServer::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
    }
    state_->stopping.notify_all();
    state_->server.stop();
}

} // namespace installer::service
