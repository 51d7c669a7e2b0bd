// Method dispatch, the stored copy, and the end of every member: the CRC
// comparison and the last-write time.
#include "decode/decode.h"
#include "extract/extract.h"
#include "shell/shell.h"

static const char MethodTable[11][4] = {
    "lh0", "lh1", "lh2", "lh3", "lh4", "lh5", "lh6", "lh7", "lzs", "lz5", "lz4",
};

enum { METHOD_UNKNOWN = 11 };

static int FindMethod(const MemberHeader *header)
{
    int i = 0;
    for (; i < METHOD_UNKNOWN; i++) {
        const char *m = MethodTable[i];
        if (header->method[1] == m[0] && header->method[2] == m[1] && header->method[3] == m[2])
            break;
    }
    return i;
}

void CopyStored(const MemberHeader *header)
{
    if (header->packedSize != header->originalSize)
        LeaveDecode(Damaged);
    // Exactly packedSize bytes are read, straight from the archive; the
    // window is only a transfer buffer here, with no block bookkeeping.
    int32_t left = (int32_t)header->originalSize;
    while (left > 0) {
        int32_t k = left < WINDOW_SIZE ? left : WINDOW_SIZE;
        ReadArchive(window, (uint32_t)k);
        UpdateCrc(window, k);
        WriteOutput(window, k);
        runState.doneBytes = (int32_t)((uint32_t)runState.doneBytes + (uint32_t)k);  // as in the frame
        UpdateProgress();
        PumpMessages();
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
    ResetCrc();
    RunDecoder(method, header);
}

static int32_t FinishMember(const MemberHeader *header)
{
    if (expectedCrc != 0xFFFFFFFF && GetCrc() != expectedCrc)
        return Damaged;
    FILETIME local, utc;
    DosDateTimeToFileTime(header->dosDate, header->dosTime, &local);
    LocalFileTimeToFileTime(&local, &utc);
    if (!SetFileTime(outputFile, 0, 0, &utc))
        return WriteFailed;
    return Done;
}

int DecodeMember(const MemberHeader *header)
{
    int method = FindMethod(header);
    if (method == 2 || method == 3 || method == 7 || method == METHOD_UNKNOWN) {
        ShowError("Version not supported.");
        return 0;
    }
    int32_t code = RunArmed(method, header);
    if (code == Done)
        code = FinishMember(header);
    switch (code) {
    case Done:
        return 1;
    case WriteFailed:
        ShowError("Cannot write the file.");
        return 0;
    case Cancelled:
        return 0;
    default:
        ShowError("The archive is damaged.");
        return 0;
    }
}
