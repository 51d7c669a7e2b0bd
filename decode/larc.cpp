// -lzs- and -lz5-: LZSS without entropy coding. A match names its source
// by an absolute slot of a small ring whose slot 0 lies 17 (-lzs-) or 18
// (-lz5-) bytes before output byte 0; the ring is the tail of the window,
// so the slot becomes a distance back from the write position.
#include "decode/decode.h"

enum {
    LZS_RING = 2048,
    LZS_RING_START = 17,
    LZS_MAX_MATCH = 17,
    LZ5_RING = 4096,
    LZ5_RING_START = 18,
    LZ5_MAX_MATCH = 18,
};
static_assert(LZS_MAX_MATCH == 15 + 2 && LZ5_MAX_MATCH == 15 + 3, "4-bit lengths");
static_assert(1 + 11 + 4 <= WORD_BITS - 8, "one refill serves an -lzs- item");

// A distance of 0 names the slot about to be written; CopyMatch then copies
// the window's old bytes onto themselves, which is what the ring held there.
static int32_t RingDistance(int32_t slot, int32_t ringStart, int32_t ringMask)
{
    return (frame.output.writePos - slot - ringStart) & ringMask;
}

static void FillWindow(int32_t from, int32_t count, uint8_t value)
{
    for (int32_t i = 0; i < count; i++)
        shared.window[from + i] = value;
}

// Items of a fast run (see decode.h): an item takes at most 16 bits, so one
// refill serves it, and the block has room for the longest match.
static void FastLzs(void)
{
    if (!FAST_EVERYWHERE)
        return;
    FastInput f;
    BeginFastInput(&f);
    int32_t pos = frame.output.writePos;
    int32_t posLimit = frame.output.blockLength - LZS_MAX_MATCH;
    while (pos < posLimit && FastInputRoom(&f, 1)) {
        FastRefill(&f);
        if (FastGet(&f, 1) != 0) {
            shared.window[pos++] = (uint8_t)FastGet(&f, 8);
            continue;
        }
        int32_t slot = (int32_t)FastGet(&f, 11);
        int32_t length = (int32_t)FastGet(&f, 4) + 2;
        CopyMatchInBlock(pos, (pos - slot - LZS_RING_START) & (LZS_RING - 1), length);
        pos += length;
    }
    EndFastInput(&f);
    frame.output.writePos = pos;
}

void DecodeLzs(const MemberHeader *header)
{
    InitOutput((int32_t)header->originalSize);
    FillWindow(WINDOW_SIZE - LZS_RING, LZS_RING, 0x20);
    // Items are bit-packed: a 1-bit and 8 bits of literal, or a 0-bit, an
    // 11-bit slot and a 4-bit length (2..17). Near the end of the chunk or
    // of the block they go one at a time the careful way.
    for (;;) {
        FastLzs();
        if (GetBits(1) != 0) {
            PutByte((uint8_t)GetBits(8));
        } else {
            int32_t slot = (int32_t)GetBits(11);
            int32_t length = (int32_t)GetBits(4) + 2;
            CopyMatch(RingDistance(slot, LZS_RING_START, LZS_RING - 1), length);
        }
    }
}

// The ring's initial content, which -lz5- data may copy from: runs likely to
// recur in binaries (each byte 13 times, both byte ramps, zeros) and spaces.
static void FillLz5Ring(void)
{
    uint8_t *ring = shared.window + WINDOW_SIZE - LZ5_RING;
    FillWindow(WINDOW_SIZE - LZ5_RING, 18, 0x20);
    for (int32_t b = 0; b < 256; b++) {
        for (int32_t r = 0; r < 13; r++)
            ring[18 + 13 * b + r] = (uint8_t)b;
        ring[3346 + b] = (uint8_t)b;
        ring[3602 + b] = (uint8_t)(255 - b);
    }
    FillWindow(WINDOW_SIZE - LZ5_RING + 3858, 128, 0);
    FillWindow(WINDOW_SIZE - LZ5_RING + 3986, 110, 0x20);
}

// Items of a fast run (see decode.h). -lz5- fields are whole bytes from
// the member's first bit on, so every count of bits held is a multiple of
// 8 and the next field starts at the byte the bit buffer began with: the
// run reads the chunk's bytes directly, at most three per item, and leaves
// the buffer empty.
static void FastLz5(uint32_t *flags, uint32_t *mask)
{
    if (!FAST_EVERYWHERE)
        return;
    BitInput *in = &frame.input;
    const uint8_t *next = in->inputChunk + in->chunkPos - in->bitCount / 8;
    const uint8_t *end = in->inputChunk + in->chunkFill;
    uint32_t itemFlags = *flags, itemMask = *mask;
    int32_t pos = frame.output.writePos;
    int32_t posLimit = frame.output.blockLength - LZ5_MAX_MATCH;
    while (pos < posLimit && end - next >= 3) {
        itemMask = ((itemMask << 1) | (itemMask >> 7)) & 0xFF;
        if (itemMask == 0x01)
            itemFlags = *next++;
        uint32_t b = *next++;
        if (itemFlags & itemMask) {
            shared.window[pos++] = (uint8_t)b;
            continue;
        }
        uint32_t h = *next++;
        int32_t slot = (int32_t)(((h & 0xF0) << 4) | b);
        int32_t length = (int32_t)(h & 0x0F) + 3;
        CopyMatchInBlock(pos, (pos - slot - LZ5_RING_START) & (LZ5_RING - 1), length);
        pos += length;
    }
    in->bitBuffer = 0;
    in->bitCount = 0;
    in->chunkPos = (int32_t)(next - in->inputChunk);
    *flags = itemFlags;
    *mask = itemMask;
    frame.output.writePos = pos;
}

void DecodeLz5(const MemberHeader *header)
{
    InitOutput((int32_t)header->originalSize);
    FillLz5Ring();
    // Byte-aligned items behind a flag byte per eight, read from bit 0 up:
    // a 1 flag and a literal byte, or a 0 flag and two bytes holding a 12-bit
    // slot (low 8 bits first) and a 4-bit length (3..18). Near the end of
    // the chunk or of the block they go one at a time the careful way.
    uint32_t flags = 0;
    uint32_t mask = 0x80;
    for (;;) {
        FastLz5(&flags, &mask);
        mask = ((mask << 1) | (mask >> 7)) & 0xFF;
        if (mask == 0x01)
            flags = GetBits(8);
        uint32_t b = GetBits(8);
        if (flags & mask) {
            PutByte((uint8_t)b);
        } else {
            uint32_t h = GetBits(8);
            int32_t slot = (int32_t)(((h & 0xF0) << 4) | b);
            int32_t length = (int32_t)(h & 0x0F) + 3;
            CopyMatch(RingDistance(slot, LZ5_RING_START, LZ5_RING - 1), length);
        }
    }
}
