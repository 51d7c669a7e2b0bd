// Feeds files to a fuzz target's entry point without libFuzzer, so that the
// regression corpus and the seeds run in every ordinary build and under any
// compiler. Arguments are files or directories (read in name order).
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    // Absolute paths: a target may change the current directory.
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        std::error_code e;
        fs::path arg = fs::absolute(argv[i], e);
        if (fs::is_directory(arg, e)) {
            for (const auto &item : fs::directory_iterator(arg, e))
                if (item.is_regular_file() && item.path().filename().string()[0] != '.')
                    inputs.push_back(item.path());
        } else if (fs::exists(arg, e)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 2;
        }
        fprintf(stderr, "replay: %s\n", path.c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    // Stdout is the tested program's console; the summary goes with stderr.
    fprintf(stderr, "replay: %zu inputs, no crash\n", inputs.size());
    return 0;
}
