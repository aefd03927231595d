// sign-manifest: makes release-signing keys and signed-manifest envelopes.
//
//   sign-manifest keygen PRIVATE.pem           writes a new private key (mode 0600) and
//                                              prints its public key (base64url)
//   sign-manifest public-key PRIVATE.pem       prints the public key of a private key
//   sign-manifest sign PRIVATE.pem KEY_ID MANIFEST.json [OUT.json]
//                                              writes the envelope signing MANIFEST's
//                                              bytes exactly as they are

#include "signing.h"

#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path);
    const bool ok = ::write(fd, content.data(), content.size()) ==
                    static_cast<ssize_t>(content.size());
    if (::close(fd) != 0 || !ok)
        throw std::runtime_error("cannot write " + path);
}

int usage() {
    std::cerr << "usage: sign-manifest keygen PRIVATE.pem\n"
                 "       sign-manifest public-key PRIVATE.pem\n"
                 "       sign-manifest sign PRIVATE.pem KEY_ID MANIFEST.json [OUT.json]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using namespace installer::signing;
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "keygen") {
            const KeyPair pair = generateKeyPair();
            writeAll(args[1], pair.privateKeyPem, 0600);
            std::cout << pair.publicKey << '\n';
        } else if (args.size() == 2 && args[0] == "public-key") {
            std::cout << publicKeyOf(readAll(args[1])) << '\n';
        } else if ((args.size() == 4 || args.size() == 5) && args[0] == "sign") {
            const std::string envelope = makeEnvelope(readAll(args[3]), readAll(args[1]), args[2]);
            if (args.size() == 5)
                writeAll(args[4], envelope, 0644);
            else
                std::cout << envelope;
        } else {
            return usage();
        }
    } catch (const std::exception& e) {
        std::cerr << "sign-manifest: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
