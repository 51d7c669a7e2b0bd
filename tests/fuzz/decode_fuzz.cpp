// Each decoder through DecodeMember, on arbitrary packed data.
//
// Input: a method selector, a flags byte, the original size (4 bytes, cut
// to 128 KiB so that a few packed bytes that legitimately expand to
// gigabytes cannot stall the fuzzer), an expected CRC (2 bytes), then the
// packed data. Flags: 1 compare the CRC; 2 make the original size negative;
// 4 make the packed size disagree with the data by a signed byte taken
// from the input; 8 make the packed size negative.
//
// Checked: the member ends (the fuzzer's timeout catches a loop), never
// writes more than its original size, and reads nothing outside a buffer.
#include <string.h>

#include "extract/extract.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char *const kMethods[] = {"-lh0-", "-lh1-", "-lh4-", "-lh5-", "-lh6-", "-lzs-", "-lz5-", "-lz4-"};
const size_t kHeaderBytes = 9;
const uint32_t kSizeCap = 1u << 17;  // two output blocks and a piece

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderBytes)
        return 0;
    fuzz::GuardExit();
    uint8_t flags = data[1];
    uint32_t original = (uint32_t)data[2] | (uint32_t)data[3] << 8 | (uint32_t)data[4] << 16 |
                        (uint32_t)data[5] << 24;
    original %= kSizeCap;
    if (flags & 2)
        original |= 0x80000000u;
    const uint8_t *packed = data + kHeaderBytes;
    size_t packedLength = size - kHeaderBytes;
    uint32_t packedSize = (uint32_t)packedLength;
    if ((flags & 4) && packedLength > 0)
        packedSize = (uint32_t)((int32_t)packedSize + (int8_t)packed[0]);
    if (flags & 8)
        packedSize |= 0x80000000u;

    std::string file = fuzz::ScratchRoot() + "/packed.bin";
    if (!fuzz::WriteFile(file, packed, packedLength))
        return 0;

    MemberHeader header;
    memset(&header, 0, sizeof header);
    memcpy(header.method, kMethods[data[0] % 8], 5);
    header.packedSize = packedSize;
    header.originalSize = original;
    header.dosDate = 0x5A21;
    header.attribute = 0x20;
    expectedCrc = (flags & 1) ? ((uint32_t)data[6] | (uint32_t)data[7] << 8) : 0xFFFFFFFF;

    runState = RunState();
    runState.totalBytes = original;
    // The window keeps what the previous member left in it; start every
    // input from the zeros of a fresh process so that findings reproduce.
    memset(window, 0, sizeof window);
    BuildCrcTable();
    fuzz::InsideRun() = true;
    if (fuzz::OpenArchiveInput(file)) {
        outputFile = (HANDLE)HostNullOutput();
        runState.decoderActive = 1;
        int ok = DecodeMember(&header);
        runState.decoderActive = 0;
        if ((int32_t)original >= 0 && runState.doneBytes > (int32_t)original)
            fuzz::Finding("more output than the original size");
        if (ok && (int32_t)original >= 0 && runState.doneBytes != (int32_t)original)
            fuzz::Finding("a member decoded to another size than its original size");
        CloseHandle(archiveInput.archiveFile);
    }
    fuzz::InsideRun() = false;
    return 0;
}
