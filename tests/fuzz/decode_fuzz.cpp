// Each decoder on arbitrary packed data. Input: method, flags, original size
// (4 bytes, cut to 128 KiB: a few packed bytes may rightly expand to
// gigabytes), CRC (2), a spare byte, the packed data. Flags: 1 compare the
// CRC; 2 original size negative; 4 packed size off by the signed first
// packed byte; 8 packed size negative. Checked: the output never exceeds the
// original size, and a success produces exactly that.
#include <string.h>

#include "tests/fuzz/fuzz_support.h"

static uint32_t written;
static int32_t Count(const uint8_t *, int32_t count) { return written += (uint32_t)count, 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const methods[] = {"-lh0-", "-lh1-", "-lh4-", "-lh5-", "-lh6-", "-lzs-", "-lz5-", "-lz4-"};
    if (size < 9 || !fuzz::OpenArchiveInput("packed.bin", data + 9, size - 9))
        return 0;
    uint8_t flags = data[1];
    MemberHeader header = {};
    memcpy(header.method, methods[data[0] % 8], 5);
    header.originalSize = (data[2] | data[3] << 8 | data[4] << 16 | (uint32_t)data[5] << 24) % (1u << 17);
    header.originalSize |= (flags & 2) ? 0x80000000u : 0;
    header.packedSize = (uint32_t)(size - 9) + ((flags & 4) && size > 9 ? (uint32_t)(int8_t)data[9] : 0);
    header.packedSize |= (flags & 8) ? 0x80000000u : 0;
    header.dosDate = 0x5A21;
    header.attribute = 0x20;
    expectedCrc = (flags & 1) ? (uint32_t)(data[6] | data[7] << 8) : 0xFFFFFFFF;
    memset(shared.window, 0, sizeof shared.window);  // as a fresh process has it: findings reproduce
    written = 0;
    bool ok = DecodeMember(&header, Count) == Done, sized = (int32_t)header.originalSize >= 0;
    if (sized && (written > header.originalSize || (ok && written != header.originalSize)))
        fuzz::Finding("output other than the original size");
    CloseHandle(archiveInput.archiveFile);
    return 0;
}
