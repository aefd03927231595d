#include "hosts/test_ca.h"

#include "support/temp_dir.h"
#include "support/process.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace installer::testing {

namespace {

void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runProcess(argv);
    if (result.status != 0)
        throw std::runtime_error("openssl " + args.front() + " failed: " + result.err);
}

bool isAddress(const std::string& name) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

} // namespace

TestCA makeTestCA(const std::filesystem::path& folder, const std::vector<std::string>& names) {
    std::filesystem::create_directories(folder);
    const auto file = [&](const char* name) { return (folder / name).string(); };
    const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                             "-nodes"};
    std::vector<std::string> ca = {"req", "-x509", "-days", "2", "-subj", "/CN=Tavelo Test CA",
                                   "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                   "keyUsage=critical,keyCertSign,cRLSign", "-keyout", file("ca.key"),
                                   "-out", file("ca.pem")};
    ca.insert(ca.begin() + 2, newKey.begin(), newKey.end());
    openssl(ca);

    std::string altNames;
    for (const auto& name : names)
        altNames += (altNames.empty() ? "" : ",") + std::string(isAddress(name) ? "IP:" : "DNS:") + name;
    writeFile(folder / "server.ext", "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                                     "subjectAltName=" + altNames + "\n");
    std::vector<std::string> request = {"req", "-subj", "/CN=" + names.front(), "-keyout",
                                        file("server.key"), "-out", file("server.csr")};
    request.insert(request.begin() + 1, newKey.begin(), newKey.end());
    openssl(request);
    openssl({"x509", "-req", "-in", file("server.csr"), "-CA", file("ca.pem"), "-CAkey", file("ca.key"),
             "-set_serial", "0x" + std::to_string(std::hash<std::string>{}(folder.string()) | 1),
             "-days", "2", "-extfile", file("server.ext"), "-out", file("server.pem")});
    return {folder / "ca.pem", folder / "server.pem", folder / "server.key"};
}

} // namespace installer::testing
