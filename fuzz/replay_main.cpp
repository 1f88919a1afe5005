// Replays every file of the given corpus directories through the fuzz
// target it is linked with, so the corpora run as ordinary tests without
// libFuzzer. A missing or empty directory fails: it would test nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int replayDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    if (error || files.empty()) {
        std::fprintf(stderr, "no corpus files in %s\n", directory.c_str());
        return 0;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::fprintf(stderr, "%s\n", file.c_str());
        std::vector<uint8_t> bytes = readFile(file);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return static_cast<int>(files.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        int count = replayDirectory(argv[i]);
        if (count == 0) return 1;
        std::printf("replayed %d inputs from %s\n", count, argv[i]);
    }
    return 0;
}
