// The block writer of the -lh5-/-lh6- packer: bit output and blocks, each
// with the tables of its codes in the form the format gives them.
#include <string.h>

#include <algorithm>

#include "tools/lzh_parts.h"

namespace lzh
{

// The capacity grows by doubling, the size only as far as asked: the bytes
// added are set to zero first.
void ReserveBits(BitWriter *w, size_t bytes)
{
    std::vector<uint8_t> &out = *w->out;
    if (out.size() < w->used + bytes) {
        if (out.capacity() < w->used + bytes)
            out.reserve(std::max(w->used + bytes, out.capacity() * 2));
        out.resize(w->used + bytes);
    }
}

size_t FinishBits(BitWriter *w)
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
    return w->used;
}

void FlushBits(BitWriter *w)
{
    w->out->resize(FinishBits(w));
}

namespace
{

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

} // namespace

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
        // The position code and the offset's low bits: 31 bits at most.
        uint32_t offset = TokenOffset(token);
        int p = PositionSymbol(offset);
        int extra = p >= 2 ? p - 1 : 0;
        PutBits(w, codes.positionLength[p] + extra,
                (uint32_t)codes.positionCode[p] << extra | (offset & ((1u << extra) - 1)));
    }
}

uint64_t BlockBits(const Histogram &h, const LzhMethodParams &params, uint8_t *literalLength,
                   uint8_t *positionLength)
{
    // The header is written for real, into a scratch buffer: its size
    // depends on the code-length code, which is built from the header's own
    // items.
    std::vector<uint8_t> scratch;
    BitWriter w = {&scratch, 0, 0, 0};
    ReserveBits(&w, 1024);
    BlockCodes codes;
    PutBits(&w, 16, h.codes);
    WriteLiteralCode(&w, h.literal, &codes);
    WritePositionCode(&w, h.position, params, &codes);
    uint64_t bits = w.used * 8 + (uint64_t)w.count;
    for (int i = 0; i < kLiteralSymbols; i++)
        bits += (uint64_t)h.literal[i] * codes.literalLength[i];
    for (int p = 0; p < kMaxPositionSymbols; p++)
        bits += (uint64_t)h.position[p] * (codes.positionLength[p] + (p >= 2 ? p - 1 : 0));
    memcpy(literalLength, codes.literalLength, kLiteralSymbols);
    memcpy(positionLength, codes.positionLength, kMaxPositionSymbols);
    return bits;
}

} // namespace lzh
