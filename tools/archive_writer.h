// Writing LHA archives (host tool only): member headers of levels 0, 1 and
// 2, names in code page 437, and the member data stored or packed.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/file_walker.h"

struct ArchiveOptions {
    int method = 5;               // 0 (-lh0-), 5 (-lh5-) or 6 (-lh6-)
    int level = 2;                // header level 0, 1 or 2
    bool fixedTime = false;       // stamp every member with fixedMtime
    int64_t fixedMtime = 0;       // seconds since 1970, UTC
    bool clampTime = false;       // no member time later than clampMtime
    int64_t clampMtime = 0;
    bool level1HeaderCrc = false; // give level 1 headers a header CRC too
    bool storeIfLarger = true;    // store a member whose packed form would not be smaller
    bool best = false;            // the parse of least cost: smaller, slower
    bool showProgress = false;    // a progress bar, when stderr is a terminal
};

// The fields of one member header, before they are laid out for a level.
struct MemberFields {
    char method[6];      // "-lh5-"
    uint32_t packedSize; // the packed data alone
    uint32_t originalSize;
    int64_t mtime; // seconds since 1970, UTC
    uint8_t attribute;
    uint16_t dataCrc;
    std::string directory; // code page 437, each part ending in "/", or empty
    std::string name;      // code page 437; empty for a directory member
};

// UTF-8 to code page 437. Fails with a message naming the character when a
// name holds one that the code page lacks, or one that would read as a
// path separator in a header (backslash, and U+00A0, which is byte 0xFF).
bool Utf8ToOem(const std::string &utf8, std::string *oem, std::string *error);

// The MS-DOS date (high half) and time (low half) of a Unix time in the
// local time zone, held to the range MS-DOS can show: 1980 to 2107.
uint32_t UnixToDosDateTime(int64_t mtime);

// Appends the header of one member in the given level. Fails with a
// message when the names do not fit that level.
bool AppendMemberHeader(const MemberFields &fields, int level, bool level1HeaderCrc,
                        std::vector<uint8_t> *archive, std::string *error);

// Writes every member, then the end mark, to *archive.
bool WriteArchive(const std::vector<MemberSource> &members, const ArchiveOptions &options,
                  std::vector<uint8_t> *archive, std::string *error);

// CollectMembers and WriteArchive: the archive of the files and
// directories named on a command line.
bool BuildArchiveFromPaths(const std::vector<std::string> &paths, const ArchiveOptions &options,
                           std::vector<uint8_t> *archive, std::string *error);
