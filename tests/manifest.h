// tests/java's manifest of the jlha archives: one line per member, in order.
#pragma once
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ManifestEntry {
    std::string archive, kind, method, path, input;  // kind "file" or "dir"; path ends in "/" for a dir
    int level, attribute;
    long long mtime;  // UTC seconds given to the encoder
    size_t packedOffset, packedSize;
    int ringEdgeMatches;  // -lzs-/-lz5- matches one whole ring back (see tests/java)
};

inline std::vector<ManifestEntry> ReadManifest(const std::string &testData, const std::string &archive = "")
{
    std::vector<ManifestEntry> entries;
    std::ifstream f(testData + "/manifest.tsv");
    for (std::string line; std::getline(f, line);) {
        std::vector<std::string> c;
        std::istringstream in(line);
        for (std::string cell; std::getline(in, cell, '\t');)
            c.push_back(cell);
        if (c.size() >= 11 && c[0][0] != '#' && (archive.empty() || c[0] == archive))
            entries.push_back({c[0], c[2], c[3], c[4], c[5], atoi(c[1].c_str()), atoi(c[7].c_str()),
                               atoll(c[6].c_str()), (size_t)atoll(c[8].c_str()), (size_t)atoll(c[9].c_str()),
                               atoi(c[10].c_str())});
    }
    return entries;
}
