// The files and directories that `make` puts into an archive, gathered from
// the command line's paths in a fixed order.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct MemberSource {
    std::string sourcePath; // where the data is read from
    std::string memberPath; // UTF-8, parts joined by "/", no trailing "/"
    bool isDirectory;
    bool readOnly; // the owner may not write it
    int64_t mtime; // seconds since 1970, UTC
    uint64_t size; // 0 for a directory
};

// A file becomes a member under its own name. A directory becomes a member
// under its own name followed by everything below it; written with a
// trailing "/" (or as "." or ".."), only what is below it goes in, at the
// top of the archive. Entries of a directory are taken in byte order of
// their names, each directory before its contents; symbolic links are
// followed. Fails with a message on unreadable paths, link loops, and two
// members whose names Windows would take for the same.
bool CollectMembers(const std::vector<std::string> &paths, std::vector<MemberSource> *members,
                    std::string *error);
