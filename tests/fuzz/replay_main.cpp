// The CTest side of a fuzz target: replays every file of the given corpus directories (or the
// given files) through the target's entry function, built with the normal compiler.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz.h"

int main(int argc, char **argv)
{
    qvfuzz::SetReplayMode();
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p = argv[i];
        if (std::filesystem::is_directory(p)) {
            for (const auto &entry : std::filesystem::directory_iterator(p))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else {
            inputs.push_back(p);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    std::vector<std::string> failed;
    for (const auto &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
        if (qvfuzz::TakeFailures() != 0) {
            std::fprintf(stderr, "  ^ input %s\n", path.c_str());
            failed.push_back(path.filename().string());
        }
    }
    std::printf("%zu inputs replayed, %zu broke an invariant\n", inputs.size(), failed.size());
    for (const std::string &f : failed) std::printf("  failed: %s\n", f.c_str());
    return failed.empty() ? 0 : 1;
}
