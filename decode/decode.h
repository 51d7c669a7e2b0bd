// The decompression engine: the decoder frame (bit input, output window,
// the decoder exit), the method dispatcher and the decoders. Packed bytes
// come from the archive input; decoded bytes go to the caller's sink. No
// file and no dialog is known here.
#pragma once
#include "archive/archive.h"

#ifndef _WIN32
#include <setjmp.h>
#endif

// Every member's decoding ends through LeaveDecode with one of these, and
// DecodeMember returns it.
enum DecodeExit {
    Done = 1,
    WriteFailed = -2,
    Damaged = -3,
    Cancelled = -4,
    Unsupported = -5,  // a method without a decoder here; nothing was read
};

enum {
    CHUNK_SIZE = 8192,  // packed bytes read per refill
};

// Where decoded bytes go, a block at a time (the window's 64 KiB at most),
// in order. Returns 0 to go on, or the exit the member ends with
// (WriteFailed, Cancelled).
typedef int32_t (*OutputSink)(const uint8_t *bytes, int32_t count);

// The bit buffer is a machine word: 64 bits on the host, 32 in the stub,
// so that one refill serves several codes without costing the stub wide
// arithmetic. CORVANE_NARROW_WORD gives a host build the stub's width, for
// tests of the 32-bit paths.
#ifdef CORVANE_NARROW_WORD
typedef uint32_t BitWord;
#else
typedef uintptr_t BitWord;
#endif
enum {
    WORD_BYTES = (int)sizeof(BitWord),
    WORD_BITS = 8 * (int)sizeof(BitWord),
};
// FastRefill tops the count up with an OR, and a careful refill loads a
// byte while 8 more bits fit: both need a power of two of at least 32.
static_assert(WORD_BITS >= 32 && (WORD_BITS & (WORD_BITS - 1)) == 0, "a 32- or 64-bit buffer");
static_assert((WINDOW_SIZE & (WINDOW_SIZE - 1)) == 0, "window positions wrap by a mask");

struct BitInput {
    // The next bit is the highest. Below the bitCount counted bits lie the
    // bytes that follow them in the packed data, as far as a refill has
    // already seen them, then zeros: loading such a byte again changes
    // nothing, and past the member's end peeks read zeros.
    BitWord bitBuffer;
    int32_t bitCount;     // 0 .. WORD_BITS - 1
    int32_t chunkPos;
    int32_t chunkFill;
    int32_t packedLeft;   // packed bytes not yet read from the archive
    int32_t endOfInputExit;  // Damaged, or Done during the end check
    uint8_t inputChunk[CHUNK_SIZE];
};

struct OutputWindow {
    int32_t writePos;     // 0..65535
    int32_t blockLength;  // min(65536, bytes of the member still due)
    int32_t sizeLeft;     // bytes not yet assigned to a block
};

// The non-local exit. The Windows stub has no C runtime, so it uses the
// compiler's own setjmp; the host uses the C library's, which the
// sanitizers understand.
#ifdef _WIN32
typedef void *DecodeJump[5];
#define DECODE_ARM(jump) __builtin_setjmp(jump)
#define DECODE_JUMP(jump) __builtin_longjmp(jump, 1)
#else
typedef jmp_buf DecodeJump;
#define DECODE_ARM(jump) setjmp(jump)
#define DECODE_JUMP(jump) longjmp(jump, 1)
#endif

struct DecoderFrame {
    uint32_t crc;
    int32_t exitCode;
    OutputSink sink;
    BitInput input;
    OutputWindow output;
    DecodeJump exitJump;
};

extern DecoderFrame frame;

// Ends the member's decoding and resumes DecodeMember with `code`.
[[noreturn]] void LeaveDecode(int32_t code);

// Bit input, most significant bit of each byte first; n is 0..16.
void InitBitInput(const MemberHeader *header);
uint32_t GetBits(int n);
uint32_t PeekBits(int n);
void DropBits(int n);

// Output window.
void InitOutput(int32_t originalSize);
void PutByte(uint8_t c);
void PutBlock(const uint8_t *source, int32_t count);
void CopyMatch(int32_t distance, int32_t length);
// The window's first `count` bytes to the CRC and the sink.
void DeliverBlock(int32_t count);

// Decodes the member whose packed data the archive input stands at into
// `sink`, and checks it against expectedCrc. Returns Done or the exit it
// ended with; reports nothing.
int32_t DecodeMember(const MemberHeader *header, OutputSink sink);
[[noreturn]] void CopyStored(const MemberHeader *header);
// Whether DecodeMember knows the method field ("-lh5-").
int HasDecoder(const char *method);

// The decoders. None returns: the member ends in LeaveDecode.
[[noreturn]] void DecodeStaticHuffman(const MemberHeader *header, int isLh6);
[[noreturn]] void DecodeLh1(const MemberHeader *header);
[[noreturn]] void DecodeLzs(const MemberHeader *header);
[[noreturn]] void DecodeLz5(const MemberHeader *header);

#ifndef _WIN32
// For the tests of the static Huffman decoder's table pool (host only):
// the pool's size and a block's three codes (code lengths, literals and
// lengths, positions of -lh6-, the larger position code) as symbol counts
// and root bits.
struct HuffmanPoolLayout {
    int32_t poolSize;
    int32_t maxCodeLength;
    int32_t symbols[3];
    int32_t rootBits[3];
};
HuffmanPoolLayout StaticHuffmanPoolLayout(void);
// Builds the table of a code the decoder accepts into the emptied pool and
// returns the entries it took.
int32_t StaticHuffmanTableEntries(const uint8_t *length, int32_t symbolCount, int32_t rootBits);
#endif

// ---- Fast runs.
//
// A decoder's inner loop copies the bit input's hot state into a FastInput
// and decodes items while the chunk holds more bytes than the item's
// refills can take and the block has room for the longest item. Inside
// such a run no read can come up short, no refill reaches the next chunk
// and no put reaches the block's end, so nothing can leave but a table's
// own damage check. The items near a chunk's end, and the output near a
// block's end, go through the operations above, which take the exits
// exactly where the byte-at-a-time definition takes them.

// The stub counts its bytes: its 32-bit build has fast runs only where
// nearly every archive spends its time, in the static Huffman codes' items.
// -lh1-, -lzs-, -lz5- and the code-length lists of a block keep their
// careful loops there (about 1.1 KB less).
enum { FAST_EVERYWHERE = WORD_BITS >= 64 };

struct FastInput {
    BitWord buffer;        // as BitInput.bitBuffer
    int32_t count;         // as BitInput.bitCount
    const uint8_t *next;   // next unread byte of the chunk
    const uint8_t *end;    // end of the bytes the chunk holds
};

static inline void BeginFastInput(FastInput *f)
{
    BitInput *in = &frame.input;
    f->buffer = in->bitBuffer;
    f->count = in->bitCount;
    f->next = in->inputChunk + in->chunkPos;
    f->end = in->inputChunk + in->chunkFill;
}

static inline void EndFastInput(const FastInput *f)
{
    BitInput *in = &frame.input;
    in->bitBuffer = f->buffer;
    in->bitCount = f->count;
    in->chunkPos = (int32_t)(f->next - in->inputChunk);
}

// The next WORD_BYTES bytes of packed data, the first one highest.
static inline BitWord LoadWord(const uint8_t *p)
{
    BitWord w = 0;
    for (int i = 0; i < WORD_BYTES; i++)
        w = (w << 8) | p[i];
    return w;
}

// Room for `refills` refills: each reads WORD_BYTES bytes and moves on by
// fewer than that.
static inline int FastInputRoom(const FastInput *f, int32_t refills)
{
    return f->end - f->next >= refills * WORD_BYTES;
}

// Brings the count to WORD_BITS - 8 or more, whole bytes only; the bits of
// a byte that do not fit whole are loaded as well and lie below the count,
// where they are what BitInput expects there.
static inline void FastRefill(FastInput *f)
{
    f->buffer |= LoadWord(f->next) >> f->count;
    f->next += (WORD_BITS - 1 - f->count) >> 3;
    f->count |= WORD_BITS - 8;
}

// n = 0 .. 16 bits; the caller makes sure that n are counted.
static inline uint32_t FastPeek(const FastInput *f, int n)
{
    return (uint32_t)(f->buffer >> (WORD_BITS - 16)) >> (16 - n);
}

static inline void FastDrop(FastInput *f, int n)
{
    f->buffer <<= n;
    f->count -= n;
}

static inline uint32_t FastGet(FastInput *f, int n)
{
    uint32_t v = FastPeek(f, n);
    FastDrop(f, n);
    return v;
}

// Unaligned loads and stores of 4 or WORD_BYTES bytes in memory order;
// the compiler turns these into single moves.
static inline uint32_t Load32(const uint8_t *p)
{
    uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

static inline BitWord LoadRaw(const uint8_t *p)
{
    BitWord v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

static inline void Store32(uint8_t *p, uint32_t v) { __builtin_memcpy(p, &v, sizeof v); }
static inline void StoreRaw(uint8_t *p, BitWord v) { __builtin_memcpy(p, &v, sizeof v); }

// Copies count bytes forward, byte i after byte i - 1, so that a source
// fewer than count bytes behind the destination repeats what this copy has
// written (distance 1, length 5 writes the previous byte five times).
//
// A source that ends before the destination begins, or that lies ahead of
// it, never reads a byte this copy has written: there loads may run ahead
// of stores, and the last word is loaded first so that it can close the
// copy overlapping the word before it. A source less than a word behind
// repeats a pattern of `gap` bytes: once the first wide - gap bytes are
// out, the source `wide` behind (a multiple of the pattern, at least a
// word) holds the same pattern, and words read only bytes already written.
static inline void CopyForward(uint8_t *to, const uint8_t *from, int32_t count)
{
    uintptr_t gap = (uintptr_t)to - (uintptr_t)from;
    if (gap >= (uintptr_t)count) {
        if (count >= WORD_BYTES) {
            BitWord last = LoadRaw(from + count - WORD_BYTES);
            for (; count > WORD_BYTES; count -= WORD_BYTES, to += WORD_BYTES, from += WORD_BYTES)
                StoreRaw(to, LoadRaw(from));
            StoreRaw(to + count - WORD_BYTES, last);
        } else if (count >= 4) {
            uint32_t first = Load32(from);
            uint32_t last = Load32(from + count - 4);
            Store32(to, first);
            Store32(to + count - 4, last);
        } else {
            for (; count > 0; count--)
                *to++ = *from++;
        }
        return;
    }
    if (gap == 0)
        return;  // onto itself: the window keeps what it held
    if (gap < (uintptr_t)WORD_BYTES) {
        uintptr_t wide = gap;
        while (wide < (uintptr_t)WORD_BYTES)
            wide += gap;
        for (uintptr_t head = wide - gap; head > 0 && count > 0; head--, count--)
            *to++ = *from++;
        from = to - wide;
    }
    for (; count >= WORD_BYTES; count -= WORD_BYTES, to += WORD_BYTES, from += WORD_BYTES)
        StoreRaw(to, LoadRaw(from));
    for (; count > 0; count--)
        *to++ = *from++;
}

// CopyMatch for a match that ends before the block does (pos + length <
// blockLength), so that no flush comes between its bytes; the source is
// split where it passes the window's end.
static inline void CopyMatchInBlock(int32_t pos, int32_t distance, int32_t length)
{
    int32_t start = (pos - distance) & (WINDOW_SIZE - 1);
    int32_t first = WINDOW_SIZE - start;
    if (first >= length) {
        CopyForward(shared.window + pos, shared.window + start, length);
        return;
    }
    CopyForward(shared.window + pos, shared.window + start, first);
    CopyForward(shared.window + pos + first, shared.window, length - first);
}
