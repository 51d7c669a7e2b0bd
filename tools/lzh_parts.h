// The parts of the -lh5-/-lh6- packer (host tool only) that its files
// share: the block format's sizes, bit output, tokens and their counts, and
// the hash-chain match finder, whose inner steps stay inline for the parse.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "tools/lzh_encoder.h"

namespace lzh
{

enum {
    kMinMatch = 3,
    kMaxMatch = 256,
    kLiteralSymbols = 510,   // 0..255 bytes, 256..509 match lengths 3..256
    kLengthCodeSymbols = 19, // code lengths 0..16 as symbols 2..18, zero runs 0..2
    kMaxCodeLength = 16,
    kMaxPositionSymbols = 17,
    kMaxBlockCodes = 65535, // the block count field is 16 bits; 0 means "no end"
    kChunkCodes = 4096,
    kHashBits = 16,
    kNearBits = 14,
};

// ---------------------------------------------------------------------------
// Bit output, most significant bit first.

// Bytes go straight into the output vector, which ReserveBits has grown
// beforehand: the writer itself never checks for room.
struct BitWriter {
    std::vector<uint8_t> *out;
    size_t used;   // bytes of *out written so far
    uint64_t bits; // the pending bits are the low `count` bits
    int count;     // below 32 between calls
};

// Grows *w->out so that `bytes` more bytes fit.
void ReserveBits(BitWriter *w, size_t bytes);

inline void PutBits(BitWriter *w, int n, uint32_t value)
{
    w->bits = (w->bits << n) | value;
    w->count += n;
    if (w->count >= 32) {
        w->count -= 32;
        uint32_t word = __builtin_bswap32((uint32_t)(w->bits >> w->count));
        memcpy(w->out->data() + w->used, &word, 4);
        w->used += 4;
    }
}

// Pads the last byte with zero bits (a reader accepts up to 8 of them) and
// returns the bytes written; the vector keeps its size.
size_t FinishBits(BitWriter *w);

// FinishBits, and cuts the vector to what was written.
void FlushBits(BitWriter *w);

// ---------------------------------------------------------------------------
// Tokens. A token holds its literal/length symbol in the low 9 bits and, for
// a match, the offset (distance - 1) above them.

inline uint32_t LiteralToken(uint8_t c)
{
    return c;
}
inline uint32_t MatchToken(int length, uint32_t distance)
{
    return (uint32_t)(length - kMinMatch + 256) | ((distance - 1) << 9);
}
inline int TokenSymbol(uint32_t token)
{
    return (int)(token & 511);
}
inline uint32_t TokenOffset(uint32_t token)
{
    return token >> 9;
}

// Position symbol p: 0 for offset 0, else the bit length of the offset; the
// offset's bits below its top bit follow as p - 1 extra bits.
inline int PositionSymbol(uint32_t offset)
{
    return offset == 0 ? 0 : 32 - __builtin_clz(offset);
}

struct Histogram {
    uint32_t literal[kLiteralSymbols];
    uint32_t position[kMaxPositionSymbols];
    uint32_t codes;
};

void AddHistogram(Histogram *into, const Histogram &from);

// A quick estimate of the bits of a block with the counts h (plus *more).
float EstimateBlockBits(const Histogram &h, const Histogram *more = nullptr);

// The exact bits of a block with the counts h, and its code lengths (0 for
// a symbol that takes no bits).
uint64_t BlockBits(const Histogram &h, const LzhMethodParams &params, uint8_t *literalLength,
                   uint8_t *positionLength);

// One block: its count of codes, its two codes and the codes of `tokens`.
void WriteBlock(BitWriter *w, const uint32_t *tokens, const Histogram &h,
                const LzhMethodParams &params);

// ---------------------------------------------------------------------------
// Match finder: chains of earlier positions with the same 4-byte hash, and
// for matches of three bytes only the newest position with the same 3-byte
// hash. Three-byte matches pay off only near by, and chains keyed on four
// bytes hold far fewer candidates that fail. The chain links live in a ring
// of twice the dictionary, so that no position within reach shares a slot
// with another. Positions are kept as position + 1, with 0 for none.

struct MatchFinder {
    const uint8_t *data;
    size_t size;
    uint32_t dictionary; // greatest distance
    uint32_t ringMask;
    uint32_t *head;  // newest entry of each 4-byte chain (1 << kHashBits)
    uint32_t *link;  // the previous entry in its chain (ringMask + 1)
    uint32_t *near3; // newest position of each 3-byte hash (1 << kNearBits)
};

struct Candidates {
    uint32_t chain; // the 4-byte chain pos was put in front of
    uint32_t near;  // the newest earlier position with its 3-byte hash
};

// Both hashes come from the little-endian word of the next four bytes.
inline uint32_t Hash4(uint32_t v)
{
    return (v * 0x9E3779B1u) >> (32 - kHashBits);
}

inline uint32_t Hash3(uint32_t v)
{
    return ((v & 0xFFFFFF) * 0x9E3779B1u) >> (32 - kNearBits);
}

// Enters pos, which has four bytes from it on.
inline Candidates InsertFour(MatchFinder *f, size_t pos)
{
    uint32_t v;
    memcpy(&v, f->data + pos, 4);
    uint32_t h3 = Hash3(v), h = Hash4(v);
    Candidates c = {f->head[h], f->near3[h3]};
    f->near3[h3] = (uint32_t)pos + 1;
    f->link[pos & f->ringMask] = c.chain;
    f->head[h] = (uint32_t)pos + 1;
    return c;
}

// Enters from .. to - 1, each with four bytes from it on. The tables are
// read into locals: stores into them could otherwise change the fields.
inline void InsertRun(MatchFinder *f, size_t from, size_t to)
{
    const uint8_t *data = f->data;
    uint32_t *head = f->head, *link = f->link, *near3 = f->near3;
    uint32_t ringMask = f->ringMask;
    for (size_t q = from; q < to; q++) {
        uint32_t v;
        memcpy(&v, data + q, 4);
        uint32_t h = Hash4(v);
        near3[Hash3(v)] = (uint32_t)q + 1;
        link[q & ringMask] = head[h];
        head[h] = (uint32_t)q + 1;
    }
}

// Enters pos, which needs three bytes (four to join a chain).
inline Candidates InsertPosition(MatchFinder *f, size_t pos)
{
    if (pos + 4 <= f->size)
        return InsertFour(f, pos);
    const uint8_t *p = f->data + pos;
    uint32_t h3 = Hash3((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16);
    Candidates c = {0, f->near3[h3]};
    f->near3[h3] = (uint32_t)pos + 1;
    return c;
}

inline int CommonLength(const uint8_t *a, const uint8_t *b, int limit)
{
    int n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y)
            return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

// The longest match at pos longer than `beat`: the near 3-byte candidate if
// it lies within nearReach, then up to `chain` entries of the 4-byte chain.
// 0 if there is none.
inline int LongestMatch(const MatchFinder *f, size_t pos, Candidates c, int beat, int chain,
                        uint32_t nearReach, uint32_t *distance)
{
    size_t remaining = f->size - pos;
    int limit = remaining < (size_t)kMaxMatch ? (int)remaining : kMaxMatch;
    if (beat >= limit)
        return 0;
    size_t lowest = pos > f->dictionary ? pos - f->dictionary : 0;
    const uint8_t *here = f->data + pos;
    int best = beat;
    if (best < kMinMatch && c.near != 0 && pos - (c.near - 1) <= nearReach &&
        c.near - 1 >= lowest) {
        const uint8_t *there = f->data + c.near - 1;
        int len = CommonLength(here, there, limit);
        if (len >= kMinMatch) {
            best = len;
            *distance = (uint32_t)(pos - (c.near - 1));
            if (len >= limit)
                return len; // the chain's quick test would read here[limit]
        }
    }
    // Entries are kept as position + 1, so none (0) is never above `lowest`.
    // Every slot of the ring within reach still holds the entry of the
    // position it was written for: the ring spans twice the dictionary.
    uint32_t candidate = c.chain;
    while (candidate > lowest && chain-- > 0) {
        size_t cand = candidate - 1;
        const uint8_t *there = f->data + cand;
        if (there[best] == here[best] && there[0] == here[0] && there[1] == here[1]) {
            int len = CommonLength(here, there, limit);
            if (len > best) {
                best = len;
                *distance = (uint32_t)(pos - cand);
                if (len >= limit)
                    break;
            }
        }
        candidate = f->link[cand & f->ringMask];
    }
    return best > beat ? best : 0;
}

// A binary tree of the positions within the dictionary, ordered by the
// bytes that follow each (a tree per 3-byte hash). Entering a position walks
// its tree from the root, and the walk meets every match the depth allows,
// newest first. Slots are kept as in MatchFinder.
struct TreeFinder {
    const uint8_t *data;
    size_t size;
    uint32_t dictionary;
    uint32_t ringMask;
    int depth;                  // nodes visited per position
    int niceLength;             // a match this long ends the walk
    std::vector<uint32_t> head; // root of each 3-byte hash's tree
    std::vector<uint32_t> son;  // the two subtrees of each slot
};

void InitTreeFinder(TreeFinder *f, const uint8_t *data, size_t size, uint32_t dictionary,
                    int depth, int niceLength);

// Enters pos and, with pairs given, stores there the matches at pos of
// increasing length, each as length << 16 | (distance - 1) with the least
// distance for that length; returns their number (at most kMaxMatch - 2).
int TreeMatches(TreeFinder *f, size_t pos, uint32_t *pairs);

// The packed form of data[start .. end - 1] (matches reach back before
// start) by the parse of least cost, with blocks where codes of their own pay.
void PackSegmentOptimal(const uint8_t *data, size_t start, size_t end,
                        const LzhMethodParams &params, const LzhEffort &effort, BitWriter *w);

} // namespace lzh
