#include "steering.h"

#include <stdexcept>

namespace installer::service {

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void wrong(const std::string& key, const char* expected) {
    throw std::invalid_argument("steering: \"" + key + "\" must be " + expected);
}

std::int64_t integer(const std::string& key, const Json& value, std::int64_t low,
                     std::int64_t high) {
    if (!value.is_number_integer())
        wrong(key, "an integer");
    const auto number = value.get<std::int64_t>();
    if (number < low || number > high || (value.is_number_unsigned() && number < 0))
        wrong(key, "an integer in range");
    return number;
}

std::string text(const std::string& key, const Json& value) {
    if (!value.is_string())
        wrong(key, "a string");
    return value.get<std::string>();
}

Json object(const std::string& key, const Json& value) {
    if (!value.is_object())
        wrong(key, "an object");
    return value;
}

} // namespace

Steering decodeSteering(std::string_view json) {
    const Json document = Json::parse(json, nullptr, false);
    if (!document.is_object())
        throw std::invalid_argument("steering: not a JSON object");
    Steering steering;
    for (const auto& [key, value] : document.items()) {
        if (key == "only") {
            const std::string endpoint = text(key, value);
            if (endpoint == "resolve")
                steering.only = Steering::Endpoint::resolve;
            else if (endpoint == "manifest")
                steering.only = Steering::Endpoint::manifest;
            else
                wrong(key, "\"resolve\" or \"manifest\"");
        } else if (key == "status") {
            steering.status = static_cast<int>(integer(key, value, 100, 999));
        } else if (key == "code") {
            steering.code = value;
        } else if (key == "updateAvailable") {
            steering.updateAvailable = value;
        } else if (key == "reason") {
            steering.reason = value;
        } else if (key == "manifest") {
            if (value != false && !value.is_null())
                wrong(key, "false or null");
            steering.manifest = value;
        } else if (key == "body") {
            steering.body = text(key, value);
        } else if (key == "bodyBytes") {
            steering.bodyBytes = static_cast<std::size_t>(integer(key, value, 0, 1LL << 30));
        } else if (key == "release") {
            steering.release = text(key, value);
        } else if (key == "patch") {
            steering.patch = object(key, value);
        } else if (key == "recheck") {
            steering.recheck = object(key, value);
        } else if (key == "issuedIn") {
            steering.issuedIn = std::chrono::seconds(integer(key, value, -1LL << 40, 1LL << 40));
        } else if (key == "expiresIn") {
            steering.expiresIn = std::chrono::seconds(integer(key, value, -1LL << 40, 1LL << 40));
        } else if (key == "keyId") {
            steering.keyId = text(key, value);
        } else if (key == "badSignature") {
            if (!value.is_boolean())
                wrong(key, "a boolean");
            steering.badSignature = value.get<bool>();
        } else if (key == "delayMs") {
            steering.delay = std::chrono::milliseconds(integer(key, value, 0, 60'000));
        } else {
            throw std::invalid_argument("steering: unknown member \"" + key + "\"");
        }
    }
    return steering;
}

} // namespace installer::service
