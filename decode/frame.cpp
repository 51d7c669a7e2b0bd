// The decoder frame: the bit input, the output window and the decoder
// exit. One member is decoded at a time, so all of it is one module-wide
// record.
#include "decode/decode.h"

DecoderFrame frame;

// ---- The exit.

void LeaveDecode(int32_t code)
{
    frame.exitCode = code;
    DECODE_JUMP(frame.exitJump);
}

// ---- Bit input.

void InitBitInput(const MemberHeader *header)
{
    BitInput *in = &frame.input;
    in->bitBuffer = 0;
    in->bitCount = 0;
    in->chunkPos = 0;
    in->chunkFill = 0;
    in->packedLeft = (int32_t)header->packedSize;
    in->endOfInputExit = Damaged;
}

// Loads bytes until at least `need` (<= 16) bits are counted. Returns 0 when
// the member's packed data ends first; what could be loaded stays loaded.
// The next chunk is read only when a bit of it is needed, so reads (and
// their failures) come exactly where loading two bytes at a time would
// bring them; within the chunk, loading ahead is invisible.
static int FillBits(int need)
{
    BitInput *in = &frame.input;
    while (in->bitCount < need) {
        if (in->chunkPos < in->chunkFill) {
            // A byte at a time while whole bytes fit; the fast runs refill
            // by words, this path serves block headers and the items near
            // a chunk's end.
            do {
                in->bitBuffer |= (BitWord)in->inputChunk[in->chunkPos++] << (WORD_BITS - 8 - in->bitCount);
                in->bitCount += 8;
            } while (in->bitCount <= WORD_BITS - 8 && in->chunkPos < in->chunkFill);
        } else {
            if (in->packedLeft == 0)
                return 0;
            int32_t k = in->packedLeft < CHUNK_SIZE ? in->packedLeft : CHUNK_SIZE;
            if (!ReadArchive(in->inputChunk, (uint32_t)k))
                LeaveDecode(Damaged);
            in->packedLeft -= k;
            in->chunkPos = 0;
            in->chunkFill = k;
        }
    }
    return 1;
}

// The top 16 bits, then n of them: n = 0 .. 16 without a shift by the
// word's full width.
static uint32_t TopBits(int n)
{
    return (uint32_t)(frame.input.bitBuffer >> (WORD_BITS - 16)) >> (16 - n);
}

uint32_t GetBits(int n)
{
    BitInput *in = &frame.input;
    if (in->bitCount < n && !FillBits(n))
        LeaveDecode(in->endOfInputExit);
    uint32_t v = TopBits(n);
    in->bitBuffer <<= n;
    in->bitCount -= n;
    return v;
}

// Past the end the missing bits read as the zeros below the counted ones;
// bitCount keeps the number of real bits, so a DropBits of the padding
// fails.
uint32_t PeekBits(int n)
{
    BitInput *in = &frame.input;
    if (in->bitCount < n)
        FillBits(n);
    return TopBits(n);
}

void DropBits(int n)
{
    BitInput *in = &frame.input;
    in->bitCount -= n;
    if (in->bitCount < 0)
        LeaveDecode(Damaged);
    in->bitBuffer <<= n;
}

// After the last output byte at most 8 packed bits may remain: the fill
// bits of the last byte. Reading 9 more either runs out (Done) or proves
// that real data was left over (Damaged).
[[noreturn]] static void EndCheck(void)
{
    frame.input.endOfInputExit = Done;
    GetBits(9);
    LeaveDecode(Damaged);
}

// ---- Output window.

// The block to the CRC and the sink, which may end the member.
void DeliverBlock(int32_t count)
{
    frame.crc = Crc16(frame.crc, shared.window, (size_t)count);
    int32_t exit = frame.sink(shared.window, count);
    if (exit)
        LeaveDecode(exit);
}

void InitOutput(int32_t originalSize)
{
    OutputWindow *out = &frame.output;
    out->writePos = 0;
    out->blockLength = originalSize < WINDOW_SIZE ? originalSize : WINDOW_SIZE;
    out->sizeLeft = originalSize - out->blockLength;
    if (originalSize == 0)
        EndCheck();
}

// Runs when writePos reaches blockLength. `overrun` says that the put which
// filled the block carried bytes past its end.
static void FlushBlock(int overrun)
{
    OutputWindow *out = &frame.output;
    if (out->blockLength > 0)
        DeliverBlock(out->blockLength);
    if (out->sizeLeft == 0) {
        if (overrun)
            LeaveDecode(Damaged);  // the block, cut at the original size, is written
        EndCheck();
    }
    out->writePos = 0;
    out->blockLength = out->sizeLeft < WINDOW_SIZE ? out->sizeLeft : WINDOW_SIZE;
    out->sizeLeft -= out->blockLength;
}

void PutByte(uint8_t c)
{
    OutputWindow *out = &frame.output;
    shared.window[out->writePos++] = c;
    if (out->writePos >= out->blockLength)
        FlushBlock(0);
}

void PutBlock(const uint8_t *source, int32_t count)
{
    OutputWindow *out = &frame.output;
    while (count > 0) {
        if (out->writePos + count < out->blockLength) {
            CopyForward(shared.window + out->writePos, source, count);
            out->writePos += count;
            return;
        }
        int32_t take = out->blockLength - out->writePos;
        CopyForward(shared.window + out->writePos, source, take);
        out->writePos = out->blockLength;
        FlushBlock(count > take);
        source += take;
        count -= take;
    }
}

// The source run is split where it passes the window's end; the
// destination wraps through the block flush. Distance 0 copies the bytes at
// the write position onto themselves.
void CopyMatch(int32_t distance, int32_t length)
{
    int32_t start = (frame.output.writePos - distance) & (WINDOW_SIZE - 1);
    int32_t first = WINDOW_SIZE - start < length ? WINDOW_SIZE - start : length;
    PutBlock(shared.window + start, first);
    if (first < length)
        PutBlock(shared.window, length - first);
}
