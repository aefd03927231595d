#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

namespace installer::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view content);
std::string readText(const std::filesystem::path& path);

// What a call gives as text: its result (or "ok" when it returns nothing), or the
// message of what it threw.
template <typename Call> std::string outcome(Call call) {
    try {
        if constexpr (!std::is_void_v<std::invoke_result_t<Call>>)
            return call();
        call();
        return "ok";
    } catch (const std::exception& error) {
        return error.what();
    }
}

} // namespace installer::testing
