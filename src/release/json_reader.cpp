#include "release/json_reader.h"

#include <cmath>
#include <limits>

namespace installer::release {

namespace {

constexpr int maxDepth = 512;

std::string inQuotes(std::string_view text) { return "“" + std::string(text) + "”"; }

enum class Want { string, boolean, integer, object, array };

const char* describe(Want want) {
    switch (want) {
    case Want::string: return "字符串";
    case Want::boolean: return "布尔值";
    case Want::integer: return "整数";
    case Want::object: return "对象";
    case Want::array: return "数组";
    }
    return "";
}

[[noreturn]] void wrongType(const std::string& path, Want want) {
    throwDecodeError("键" + inQuotes(path) + "的值应为" + describe(want));
}

[[noreturn]] void outOfRange(const std::string& path) {
    throwDecodeError("键" + inQuotes(path) + "的数值超出范围");
}

// A JSON number the parser could not keep as an integer: a fraction, an exponent
// form, or an integer beyond 64 bits.
[[noreturn]] void notInteger(const std::string& path, double value) {
    if (std::isfinite(value) && std::floor(value) == value &&
        std::fabs(value) >= 9.2e18)
        outOfRange(path);
    wrongType(path, Want::integer);
}

} // namespace

void throwDecodeError(const std::string& problem) { throw DecodeError("无法读取数据：" + problem); }

nlohmann::json parseJson(std::string_view bytes) {
    const auto limitDepth = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > maxDepth)
            throwDecodeError("JSON 嵌套层数过多");
        return true;
    };
    try {
        return nlohmann::json::parse(bytes.begin(), bytes.end(), limitDepth);
    } catch (const nlohmann::json::parse_error& e) {
        throwDecodeError("不是有效的 JSON（第 " + std::to_string(e.byte) + " 个字节附近）");
    } catch (const nlohmann::json::exception&) {
        // The parser's other refusal: a number too large even for a double.
        throwDecodeError("JSON 中的数值超出范围");
    }
}

JsonReader::JsonReader(const nlohmann::json& value, std::string where)
    : value_(value), where_(std::move(where)) {
    if (!value_.is_object()) {
        if (where_.empty())
            throwDecodeError("数据应为 JSON 对象");
        wrongType(where_, Want::object);
    }
}

std::string JsonReader::path(std::string_view key) const {
    return where_.empty() ? std::string(key) : where_ + "." + std::string(key);
}

const nlohmann::json* JsonReader::find(std::string_view key) const {
    const auto it = value_.find(key);
    return it == value_.end() ? nullptr : &*it;
}

const nlohmann::json& JsonReader::required(std::string_view key) const {
    const nlohmann::json* member = find(key);
    if (!member)
        throwDecodeError("缺少必需的键" + inQuotes(path(key)));
    if (member->is_null())
        throwDecodeError("键" + inQuotes(path(key)) + "的值不能为 null");
    return *member;
}

std::string JsonReader::string(std::string_view key) const {
    const auto& member = required(key);
    if (!member.is_string())
        wrongType(path(key), Want::string);
    return member.get<std::string>();
}

std::optional<std::string> JsonReader::optionalString(std::string_view key) const {
    const nlohmann::json* member = find(key);
    if (!member || member->is_null())
        return std::nullopt;
    if (!member->is_string())
        wrongType(path(key), Want::string);
    return member->get<std::string>();
}

bool JsonReader::boolean(std::string_view key) const {
    const auto& member = required(key);
    if (!member.is_boolean())
        wrongType(path(key), Want::boolean);
    return member.get<bool>();
}

std::int64_t JsonReader::int64(std::string_view key) const {
    const auto& member = required(key);
    if (member.is_number_unsigned()) {
        const auto value = member.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            outOfRange(path(key));
        return static_cast<std::int64_t>(value);
    }
    if (member.is_number_integer())
        return member.get<std::int64_t>();
    if (member.is_number_float())
        notInteger(path(key), member.get<double>());
    wrongType(path(key), Want::integer);
}

std::uint64_t JsonReader::uint64(std::string_view key) const {
    const auto& member = required(key);
    if (member.is_number_unsigned())
        return member.get<std::uint64_t>();
    if (member.is_number_integer()) {
        // Only negative values land here; -0 is zero.
        if (member.get<std::int64_t>() != 0)
            outOfRange(path(key));
        return 0;
    }
    if (member.is_number_float())
        notInteger(path(key), member.get<double>());
    wrongType(path(key), Want::integer);
}

JsonReader JsonReader::object(std::string_view key) const {
    const auto& member = required(key);
    if (!member.is_object())
        wrongType(path(key), Want::object);
    return JsonReader(member, path(key));
}

std::optional<JsonReader> JsonReader::optionalObject(std::string_view key) const {
    const nlohmann::json* member = find(key);
    if (!member || member->is_null())
        return std::nullopt;
    if (!member->is_object())
        wrongType(path(key), Want::object);
    return JsonReader(*member, path(key));
}

const nlohmann::json& JsonReader::array(std::string_view key) const {
    const auto& member = required(key);
    if (!member.is_array())
        wrongType(path(key), Want::array);
    return member;
}

} // namespace installer::release
