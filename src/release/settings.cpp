#include "release/settings.h"

#include "release/json_reader.h"

namespace installer::release {

Settings decodeSettings(std::string_view bytes) {
    const nlohmann::json document = parseJson(bytes);
    const JsonReader root(document, "");
    Settings settings;
    settings.apiOrigin = root.string("apiOrigin");
    settings.environment = root.string("environment");
    for (const auto& [id, key] : root.object("keys").value().items()) {
        if (!key.is_string())
            throwDecodeError("键“keys." + id + "”的值应为字符串");
        settings.keys.emplace(id, key.get<std::string>());
    }
    const auto& hosts = root.array("downloadHosts");
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        if (!hosts[i].is_string())
            throwDecodeError("键“downloadHosts[" + std::to_string(i) + "]”的值应为字符串");
        settings.downloadHosts.push_back(hosts[i].get<std::string>());
    }
    settings.installerVersion = root.string("installerVersion");
    return settings;
}

} // namespace installer::release
