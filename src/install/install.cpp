#include "install/install.h"

#include "install/tool_runner.h"
#include "install/transaction_id.h"
#include "platform/bundle.h"
#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/property_list.h"
#include "platform/scope_exit.h"
#include "release/settings.h"
#include "trust/bundle_version.h"
#include "trust/verify_file.h"
#include "trust/version.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace installer::install {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto exitLimit = 45s;
constexpr auto exitProbeInterval = 100ms;
constexpr auto confirmLimit = 60s;
constexpr auto confirmPollInterval = 200ms;
// A health file is a few dozen bytes; anything near this is not one.
constexpr std::size_t maxHealthFileSize = 1024 * 1024;

class Tools {
public:
    explicit Tools(std::string dir) : dir_(std::move(dir)) {}
    std::string operator()(const char* tool, const std::vector<std::string>& args) const {
        return run(dir_ + "/" + tool, args);
    }

private:
    std::string dir_;
};

void checkTarget(const fs::path& target) {
    const auto refuse = [] { return InstallerError("安装目录无效"); };
    if (target.extension() != ".app")
        throw refuse();
    // Through a link (also one that ".." steps back out of) the bundle we replace
    // would not be the one the path names.
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(target, error);
    if (error || target.lexically_normal() != resolved)
        throw refuse();
    if (std::distance(target.begin(), target.end()) < 3)
        throw refuse();
}

void checkInstalledVersion(const fs::path& target, const release::Manifest& manifest,
                           const platform::FileManager& files) {
    if (!files.exists(target))
        return;  // a first installation
    const auto installed = trust::bundleVersion(target, manifest.package.appId);
    const int order = trust::compare(manifest.appVersion, installed.version);
    if (order > 0 || (order == 0 && installed.build < manifest.buildNumber))
        return;
    throw InstallerError("已安装相同或更新版本");
}

std::string mountPointOf(const std::string& attachOutput) {
    const auto refuse = [] { return InstallerError("无法挂载安装包"); };
    const platform::PlistValue root = platform::parsePropertyList(attachOutput);
    if (!root.isDictionary())
        throw refuse();
    const platform::PlistValue* entities = root.find("system-entities");
    if (!entities || entities->kind != platform::PlistValue::Kind::array)
        throw refuse();
    const bool allDictionaries =
        std::all_of(entities->items.begin(), entities->items.end(),
                    [](const platform::PlistValue& entity) { return entity.isDictionary(); });
    if (!allDictionaries)
        throw refuse();
    for (const auto& entity : entities->items) {
        const platform::PlistValue* mountPoint = entity.find("mount-point");
        if (mountPoint && mountPoint->kind == platform::PlistValue::Kind::string)
            return mountPoint->text;
    }
    throw refuse();
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3
                                          : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2))
            return false;
        std::uint32_t point = c & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        if ((length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (length == 4 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

bool listsArchitecture(const std::string& lipoOutput, std::string_view required) {
    const std::string_view text = isValidUtf8(lipoOutput) ? lipoOutput : std::string_view();
    constexpr std::string_view space = " \t\n\r\v\f";
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        std::string_view piece = text.substr(start, end - start);
        const std::size_t first = piece.find_first_not_of(space);
        piece = first == std::string_view::npos
                    ? std::string_view()
                    : piece.substr(first, piece.find_last_not_of(space) - first + 1);
        if (!piece.empty() && piece == required)
            return true;
        start = end + 1;
    }
    return false;
}

struct ImageApplication {
    fs::path bundle;
    std::uint64_t build = 0;
};

ImageApplication validateImage(const std::string& mountPoint, const release::Manifest& manifest,
                               const Tools& tools, const platform::FileManager& files) {
    std::vector<fs::path> apps;
    for (auto& entry : files.list(mountPoint))
        if (entry.extension() == ".app")
            apps.push_back(std::move(entry));
    if (apps.size() != 1)
        throw InstallerError("安装包内容无效");
    const fs::path app = apps.front();

    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(app, error);
    if (error || resolved.parent_path().string() != mountPoint)
        throw InstallerError("应用路径无效");

    const auto image = trust::bundleVersion(app, manifest.package.appId);
    const auto bundle = platform::Bundle::open(app);
    const auto executable = bundle ? bundle->executable() : std::nullopt;
    if (!executable)
        throw InstallerError("应用入口无效");

    const std::string archs = tools("lipo", {"-archs", executable->string()});
    if (!listsArchitecture(archs, manifest.arch == "x64" ? "x86_64" : "arm64"))
        throw InstallerError("应用架构不匹配");
    if (image.version != manifest.appVersion || image.build != manifest.buildNumber)
        throw InstallerError("应用版本与发布清单不符");
    tools("codesign", {"--verify", "--deep", "--strict", app.string()});
    return {app, image.build};
}

void handOver(std::optional<int> waitPID, const release::Manifest& manifest,
              const InstallEnvironment& environment) {
    const platform::System& system = environment.system;
    if (!waitPID) {
        const auto running = system.runningBundleIdentifiers();
        if (std::find(running.begin(), running.end(), manifest.package.appId) != running.end())
            throw InstallerError("请先退出网盘，避免中断传输任务");
        return;
    }
    std::fputs("READY\n", environment.readyOutput);
    std::fflush(environment.readyOutput);
    const auto deadline = system.now() + exitLimit;
    if (!system.processExists(*waitPID))
        return;
    for (;;) {
        if (system.now() > deadline)
            throw InstallerError("原应用未退出，取消更新");
        system.sleep(exitProbeInterval);
        if (!system.processExists(*waitPID))
            return;
    }
}

bool confirmsStart(const fs::path& healthFile, const release::Manifest& manifest,
                   std::uint64_t imageBuild) {
    std::string text;
    try {
        text = platform::readFile(healthFile, maxHealthFileSize);
    } catch (const std::exception&) {
        return false;
    }
    const auto health = nlohmann::json::parse(text, nullptr, false);
    if (!health.is_object())
        return false;
    const auto version = health.find("version");
    const auto build = health.find("buildNumber");
    const auto ready = health.find("ready");
    if (version == health.end() || !version->is_string() || *version != manifest.appVersion)
        return false;
    if (build == health.end() || !build->is_number())
        return false;
    // Only a whole, non-negative number names a build; 42.5 or -1 never confirm.
    if (build->is_number_float()) {
        const double value = build->get<double>();
        if (!(value >= 0 && value < 18446744073709551616.0) || std::floor(value) != value ||
            static_cast<std::uint64_t>(value) != imageBuild)
            return false;
    } else if (!build->is_number_unsigned() || build->get<std::uint64_t>() != imageBuild) {
        return false;
    }
    return ready != health.end() && ready->is_boolean() && ready->get<bool>();
}

} // namespace

fs::path updateHealthFile(const fs::path& home, const std::string& environment,
                          const std::string& transactionID) {
    return home / "Library" / "Application Support" / release::editionName(environment) /
           "update-health" /
           (transactionID + ".json");
}

void install(const fs::path& package, const release::Manifest& manifest, const fs::path& target,
             std::optional<int> waitPID, const StatusCallback& status,
             const InstallEnvironment& environment) {
    const Tools tools(environment.toolDir);
    const platform::FileManager& files = environment.files;
    const platform::System& system = environment.system;

    // Staging and validation: nothing at the target changes here.
    checkTarget(target);
    checkInstalledVersion(target, manifest, files);
    trust::verifyFile(package, manifest.package);
    const std::string mountPoint =
        mountPointOf(tools("hdiutil", {"attach", "-readonly", "-nobrowse", "-plist", package.string()}));
    // From here every exit detaches the image, last of all; a failed detach changes
    // nothing about the outcome.
    const platform::ScopeExit detach([&] { tools("hdiutil", {"detach", mountPoint}); });
    const ImageApplication image = validateImage(mountPoint, manifest, tools, files);
    handOver(waitPID, manifest, environment);

    // Swap and backup.
    const fs::path parent = target.parent_path();
    if (!files.isWritable(parent))
        throw InstallerError("没有安装目录写权限，请授权或选择用户 Applications 目录");
    const std::string id = newTransactionID();
    const fs::path staging = parent / (".tavelo-new-" + id + ".app");
    const fs::path previous = parent / (".tavelo-previous-" + id + ".app");
    status("正在安装…");
    // Armed before the copy, so a copy that fails half-way is removed as well: the name
    // is this transaction's own, nothing else can be there.
    const platform::ScopeExit removeStaging([&] {
        if (files.exists(staging) || fs::is_symlink(staging))
            files.remove(staging);
    });
    tools("ditto", {image.bundle.string(), staging.string()});
    tools("codesign", {"--verify", "--deep", "--strict", staging.string()});

    const bool existed = files.exists(target);
    if (existed) {
        try {
            files.move(target, previous);
        } catch (...) {
            if (!files.exists(target)) {
                try {
                    files.move(previous, target);
                } catch (...) {
                }
            }
            throw;
        }
    }
    try {
        files.move(staging, target);
    } catch (...) {
        if (existed && !files.exists(target)) {
            try {
                files.move(previous, target);
            } catch (...) {
            }
        }
        throw;
    }

    // Launch confirmation.
    const fs::path healthFile = updateHealthFile(system.homeFolder(), manifest.environment, id);
    try {
        tools("open", {target.string(), "--args", "--installer-transaction=" + id});
    } catch (...) {
        if (existed) {
            try {
                files.move(target, staging);
            } catch (...) {
            }
            try {
                files.move(previous, target);
            } catch (...) {
            }
        }
        throw;
    }
    status("安装完成，正在确认启动…");
    const auto deadline = system.now() + confirmLimit;
    for (;;) {
        if (!(system.now() < deadline))
            throw InstallerError(
                "新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会自动降级用户数据。");
        if (confirmsStart(healthFile, manifest, image.build))
            break;
        system.sleep(confirmPollInterval);
    }
    std::error_code ignored;
    fs::remove(healthFile, ignored);
    if (existed) {
        try {
            files.remove(previous);
        } catch (...) {
        }
    }
    status("更新已完成");
}

} // namespace installer::install
