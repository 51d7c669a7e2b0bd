// Each decoder through DecodeMember, on arbitrary packed data.
//
// Input: a method selector, a flags byte, the original size (4 bytes, cut
// to 128 KiB, so that a few packed bytes that legitimately expand to
// gigabytes cannot stall the fuzzer), an expected CRC (2 bytes), a spare
// byte, then the packed data. Flags: 1 compare the CRC; 2 make the
// original size negative; 4 make the packed size disagree with the data by
// a signed byte taken from the input; 8 make the packed size negative.
//
// Checked: the member ends (the fuzzer's timeout catches a loop), never
// writes more than its original size, and reads nothing outside a buffer.
#include <string.h>

#include "tests/fuzz/fuzz_support.h"

static uint32_t written;

static int32_t Count(const uint8_t *, int32_t count)
{
    written += (uint32_t)count;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const methods[] = {"-lh0-", "-lh1-", "-lh4-", "-lh5-", "-lh6-", "-lzs-", "-lz5-", "-lz4-"};
    if (size < 9)
        return 0;
    uint8_t flags = data[1];
    uint32_t original = (data[2] | data[3] << 8 | data[4] << 16 | (uint32_t)data[5] << 24) % (1u << 17);
    original |= (flags & 2) ? 0x80000000u : 0;
    const uint8_t *packed = data + 9;
    uint32_t packedSize = (uint32_t)(size - 9);
    if ((flags & 4) && size > 9)
        packedSize = (uint32_t)((int32_t)packedSize + (int8_t)packed[0]);
    packedSize |= (flags & 8) ? 0x80000000u : 0;
    std::string file = fuzz::ScratchRoot() + "/packed.bin";
    if (!fuzz::WriteFile(file, packed, size - 9))
        return 0;

    MemberHeader header;
    memset(&header, 0, sizeof header);
    memcpy(header.method, methods[data[0] % 8], 5);
    header.packedSize = packedSize;
    header.originalSize = original;
    header.dosDate = 0x5A21;
    header.attribute = 0x20;
    expectedCrc = (flags & 1) ? (uint32_t)(data[6] | data[7] << 8) : 0xFFFFFFFF;
    // The window keeps what the previous input left in it; start each from
    // the zeros of a fresh process, so that findings reproduce.
    memset(shared.window, 0, sizeof shared.window);
    written = 0;
    if (fuzz::OpenArchiveInput(file)) {
        int ok = DecodeMember(&header, Count) == Done;
        if ((int32_t)original >= 0 && written > original)
            fuzz::Finding("more output than the original size");
        if (ok && (int32_t)original >= 0 && written != original)
            fuzz::Finding("a member decoded to another size than its original size");
        CloseHandle(archiveInput.archiveFile);
    }
    return 0;
}
