// Replays saved fuzz inputs without libFuzzer: each argument is a file, or a folder whose
// files are all replayed. A crash or sanitizer report shows which input caused it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> contents{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    // A copy of exactly the file's size, so AddressSanitizer sees any read past the end.
    const std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
    std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    bool allRead = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) allRead = replay(entry.path()) && allRead;
        } else {
            allRead = replay(path) && allRead;
        }
    }
    return allRead ? 0 : 1;
}
