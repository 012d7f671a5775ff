// Replays inputs through a fuzz target without libFuzzer: every argument is a file, or a
// directory whose regular files (recursively, in path order) are each passed to
// LLVMFuzzerTestOneInput once. Finding no input at all is a failure, so a missing corpus
// cannot pass unnoticed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A fresh allocation of exactly the input's size, so the sanitizer sees any overread.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (fs::recursive_directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec))
                if (it->is_regular_file()) files.push_back(it->path());
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
                return 1;
            }
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    for (const fs::path& f : files)
        if (!replay(f)) return 1;
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
