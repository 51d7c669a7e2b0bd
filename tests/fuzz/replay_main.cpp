// Feeds the files of the directories given to a fuzz target's entry point,
// in name order, without libFuzzer: the regressions and the seeds run in
// every ordinary build and under any compiler. CTest passes the run only on
// the closing summary, so a process ended on the way fails it.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++)
        for (const auto &item : fs::directory_iterator(fs::absolute(argv[i])))  // a target may chdir
            if (item.is_regular_file() && item.path().filename().string()[0] != '.')
                inputs.push_back(item.path());
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replay: %s\n", path.c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    // Stdout is the tested program's console; the summary goes with stderr.
    fprintf(stderr, "replay: %zu inputs, no crash\n", inputs.size());
    return 0;
}
