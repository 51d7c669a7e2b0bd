// Method dispatch, the stored copy, and the end of every member: the CRC
// comparison.
#include "decode/decode.h"

static const char MethodTable[11][4] = {
    "lh0", "lh1", "lh2", "lh3", "lh4", "lh5", "lh6", "lh7", "lzs", "lz5", "lz4",
};

enum { METHOD_UNKNOWN = 11 };

static int FindMethod(const char *method)
{
    int i = 0;
    for (; i < METHOD_UNKNOWN; i++) {
        const char *m = MethodTable[i];
        if (method[1] == m[0] && method[2] == m[1] && method[3] == m[2])
            break;
    }
    return i;
}

static int IsDecodable(int method)
{
    return method != 2 && method != 3 && method != 7 && method != METHOD_UNKNOWN;
}

int HasDecoder(const char *method) { return IsDecodable(FindMethod(method)); }

void CopyStored(const MemberHeader *header)
{
    if (header->packedSize != header->originalSize)
        LeaveDecode(Damaged);
    // Exactly packedSize bytes are read, straight from the archive; the
    // window is only a transfer buffer here, with no block bookkeeping.
    int32_t left = (int32_t)header->originalSize;
    while (left > 0) {
        int32_t k = left < WINDOW_SIZE ? left : WINDOW_SIZE;
        if (!ReadArchive(shared.window, (uint32_t)k))
            LeaveDecode(Damaged);
        DeliverBlock(k);
        left -= k;
    }
    LeaveDecode(Done);
}

[[noreturn]] static void RunDecoder(int method, const MemberHeader *header)
{
    switch (method) {
    case 1: DecodeLh1(header);
    case 4:
    case 5: DecodeStaticHuffman(header, 0);
    case 6: DecodeStaticHuffman(header, 1);
    case 8: DecodeLzs(header);
    case 9: DecodeLz5(header);
    default: CopyStored(header);  // 0 and 10
    }
}

// The setjmp-style exit must be armed in a frame that stays alive while the
// decoder runs, so this function is never inlined into its caller.
__attribute__((noinline)) static int32_t RunArmed(int method, const MemberHeader *header)
{
    if (DECODE_ARM(frame.exitJump))
        return frame.exitCode;
    InitBitInput(header);
    if ((int32_t)header->packedSize < 0 || (int32_t)header->originalSize < 0)
        LeaveDecode(Damaged);
    frame.crc = 0;
    RunDecoder(method, header);
}

int32_t DecodeMember(const MemberHeader *header, OutputSink sink)
{
    int method = FindMethod(header->method);
    if (!IsDecodable(method))
        return Unsupported;
    frame.sink = sink;
    int32_t code = RunArmed(method, header);
    if (code == Done && expectedCrc != 0xFFFFFFFF && frame.crc != expectedCrc)
        return Damaged;
    return code;
}
