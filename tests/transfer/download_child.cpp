// One Download in a process of its own, so a test can kill it at any moment:
//   download_child URL DESTINATION CA_FILE CONNECT_TO
// Exit status 0 when the file is in place; otherwise 1, with the error on standard error.

#include "transfer/download.h"

#include <future>
#include <iostream>

int main(int argc, char** argv) {
    using namespace installer;
    if (argc != 5)
        return 2;
    release::Settings settings;
    settings.downloadHosts = {"localhost"};
    std::promise<transfer::DownloadResult> done;
    transfer::Download download(settings, argv[2], {}, {argv[3], {argv[4]}});
    download.start(argv[1],
                   [&](transfer::DownloadResult result) { done.set_value(std::move(result)); });
    const auto result = done.get_future().get();
    if (std::holds_alternative<std::filesystem::path>(result))
        return 0;
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(result));
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
    }
    return 1;
}
