// Writes the starting corpora of the fuzz targets from the jlha test
// archives (build/testdata) and a few hand-made ones:
//   make_fuzz_seeds TESTDATA OUT  ->  OUT/header, OUT/decode, OUT/extract
// Small inputs only: the fuzzers mutate them, and short inputs run fast.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lzh_builder.h"

namespace fs = std::filesystem;

namespace {

const size_t kMaxSeed = 48 * 1024;

std::string ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The decode target's methods, in its selector order.
int MethodIndex(const std::string &method)
{
    const char *const methods[] = {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"};
    for (int i = 0; i < 8; i++)
        if (method == methods[i])
            return i;
    return -1;
}

std::vector<std::string> HandMadeArchives()
{
    std::vector<std::string> all;
    for (int level = 0; level <= 2; level++) {
        lzh::Member dir = lzh::Directory(level == 0 ? "docs\\" : "docs", level);
        if (level > 0) {
            dir.name = "";
            dir.directory = "docs\\";
        }
        lzh::Member file = lzh::Stored(level == 0 ? "docs\\a.txt" : "a.txt", "hello\r\n", level);
        if (level > 0)
            file.directory = "docs\xff";
        lzh::Member attr = lzh::Stored("ro.txt", "read only", level);
        if (level == 1) {
            attr.headerCrc = true;
            attr.extra.push_back(std::string("\x40\x21", 2));
        }
        lzh::Member bang = lzh::Stored("!", "comment", level);
        all.push_back(lzh::Archive({dir, file, attr}));
        all.push_back(lzh::SelfExtracting(lzh::Archive({bang, file, attr}), 300));
    }
    return all;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: make_fuzz_seeds TESTDATA OUT\n");
        return 2;
    }
    fs::path data = argv[1], out = argv[2];
    for (const char *sub : {"header", "decode", "extract"})
        fs::create_directories(out / sub);

    std::vector<std::pair<std::string, std::string>> archives;
    for (const auto &item : fs::directory_iterator(data)) {
        std::string name = item.path().filename().string();
        if (item.path().extension() == ".lzh" && fs::file_size(item.path()) <= kMaxSeed)
            archives.push_back({name, ReadAll(item.path())});
    }
    std::vector<std::string> handMade = HandMadeArchives();
    for (size_t i = 0; i < handMade.size(); i++)
        archives.push_back({"hand" + std::to_string(i), handMade[i]});
    if (archives.size() <= handMade.size()) {
        fprintf(stderr, "make_fuzz_seeds: no test archives in %s\n", argv[1]);
        return 1;
    }

    int written = 0;
    for (const auto &[name, bytes] : archives) {
        Write(out / "header" / name, bytes);
        // Four answers of No (byte 1), no cancel; Yes then No behind a
        // stub; and a cancel after the first output block, confirmed.
        Write(out / "extract" / name, std::string("\x04\x01\x01\x01\x01", 5) + bytes);
        Write(out / "extract" / (name + ".sfx"), std::string("\x02\x00\x01", 3) + lzh::SelfExtracting(bytes, 300));
        Write(out / "extract" / (name + ".cancel"), std::string("\x11\x00", 2) + bytes);
        written += 4;
    }

    // Packed members of every method, with their real sizes and CRC.
    std::ifstream manifest(data / "manifest.tsv");
    std::string line;
    while (std::getline(manifest, line)) {
        std::istringstream f(line);
        std::string archive, kind, method, path, input;
        long long mtime;
        int level, attribute, ring;
        size_t offset, size;
        std::getline(f, archive, '\t');
        if (archive.empty() || archive[0] == '#')
            continue;
        f >> level >> kind >> method;
        f.ignore(1);
        std::getline(f, path, '\t');
        std::getline(f, input, '\t');
        f >> mtime >> attribute >> offset >> size >> ring;
        int index = MethodIndex(method);
        std::string original = ReadAll(data / "inputs" / input);
        if (!f || index < 0 || size > 16384 || original.size() >= (1u << 17))
            continue;
        std::string packed = ReadAll(data / archive).substr(offset, size);
        std::string seed(1, (char)index);
        seed += '\x01';  // compare the CRC
        lzh::Put32(seed, (uint32_t)original.size());
        lzh::Put16(seed, lzh::Crc16(original));
        seed += '\0';
        fs::path file = out / "decode" / (method + "-" + input + "-" + std::to_string(size));
        if (!fs::exists(file)) {
            Write(file, seed + packed);
            written++;
        }
    }
    printf("make_fuzz_seeds: %d seeds in %s\n", written, argv[2]);
    return 0;
}
