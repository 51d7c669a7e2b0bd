// Packer for -lh5- / -lh6-. The parse is a hash-chain LZ77 with one step of
// lazy evaluation; its tokens are gathered in chunks, and a chunk joins the
// current block unless a code of its own would pay for the extra block
// header. Each block is written with Huffman codes built from its own counts.
#include "tools/lzh_encoder.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace
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

void ReserveBits(BitWriter *w, size_t bytes)
{
    if (w->out->size() < w->used + bytes)
        w->out->resize(std::max(w->used + bytes, w->out->size() * 2));
}

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
// cuts the vector to what was written.
void FlushBits(BitWriter *w)
{
    ReserveBits(w, 8);
    while (w->count >= 8) {
        w->count -= 8;
        (*w->out)[w->used++] = (uint8_t)(w->bits >> w->count);
    }
    if (w->count > 0) {
        (*w->out)[w->used++] = (uint8_t)(w->bits << (8 - w->count));
        w->count = 0;
    }
    w->out->resize(w->used);
}

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

void AddHistogram(Histogram *into, const Histogram &from)
{
    for (int i = 0; i < kLiteralSymbols; i++)
        into->literal[i] += from.literal[i];
    for (int i = 0; i < kMaxPositionSymbols; i++)
        into->position[i] += from.position[i];
    into->codes += from.codes;
}

// log2 within about 0.005: the estimates below only compare block plans.
inline float RoughLog2(float x)
{
    uint32_t bits;
    memcpy(&bits, &x, 4);
    float exponent = (float)((int)(bits >> 23) - 127);
    bits = (bits & 0x007FFFFF) | 0x3F800000;
    float m; // the mantissa, 1 <= m < 2
    memcpy(&m, &bits, 4);
    return exponent + (-0.34484843f * m + 2.02466578f) * m - 0.67487759f;
}

// Bits of an ideal code for the counts a[i] + b[i] (b may be null), plus a
// rough price for writing that code's lengths into the block header.
float EntropyBits(const uint32_t *a, const uint32_t *b, int count, float pricePerSymbol)
{
    float total = 0, sum = 0;
    int used = 0;
    for (int i = 0; i < count; i++) {
        uint32_t f = a[i] + (b ? b[i] : 0);
        if (f == 0)
            continue;
        used++;
        total += (float)f;
        sum += (float)f * RoughLog2((float)f);
    }
    if (used < 2)
        return 0;
    return total * RoughLog2(total) - sum + (float)used * pricePerSymbol;
}

// The block header's fixed fields, then the two codes.
float EstimateBlockBits(const Histogram &h, const Histogram *more = nullptr)
{
    return 40 + EntropyBits(h.literal, more ? more->literal : nullptr, kLiteralSymbols, 4.0f) +
           EntropyBits(h.position, more ? more->position : nullptr, kMaxPositionSymbols, 3.5f);
}

} // namespace

// ---------------------------------------------------------------------------
// Huffman codes.

namespace
{

// Depths of a Huffman tree over the used symbols. The two-queue method needs
// the leaves in increasing weight; internal nodes are then made in
// increasing weight too, so each step takes the two lightest fronts.
int HuffmanDepths(const uint32_t *freq, int count, uint8_t *depths)
{
    int order[kLiteralSymbols];
    int m = 0;
    for (int i = 0; i < count; i++)
        if (freq[i] != 0)
            order[m++] = i;
    std::stable_sort(order, order + m, [&](int a, int b) { return freq[a] < freq[b]; });

    uint64_t weight[2 * kLiteralSymbols];
    int parent[2 * kLiteralSymbols];
    for (int i = 0; i < m; i++)
        weight[i] = freq[order[i]];
    int nextLeaf = 0, nextNode = m, made = m;
    auto takeLightest = [&]() {
        if (nextLeaf < m && (nextNode >= made || weight[nextLeaf] <= weight[nextNode]))
            return nextLeaf++;
        return nextNode++;
    };
    for (int k = 0; k < m - 1; k++) {
        int a = takeLightest();
        int b = takeLightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made;
        made++;
    }
    // The root is the last node made; every node was made after its children.
    int depth[2 * kLiteralSymbols];
    depth[made - 1] = 0;
    int deepest = 0;
    for (int node = made - 2; node >= 0; node--) {
        depth[node] = depth[parent[node]] + 1;
        if (node < m)
            deepest = std::max(deepest, depth[node]);
    }
    for (int i = 0; i < m; i++)
        depths[order[i]] = (uint8_t)depth[i];
    return deepest;
}

} // namespace

void BuildCodeLengths(const uint32_t *freq, int count, int maxLength, uint8_t *lengths)
{
    memset(lengths, 0, count);
    int present = 0, lone = 0;
    for (int i = 0; i < count; i++)
        if (freq[i] != 0)
            present++, lone = i;
    if (present == 0)
        return;
    if (present == 1) {
        lengths[lone] = 1;
        return;
    }
    // A tree deeper than the limit needs counts far apart (a Fibonacci-like
    // spread); halving the counts, keeping every used one above zero, brings
    // them closer until the tree fits. It is rare, and cheap when it happens.
    uint32_t scaled[kLiteralSymbols];
    memcpy(scaled, freq, count * sizeof(uint32_t));
    if (HuffmanDepths(scaled, count, lengths) <= maxLength)
        return;
    do {
        for (int i = 0; i < count; i++)
            if (scaled[i] != 0)
                scaled[i] = (scaled[i] >> 1) | 1;
    } while (HuffmanDepths(scaled, count, lengths) > maxLength);
    // Halving made unequal counts equal, and ties went by symbol number:
    // hand the same lengths out again, the shortest to the most frequent.
    int lengthCount[kMaxCodeLength + 1] = {0};
    int order[kLiteralSymbols];
    int used = 0;
    for (int i = 0; i < count; i++) {
        if (lengths[i] != 0) {
            lengthCount[lengths[i]]++;
            order[used++] = i;
        }
    }
    std::stable_sort(order, order + used, [&](int a, int b) { return freq[a] > freq[b]; });
    int len = 1;
    for (int k = 0; k < used; k++) {
        while (lengthCount[len] == 0)
            len++;
        lengthCount[len]--;
        lengths[order[k]] = (uint8_t)len;
    }
}

void BuildCanonicalCodes(const uint8_t *lengths, int count, uint16_t *codes)
{
    uint32_t lengthCount[kMaxCodeLength + 1] = {0};
    for (int i = 0; i < count; i++)
        lengthCount[lengths[i]]++;
    uint32_t next[kMaxCodeLength + 1];
    uint32_t code = 0;
    lengthCount[0] = 0;
    for (int len = 1; len <= kMaxCodeLength; len++) {
        code = (code + lengthCount[len - 1]) << 1;
        next[len] = code;
    }
    for (int i = 0; i < count; i++)
        codes[i] = lengths[i] ? (uint16_t)next[lengths[i]]++ : 0;
}

namespace
{

// ---------------------------------------------------------------------------
// Block writer.

// Lengths of the code-length code and of the position code: 3 bits each,
// where 7 continues in unary (one 1-bit per further unit, then a 0-bit).
// After the third length of the code-length code a 2-bit count skips up to
// three zero lengths.
void WriteShortLengths(BitWriter *w, const uint8_t *lengths, int count, int countBits,
                       int specialIndex)
{
    int n = count;
    while (n > 0 && lengths[n - 1] == 0)
        n--;
    PutBits(w, countBits, (uint32_t)n);
    int i = 0;
    while (i < n) {
        int len = lengths[i++];
        if (len < 7) {
            PutBits(w, 3, (uint32_t)len);
        } else {
            PutBits(w, 3, 7);
            PutBits(w, len - 6, ((1u << (len - 7)) - 1) << 1);
        }
        if (i == specialIndex) {
            int zeros = 0;
            while (zeros < 3 && i + zeros < n && lengths[i + zeros] == 0)
                zeros++;
            PutBits(w, 2, (uint32_t)zeros);
            i += zeros;
        }
    }
}

// A code with at most one symbol is written as a count of 0 and the symbol
// itself; its symbols then take no bits at all.
void WriteConstantCode(BitWriter *w, int countBits, int symbol)
{
    PutBits(w, countBits, 0);
    PutBits(w, countBits, (uint32_t)symbol);
}

// The literal/length lengths as code-length symbols: t = length + 2 for a
// length, t = 0 for one zero, t = 1 with 4 bits for 3..18 zeros, t = 2 with
// 9 bits for 20..531 zeros. A run of 19 is one single zero and a run of 18.
struct LengthItem {
    uint8_t symbol;
    uint8_t extraBits;
    uint16_t extra;
};

int ListLiteralLengths(const uint8_t *lengths, int n, LengthItem *items)
{
    int k = 0, i = 0;
    while (i < n) {
        int len = lengths[i++];
        if (len != 0) {
            items[k++] = {(uint8_t)(len + 2), 0, 0};
            continue;
        }
        int run = 1;
        while (i < n && lengths[i] == 0)
            i++, run++;
        if (run <= 2) {
            for (int r = 0; r < run; r++)
                items[k++] = {0, 0, 0};
        } else if (run <= 18) {
            items[k++] = {1, 4, (uint16_t)(run - 3)};
        } else if (run == 19) {
            items[k++] = {0, 0, 0};
            items[k++] = {1, 4, 15};
        } else {
            items[k++] = {2, 9, (uint16_t)(run - 20)};
        }
    }
    return k;
}

struct BlockCodes {
    uint8_t literalLength[kLiteralSymbols];
    uint16_t literalCode[kLiteralSymbols];
    uint8_t positionLength[kMaxPositionSymbols];
    uint16_t positionCode[kMaxPositionSymbols];
};

int SoleSymbol(const uint32_t *freq, int count, int *used)
{
    int sole = 0;
    *used = 0;
    for (int i = 0; i < count; i++)
        if (freq[i] != 0)
            ++*used, sole = i;
    return sole;
}

void WriteLiteralCode(BitWriter *w, const uint32_t *freq, BlockCodes *codes)
{
    int used;
    int sole = SoleSymbol(freq, kLiteralSymbols, &used);
    if (used <= 1) {
        // Neither code is needed: a constant code-length code, then the constant.
        memset(codes->literalLength, 0, sizeof codes->literalLength);
        memset(codes->literalCode, 0, sizeof codes->literalCode);
        WriteConstantCode(w, 5, 0);
        WriteConstantCode(w, 9, sole);
        return;
    }
    BuildCodeLengths(freq, kLiteralSymbols, kMaxCodeLength, codes->literalLength);
    BuildCanonicalCodes(codes->literalLength, kLiteralSymbols, codes->literalCode);

    int n = kLiteralSymbols;
    while (n > 0 && codes->literalLength[n - 1] == 0)
        n--;
    LengthItem items[kLiteralSymbols + 1];
    int itemCount = ListLiteralLengths(codes->literalLength, n, items);

    uint32_t itemFreq[kLengthCodeSymbols] = {0};
    for (int i = 0; i < itemCount; i++)
        itemFreq[items[i].symbol]++;
    uint8_t itemLength[kLengthCodeSymbols];
    uint16_t itemCode[kLengthCodeSymbols];
    int itemSole = SoleSymbol(itemFreq, kLengthCodeSymbols, &used);
    if (used <= 1) {
        memset(itemLength, 0, sizeof itemLength);
        memset(itemCode, 0, sizeof itemCode);
        WriteConstantCode(w, 5, itemSole);
    } else {
        BuildCodeLengths(itemFreq, kLengthCodeSymbols, kMaxCodeLength, itemLength);
        BuildCanonicalCodes(itemLength, kLengthCodeSymbols, itemCode);
        WriteShortLengths(w, itemLength, kLengthCodeSymbols, 5, 3);
    }
    PutBits(w, 9, (uint32_t)n);
    for (int i = 0; i < itemCount; i++) {
        const LengthItem &it = items[i];
        PutBits(w, itemLength[it.symbol], itemCode[it.symbol]);
        if (it.extraBits)
            PutBits(w, it.extraBits, it.extra);
    }
}

void WritePositionCode(BitWriter *w, const uint32_t *freq, const LzhMethodParams &params,
                       BlockCodes *codes)
{
    int symbols = params.dictionaryBits + 1;
    int used;
    int sole = SoleSymbol(freq, symbols, &used);
    memset(codes->positionLength, 0, sizeof codes->positionLength);
    memset(codes->positionCode, 0, sizeof codes->positionCode);
    if (used <= 1) {
        WriteConstantCode(w, params.positionBits, sole);
        return;
    }
    BuildCodeLengths(freq, symbols, kMaxCodeLength, codes->positionLength);
    BuildCanonicalCodes(codes->positionLength, symbols, codes->positionCode);
    WriteShortLengths(w, codes->positionLength, symbols, params.positionBits, -1);
}

void WriteBlock(BitWriter *w, const uint32_t *tokens, const Histogram &h,
                const LzhMethodParams &params)
{
    BlockCodes codes;
    // Room for the header and for the longest form of every code: 16 bits
    // of length code, 16 of position code and 15 extra bits.
    ReserveBits(w, 1024 + (size_t)h.codes * 6);
    PutBits(w, 16, h.codes);
    WriteLiteralCode(w, h.literal, &codes);
    WritePositionCode(w, h.position, params, &codes);
    for (uint32_t i = 0; i < h.codes; i++) {
        uint32_t token = tokens[i];
        int symbol = TokenSymbol(token);
        PutBits(w, codes.literalLength[symbol], codes.literalCode[symbol]);
        if (symbol < 256)
            continue;
        uint32_t offset = TokenOffset(token);
        int p = PositionSymbol(offset);
        PutBits(w, codes.positionLength[p], codes.positionCode[p]);
        if (p >= 2)
            PutBits(w, p - 1, offset & ((1u << (p - 1)) - 1));
    }
}

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
    std::vector<uint32_t> head;  // newest entry of each 4-byte chain
    std::vector<uint32_t> link;  // the previous entry in its chain
    std::vector<uint32_t> near3; // newest position of each 3-byte hash
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

// Enters pos, which needs three bytes (four to join a chain).
inline Candidates InsertPosition(MatchFinder *f, size_t pos)
{
    Candidates c = {0, 0};
    const uint8_t *p = f->data + pos;
    bool four = pos + 4 <= f->size;
    uint32_t v;
    if (four)
        memcpy(&v, p, 4);
    else
        v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
    uint32_t h3 = Hash3(v);
    c.near = f->near3[h3];
    f->near3[h3] = (uint32_t)pos + 1;
    if (four) {
        uint32_t h = Hash4(v);
        c.chain = f->head[h];
        f->link[pos & f->ringMask] = c.chain;
        f->head[h] = (uint32_t)pos + 1;
    }
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
int LongestMatch(const MatchFinder *f, size_t pos, Candidates c, int beat, int chain,
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
    uint32_t candidate = c.chain;
    while (candidate != 0 && chain-- > 0) {
        size_t cand = candidate - 1;
        if (cand < lowest)
            break;
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
        uint32_t older = f->link[cand & f->ringMask];
        if (older >= candidate)
            break; // a slot reused by a newer position
        candidate = older;
    }
    return best > beat ? best : 0;
}

// ---------------------------------------------------------------------------
// The packer: parse, gather, cut into blocks.

struct Packer {
    BitWriter writer;
    const LzhMethodParams *params;
    std::vector<uint32_t> tokens; // the open block's tokens, then the chunk's
    Histogram block;              // counts of the open block
    Histogram chunk;              // counts of the chunk being gathered
    float blockBits;              // estimate for `block`
};

void EmitBlock(Packer *pk)
{
    if (pk->block.codes == 0)
        return;
    WriteBlock(&pk->writer, pk->tokens.data(), pk->block, *pk->params);
    pk->tokens.erase(pk->tokens.begin(), pk->tokens.begin() + pk->block.codes);
    memset(&pk->block, 0, sizeof pk->block);
    pk->blockBits = 0;
}

// The chunk joins the open block unless two codes cost less than one.
void CloseChunk(Packer *pk)
{
    if (pk->chunk.codes == 0)
        return;
    float chunkBits = EstimateBlockBits(pk->chunk);
    if (pk->block.codes != 0) {
        float joinedBits = EstimateBlockBits(pk->block, &pk->chunk);
        if (pk->block.codes + pk->chunk.codes > kMaxBlockCodes ||
            pk->blockBits + chunkBits < joinedBits) {
            EmitBlock(pk);
        } else {
            AddHistogram(&pk->block, pk->chunk);
            pk->blockBits = joinedBits;
            memset(&pk->chunk, 0, sizeof pk->chunk);
            return;
        }
    }
    pk->block = pk->chunk;
    pk->blockBits = chunkBits;
    memset(&pk->chunk, 0, sizeof pk->chunk);
}

inline void CountToken(Packer *pk)
{
    if (++pk->chunk.codes == kChunkCodes)
        CloseChunk(pk);
}

inline void EmitLiteral(Packer *pk, uint8_t c)
{
    pk->tokens.push_back(LiteralToken(c));
    pk->chunk.literal[c]++;
    CountToken(pk);
}

inline void EmitMatch(Packer *pk, int length, uint32_t distance)
{
    uint32_t token = MatchToken(length, distance);
    pk->tokens.push_back(token);
    pk->chunk.literal[TokenSymbol(token)]++;
    pk->chunk.position[PositionSymbol(distance - 1)]++;
    CountToken(pk);
}

} // namespace

LzhEffort DefaultLzhEffort(const LzhMethodParams &params)
{
    // Chosen on source text and programs: the larger dictionary needs the
    // deeper search to stay ahead of other packers in size.
    LzhEffort e;
    bool large = params.dictionaryBits > 13;
    e.maxChain = large ? 24 : 16;
    e.lazyLimit = 32;
    e.goodLength = 32;
    e.farLength3 = large ? 8192 : 4096;
    return e;
}

namespace
{

// Input is packed in segments of this size, each parsed on its own with the
// dictionary primed from the bytes before it, so that segments can be packed
// at the same time. The output depends on this size alone, never on how
// many threads there are. Each segment costs a block header and a priming
// pass over one dictionary.
enum { kSegmentBytes = 1 << 20 };

struct PackedSegment {
    std::vector<uint8_t> bytes;
    uint64_t bits; // valid bits in `bytes`, the last byte padded
};

// One step of lazy evaluation: a match found at pos is held back while
// pos + 1 is tried; if that one is longer, pos goes out as a literal.
// Matches reach back before `start` but end by `end`.
void PackSegment(const uint8_t *data, size_t start, size_t end, const LzhMethodParams &params,
                 const LzhEffort &effort, PackedSegment *out)
{
    Packer pk;
    memset(&pk.block, 0, sizeof pk.block);
    memset(&pk.chunk, 0, sizeof pk.chunk);
    pk.writer = {&out->bytes, 0, 0, 0};
    pk.params = &params;
    pk.blockBits = 0;
    pk.tokens.reserve(kMaxBlockCodes + kChunkCodes);

    MatchFinder f;
    f.data = data;
    f.size = end;
    f.dictionary = 1u << params.dictionaryBits;
    f.ringMask = 2 * f.dictionary - 1;
    f.head.assign(1u << kHashBits, 0);
    f.link.assign(2 * f.dictionary, 0);
    f.near3.assign(1u << kNearBits, 0);
    for (size_t q = start > f.dictionary ? start - f.dictionary : 0; q < start && q + 3 <= end; q++)
        InsertPosition(&f, q);

    size_t pos = start;
    int heldLength = 0;
    uint32_t heldDistance = 0;
    bool heldByte = false; // data[pos - 1] is not yet emitted
    while (pos < end) {
        int length = 0;
        uint32_t distance = 0;
        if (pos + kMinMatch <= end) {
            Candidates c = InsertPosition(&f, pos);
            if ((c.chain != 0 || c.near != 0) && heldLength < effort.lazyLimit) {
                int tries =
                    heldLength >= effort.goodLength ? effort.maxChain >> 2 : effort.maxChain;
                int beat = heldLength > kMinMatch - 1 ? heldLength : kMinMatch - 1;
                length =
                    LongestMatch(&f, pos, c, beat, tries, (uint32_t)effort.farLength3, &distance);
                if (length == kMinMatch && distance > (uint32_t)effort.farLength3)
                    length = 0;
            }
        }
        if (heldLength >= kMinMatch && length <= heldLength) {
            EmitMatch(&pk, heldLength, heldDistance);
            size_t matchEnd = pos - 1 + heldLength;
            size_t hashEnd = std::min(matchEnd, end - kMinMatch + 1);
            for (size_t q = pos + 1; q < hashEnd; q++)
                InsertPosition(&f, q);
            pos = matchEnd;
            heldLength = 0;
            heldByte = false;
        } else {
            if (heldByte)
                EmitLiteral(&pk, data[pos - 1]);
            heldByte = true;
            heldLength = length;
            heldDistance = distance;
            pos++;
        }
    }
    if (heldByte)
        EmitLiteral(&pk, data[end - 1]);
    CloseChunk(&pk);
    EmitBlock(&pk);
    out->bits = pk.writer.used * 8 + (uint64_t)pk.writer.count;
    FlushBits(&pk.writer);
}

// Appends a segment's bits, which need not start on a byte boundary.
void AppendSegment(BitWriter *w, const PackedSegment &segment)
{
    ReserveBits(w, segment.bytes.size() + 8);
    size_t whole = (size_t)(segment.bits / 8);
    const uint8_t *b = segment.bytes.data();
    size_t i = 0;
    for (; i + 2 <= whole; i += 2)
        PutBits(w, 16, (uint32_t)b[i] << 8 | b[i + 1]);
    if (i < whole)
        PutBits(w, 8, b[i]);
    int rest = (int)(segment.bits % 8);
    if (rest)
        PutBits(w, rest, (uint32_t)b[whole] >> (8 - rest));
}

struct SegmentJob {
    const uint8_t *data;
    size_t size;
    const LzhMethodParams *params;
    const LzhEffort *effort;
    std::vector<PackedSegment> segments;
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::condition_variable segmentDone;
    size_t done = 0; // guarded by `lock`
};

void PackSegments(SegmentJob *job)
{
    for (;;) {
        size_t k = job->next.fetch_add(1);
        if (k >= job->segments.size())
            return;
        size_t start = k * (size_t)kSegmentBytes;
        size_t end = std::min(job->size, start + (size_t)kSegmentBytes);
        PackSegment(job->data, start, end, *job->params, *job->effort, &job->segments[k]);
        std::lock_guard<std::mutex> hold(job->lock);
        job->done++;
        job->segmentDone.notify_one();
    }
}

} // namespace

void PackLzh(const uint8_t *data, size_t size, const LzhMethodParams &params,
             const LzhEffort &effort, std::vector<uint8_t> *out, LzhProgressFn progress,
             void *progressContext)
{
    if (size == 0)
        return;
    SegmentJob job;
    job.data = data;
    job.size = size;
    job.params = &params;
    job.effort = &effort;
    job.segments.resize((size + kSegmentBytes - 1) / kSegmentBytes);
    size_t count = job.segments.size();
    if (count == 1) {
        PackSegments(&job);
    } else {
        unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::thread> workers;
        for (size_t i = 0; i < std::min<size_t>(count, cores); i++)
            workers.emplace_back(PackSegments, &job);
        std::unique_lock<std::mutex> wait(job.lock);
        while (job.done < count) {
            job.segmentDone.wait(wait);
            if (progress)
                progress(progressContext, std::min(size, job.done * (size_t)kSegmentBytes));
        }
        wait.unlock();
        for (std::thread &t : workers)
            t.join();
    }
    BitWriter w = {out, out->size(), 0, 0};
    for (const PackedSegment &segment : job.segments)
        AppendSegment(&w, segment);
    FlushBits(&w);
    if (progress)
        progress(progressContext, size);
}
