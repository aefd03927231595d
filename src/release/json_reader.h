#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace installer::release {

// The data is not the record it should be. The description names the key and the
// problem, since the user reads it after "安装失败：".
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses one JSON document (strict RFC 8259: no comments, valid UTF-8, nothing after
// the value, at most 512 levels deep).
nlohmann::json parseJson(std::string_view bytes);

// Reads the members of one JSON object by exact key, with exact types and ranges; the
// first wrong member throws. `where` is the object's own key path ("" at the top), so
// errors read "package.sizeBytes".
class JsonReader {
public:
    JsonReader(const nlohmann::json& value, std::string where);

    std::string string(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::int64_t int64(std::string_view key) const;
    std::uint64_t uint64(std::string_view key) const;
    JsonReader object(std::string_view key) const;
    std::optional<JsonReader> optionalObject(std::string_view key) const;
    const nlohmann::json& array(std::string_view key) const;

    const nlohmann::json& value() const { return value_; }
    std::string path(std::string_view key) const;

private:
    const nlohmann::json* find(std::string_view key) const;
    const nlohmann::json& required(std::string_view key) const;

    const nlohmann::json& value_;
    std::string where_;
};

[[noreturn]] void throwDecodeError(const std::string& problem);

} // namespace installer::release
