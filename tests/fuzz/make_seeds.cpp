// make_fuzz_seeds TESTDATA OUT: the fuzz targets' first corpora (OUT/header,
// OUT/decode, OUT/extract), made of the small jlha test archives.
#include <algorithm>
#include <filesystem>

#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace fs = std::filesystem;

static std::string Read(const fs::path &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

static void Write(const fs::path &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

int main(int, char **argv)
{
    fs::path data = argv[1], out = argv[2];
    for (const char *sub : {"header", "decode", "extract"})
        fs::create_directories(out / sub);
    // Whole runs: four answers of No; behind a stub and a first member "!",
    // Yes then No; Cancel after the first block, confirmed.
    std::string bang = lzh::Archive({lzh::Stored("!", "comment")}, false);
    for (const auto &item : fs::directory_iterator(data)) {
        if (item.path().extension() != ".lzh" || fs::file_size(item.path()) > 48 * 1024)
            continue;
        std::string name = item.path().filename().string(), bytes = Read(item.path());
        Write(out / "header" / name, bytes);
        Write(out / "extract" / name, std::string("\x04\x01\x01\x01\x01", 5) + bytes);
        Write(out / "extract" / (name + ".sfx"), std::string("\x02\x00\x01", 3) + lzh::SelfExtracting(bang + bytes, 300));
        Write(out / "extract" / (name + ".cancel"), std::string("\x11\x00", 2) + bytes);
    }
    // Decoders: every method's packed members, their CRC compared (flags 1).
    const std::string methods[] = {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"};
    for (const ManifestEntry &e : ReadManifest(data.string())) {
        std::string original = Read(data / "inputs" / e.input);
        size_t index = std::find(methods, methods + 8, e.method) - methods;
        if (index == 8 || e.packedSize > 16384 || original.size() >= (1u << 17))
            continue;
        std::string seed = {(char)index, '\x01'};
        lzh::Put32(seed, (uint32_t)original.size());
        lzh::Put16(seed, lzh::Crc16(original));
        Write(out / "decode" / (e.method + "-" + e.input + "-" + std::to_string(e.packedSize)),
              seed + '\0' + Read(data / e.archive).substr(e.packedOffset, e.packedSize));
    }
    return fs::is_empty(out / "header") || fs::is_empty(out / "decode");  // no test archives
}
