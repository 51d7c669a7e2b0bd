// The one reader of the program's own file. Small reads go through a
// 512-byte buffer (the locator reads one byte at a time); large reads go
// straight into the caller's memory. A short read or a failed seek is
// returned as 0: outside decoding the caller reports damage, inside it the
// decoder leaves with Damaged.
#include "archive/archive.h"

ArchiveInput archiveInput;

// After a failed read the buffer and the file pointer are unknown: an empty
// range that holds no offset makes the next seek move the file.
static int FailRead(void)
{
    archiveInput.bufferStart = 1;
    archiveInput.bufferEnd = 0;
    return 0;
}

// One OS read that must deliver all `count` bytes.
static int ReadWhole(void *destination, DWORD count)
{
    DWORD done = 0;
    return ReadFile(archiveInput.archiveFile, destination, count, &done, 0) && done == count;
}

void ResetArchiveInput(void)
{
    archiveInput.bufferStart = 0;
    archiveInput.bufferEnd = 0;
    archiveInput.readPosition = 0;
}

int ReadArchive(void *destination, uint32_t count)
{
    ArchiveInput *in = &archiveInput;
    uint8_t *to = (uint8_t *)destination;
    for (;;) {
        if (in->bufferStart <= in->readPosition && in->readPosition < in->bufferEnd) {
            // count may exceed 2^31; only the part the buffer holds matters.
            uint32_t held = (uint32_t)(in->bufferEnd - in->readPosition);
            uint32_t n = count < held ? count : held;
            CopyBytes(to, in->readBuffer + (in->readPosition - in->bufferStart), (int32_t)n);
            to += n;
            in->readPosition += (int32_t)n;
            count -= n;
            if (count == 0)
                return 1;
        }
        if (count > sizeof in->readBuffer) {
            // Direct read: the file pointer stands at bufferEnd, which the
            // step above has made equal to readPosition. A read past the
            // file's end comes up short, so the limit needs no test here.
            in->bufferEnd = (int32_t)((uint32_t)in->bufferEnd + count);
            in->bufferStart = in->bufferEnd;
            in->readPosition = in->bufferEnd;
            if (!ReadWhole(to, count))
                return FailRead();
            return 1;
        }
        // In 64 bits: a file of 2 GiB or more has a negative limit.
        int64_t left = (int64_t)in->archiveLimit - in->bufferEnd;
        int32_t n = left < (int64_t)sizeof in->readBuffer ? (int32_t)left : (int32_t)sizeof in->readBuffer;
        if (n <= 0)
            return 0;
        in->bufferStart = in->bufferEnd;
        in->readPosition = in->bufferEnd;
        in->bufferEnd += n;
        if (!ReadWhole(in->readBuffer, (DWORD)n))
            return FailRead();
    }
}

int SeekArchive(int32_t offset, int origin)
{
    ArchiveInput *in = &archiveInput;
    // Offsets are signed 32-bit file positions. A target outside 0..2^31-1
    // has no such position: a relative seek by a packed size that would
    // wrap past 2^31 must not become a seek backwards (or a negative
    // stream position, which no later step expects), so it is damage, as
    // a negative target is. The sum lies in 0..2^31-1 exactly when the
    // 32-bit addition neither overflows nor comes out negative.
    int32_t base = origin == 0 ? 0 : origin == 1 ? in->readPosition : in->archiveLimit;
    int32_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        return 0;
    if (in->bufferStart <= target && target <= in->bufferEnd) {
        in->readPosition = target;
        return 1;
    }
    DWORD moved;
    if (origin == 1)
        moved = SetFilePointer(in->archiveFile, (LONG)((uint32_t)target - (uint32_t)in->bufferEnd),
                               0, FILE_CURRENT);
    else
        moved = SetFilePointer(in->archiveFile, target, 0, FILE_BEGIN);
    if (moved == INVALID_SET_FILE_POINTER)
        return 0;
    in->bufferStart = target;
    in->bufferEnd = target;
    in->readPosition = target;
    return 1;
}

void ReportDamage(void)
{
    if (!runState.failed)
        ShowError("The archive is damaged.");
    runState.failed = 1;
}

uint32_t QueryArchiveSize(void)
{
    return GetFileSize(archiveInput.archiveFile, 0);
}
