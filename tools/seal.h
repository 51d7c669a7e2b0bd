// Building self-extracting files on the host: the stub's XOR seal, and a
// walk over LHA member headers in memory with the stub's own parser.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "archive/archive.h"

enum {
    ARCHIVE_ALIGNMENT = 512,     // the stub looks for the archive only here...
    ARCHIVE_MAX_OFFSET = 65536,  // ...and no further
};

// XOR of the bytes read as consecutive little-endian 32-bit words, a last
// partial word padded with zero bytes: what the stub computes over itself.
uint32_t StubXor(const uint8_t *bytes, size_t count);

// File offset of the CheckSum field of a PE image's optional header, or 0
// when the bytes are no PE image. Nothing reads that field in a user-mode
// program, and Authenticode leaves it out of its hash, so it serves as the
// stub's adjustment word.
size_t CheckSumOffset(const uint8_t *bytes, size_t count);

// Sets the CheckSum field so that bytes[0 .. length) XOR to 0. Returns
// false (and changes nothing) when there is no such field inside them.
bool SealStubPart(uint8_t *bytes, size_t length);

struct LzhMember {
    std::string method;    // the five bytes "-lh5-"
    std::string path;      // directory and name, "/" between components
    size_t offset;         // of the header
    size_t headerLength;   // extended headers included
    uint32_t packedSize;   // data alone
    uint32_t originalSize;
    int level;
};

// Reads the member header at `offset` with the stub's parser. HeaderEnd:
// no member there (the end mark, a trailing 0x1A, too few bytes left).
HeaderVerdict ReadLzhHeader(const uint8_t *bytes, size_t size, size_t offset, LzhMember *member);

// Walks the members of the archive that starts at `offset` up to its end
// mark (or the end of the bytes). Returns false with a message when a header
// is damaged or a member's data runs past the end.
bool WalkLzh(const uint8_t *bytes, size_t size, size_t offset, std::vector<LzhMember> *members,
             std::string *error);

// Where the stub finds the archive in a self-extracting file: the first
// multiple of 512 up to 65,536 whose bytes 2 and 6 are "-" and that reads as
// a member header, or, when there is none, a last byte 0 within the scanned
// range (an empty archive). -1 when it finds nothing; -2 when a candidate
// reads as a damaged header (the stub stops there with an error).
long FindArchive(const uint8_t *bytes, size_t size);

// Whether the stub has a decoder for the method ("-lhd-" counts: directories).
bool IsExtractableMethod(const std::string &method);
