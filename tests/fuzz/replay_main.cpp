// Stands in for libFuzzer where the compiler has none: runs the target once on every
// file named, or in a folder named, on the command line. Options (-runs=0 and the
// like) are libFuzzer's and are skipped.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static void replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (argv[i][0] == '-')
            continue;
        if (!std::filesystem::is_directory(path))
            replay(path);
        else
            for (const auto& entry : std::filesystem::directory_iterator(path))
                replay(entry.path());
    }
    return 0;
}
