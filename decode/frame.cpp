// The decoder frame: CRC-16, the bit input, the output window and the
// decoder exit. One member is decoded at a time, so all of it is one
// module-wide record.
#include "decode/decode.h"
#include "extract/extract.h"
#include "shell/shell.h"

// 64 KiB in .bss: the stub's file must not carry it; nor the 8 KiB of CRC
// rows, which are built at run time.
uint8_t window[WINDOW_SIZE];
uint16_t crcTable[CRC_ROWS][256];
DecoderFrame frame;

// ---- CRC-16: reflected polynomial 0xA001, initial value 0, no final XOR.

void BuildCrcTable(void)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        crcTable[0][i] = (uint16_t)c;
    }
    // Each row follows from the one before: one zero byte more.
    for (int k = 1; k < CRC_ROWS; k++) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = crcTable[k - 1][i];
            crcTable[k][i] = (uint16_t)((c >> 8) ^ crcTable[0][c & 0xFF]);
        }
    }
}

void ResetCrc(void) { frame.crcValue = 0; }

uint32_t GetCrc(void) { return frame.crcValue; }

// CRC_ROWS bytes per step: the 16-bit CRC meets only the first two of
// them, and each byte's share after the bytes behind it comes from its own
// row, so the lookups of a step do not wait for each other.
void UpdateCrc(const uint8_t *bytes, int32_t count)
{
    uint32_t crc = frame.crcValue;
    for (; count >= CRC_ROWS; count -= CRC_ROWS, bytes += CRC_ROWS) {
        uint32_t a = crc ^ bytes[0] ^ ((uint32_t)bytes[1] << 8);
        crc = crcTable[CRC_ROWS - 1][a & 0xFF] ^ crcTable[CRC_ROWS - 2][a >> 8];
        for (int k = 2; k < CRC_ROWS; k++)
            crc ^= crcTable[CRC_ROWS - 1 - k][bytes[k]];
    }
    for (; count > 0; count--, bytes++)
        crc = crcTable[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8);
    frame.crcValue = crc;
}

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
            ReadArchive(in->inputChunk, (uint32_t)k);  // leaves with Damaged when short
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

void WriteOutput(const uint8_t *bytes, int32_t count)
{
    DWORD done = 0;
    if (!WriteFile(outputFile, bytes, (DWORD)count, &done, 0) || done != (DWORD)count)
        LeaveDecode(WriteFailed);
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
    if (out->blockLength > 0) {
        UpdateCrc(window, out->blockLength);
        WriteOutput(window, out->blockLength);
        // Counted as WriteMemberFile settles it, modulo 2^32: claimed sizes
        // of earlier members may already have passed 2^31.
        runState.doneBytes = (int32_t)((uint32_t)runState.doneBytes + (uint32_t)out->blockLength);
        UpdateProgress();
        PumpMessages();
    }
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
    window[out->writePos++] = c;
    if (out->writePos >= out->blockLength)
        FlushBlock(0);
}

void PutBlock(const uint8_t *source, int32_t count)
{
    OutputWindow *out = &frame.output;
    while (count > 0) {
        if (out->writePos + count < out->blockLength) {
            CopyForward(window + out->writePos, source, count);
            out->writePos += count;
            return;
        }
        int32_t take = out->blockLength - out->writePos;
        CopyForward(window + out->writePos, source, take);
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
    PutBlock(window + start, first);
    if (first < length)
        PutBlock(window, length - first);
}
