// Runs every stored input of one fuzz target once, without libFuzzer: the seed corpus and
// the inputs that once broke a property. Each argument is a file or a directory of them;
// a directory that does not exist (a target with no regressions yet) is skipped.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "tests/fuzz/FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

bool runFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
    // A copy of exactly the input's size, so a read past its end is caught by AddressSanitizer
    // in instrumented builds, as libFuzzer's own buffer would.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    std::fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), input.size());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path where = argv[i];
        std::error_code error;
        if (fs::is_regular_file(where, error)) {
            if (!runFile(where))
                return 1;
            ++count;
            continue;
        }
        if (!fs::is_directory(where, error))
            continue;
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(where, error)) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            if (!runFile(file))
                return 1;
            ++count;
        }
    }
    std::printf("%zu inputs, every property held\n", count);
    // No input at all means the corpus was not found: a broken set-up, not a pass.
    return count > 0 ? 0 : 1;
}
