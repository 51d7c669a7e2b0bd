// Writes the starting corpora of the fuzz targets from the small jlha test
// archives (short inputs run fast):
//   make_fuzz_seeds TESTDATA OUT  ->  OUT/header, OUT/decode, OUT/extract
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace fs = std::filesystem;

static std::string ReadAll(const fs::path &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

static void Write(const fs::path &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

int main(int argc, char **argv)
{
    if (argc != 3)
        return fprintf(stderr, "usage: make_fuzz_seeds TESTDATA OUT\n"), 2;
    fs::path data = argv[1], out = argv[2];
    for (const char *sub : {"header", "decode", "extract"})
        fs::create_directories(out / sub);
    int written = 0;
    // For the whole run: four answers of No; behind a stub whose first
    // member is "!", Yes then No; a cancel after the first block, confirmed.
    std::string bang = lzh::Archive({lzh::Stored("!", "comment")}, false);
    for (const auto &item : fs::directory_iterator(data)) {
        if (item.path().extension() != ".lzh" || fs::file_size(item.path()) > 48 * 1024)
            continue;
        std::string name = item.path().filename().string(), bytes = ReadAll(item.path());
        Write(out / "header" / name, bytes);
        Write(out / "extract" / name, std::string("\x04\x01\x01\x01\x01", 5) + bytes);
        Write(out / "extract" / (name + ".sfx"), std::string("\x02\x00\x01", 3) + lzh::SelfExtracting(bang + bytes, 300));
        Write(out / "extract" / (name + ".cancel"), std::string("\x11\x00", 2) + bytes);
        written += 4;
    }
    // For the decoders: packed members of every method with their sizes
    // and CRC, the CRC compared (flags 1).
    const std::string methods[] = {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"};
    for (const ManifestEntry &e : ReadManifest(data.string())) {
        std::string original = ReadAll(data / "inputs" / e.input);
        size_t index = std::find(methods, methods + 8, e.method) - methods;
        fs::path file = out / "decode" / (e.method + "-" + e.input + "-" + std::to_string(e.packedSize));
        if (index == 8 || e.packedSize > 16384 || original.size() >= (1u << 17) || fs::exists(file))
            continue;
        std::string seed = {(char)index, '\x01'};
        lzh::Put32(seed, (uint32_t)original.size());
        lzh::Put16(seed, lzh::Crc16(original));
        Write(file, seed + '\0' + ReadAll(data / e.archive).substr(e.packedOffset, e.packedSize));
        written++;
    }
    if (!written)
        return fprintf(stderr, "make_fuzz_seeds: no test archives in %s\n", argv[1]), 1;
    printf("make_fuzz_seeds: %d seeds in %s\n", written, argv[2]);
    return 0;
}
