// The decompression engine: the decoder frame (CRC-16, bit input, output
// window, the decoder exit), the method dispatcher and the decoders.
#pragma once
#include "archive/archive.h"

#ifndef _WIN32
#include <setjmp.h>
#endif

// Every member's decoding ends through LeaveDecode with one of these.
enum DecodeExit {
    Done = 1,
    WriteFailed = -2,
    Damaged = -3,
    Cancelled = -4,
};

enum {
    WINDOW_SIZE = 65536,  // output window and block size
    CHUNK_SIZE = 8192,    // packed bytes read per refill
};

// The window is also the header reader's headerBuffer: a header read
// overwrites its first bytes. Nothing else clears it between members.
extern uint8_t window[WINDOW_SIZE];
#define headerBuffer window

struct BitInput {
    uint32_t bitBuffer;   // unconsumed bits are the low bitCount bits, next bit highest
    int32_t bitCount;     // at most 31 after a refill
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
    uint32_t crcValue;
    int32_t exitCode;
    BitInput input;
    OutputWindow output;
    DecodeJump exitJump;
};

extern DecoderFrame frame;
extern uint16_t crcTable[256];

// CRC-16 (reflected 0xA001, initial 0, no final XOR).
void BuildCrcTable(void);
void ResetCrc(void);
void UpdateCrc(const uint8_t *bytes, int32_t count);
uint32_t GetCrc(void);

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
void WriteOutput(const uint8_t *bytes, int32_t count);

// Dispatch: 1 when the member was decoded, matched its CRC and got its
// time; 0 after a failure (reported here, except a cancel).
int DecodeMember(const MemberHeader *header);
[[noreturn]] void CopyStored(const MemberHeader *header);

// The decoders. None returns: the member ends in LeaveDecode.
[[noreturn]] void DecodeStaticHuffman(const MemberHeader *header, int isLh6);
[[noreturn]] void DecodeLh1(const MemberHeader *header);
[[noreturn]] void DecodeLzs(const MemberHeader *header);
[[noreturn]] void DecodeLz5(const MemberHeader *header);
