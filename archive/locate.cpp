// Finding the archive behind the stub: a member header can only start at a
// multiple of 512 no later than 65,536, with "-" at its bytes 2 and 6. The
// same pass folds every byte in front of the archive into a 32-bit XOR of
// little-endian words, which the sealed stub makes 0.
#include "archive/archive.h"

enum {
    LAST_CANDIDATE = 65536,
    SCAN_LIMIT = LAST_CANDIDATE + 7,  // bytes 0..6 of the last candidate
};

int32_t LocateArchive(void)
{
    int32_t count = 0;
    uint32_t dashBits = 0;
    uint32_t checksum = 0;
    int32_t offset;
    MemberHeader *record = 0;
    MemberNames names;

    for (;;) {
        uint8_t b;
        if (!ReadArchive(&b, 1)) {
            ReportDamage();
            return -1;
        }
        if (count + 1 == archiveInput.archiveLimit && b == 0) {
            offset = count;  // an empty archive: its end mark alone
            break;
        }
        checksum ^= (uint32_t)b << (count % 4 * 8);  // the byte's lane in its word
        count++;
        if (count > SCAN_LIMIT) {
            ShowFailure("Cannot find the LHA archive.");
            return -2;
        }
        dashBits = (dashBits << 1) | (b == '-');
        if ((dashBits & 0x11) != 0x11 || count < 7 || count % 512 != 7)
            continue;
        if (SeekArchive(-7, 1))
            record = ReadMemberHeader(&names);
        else
            names.damaged = 1;
        if (!record && !names.damaged && SeekArchive(count, 0))
            continue;
        if (!record) {
            ReportDamage();
            return -1;
        }
        // The header's first 7 bytes were folded in already; take them out
        // so the checksum covers exactly the bytes in front of the archive.
        // The header starts at a multiple of 512, so in lane 0.
        for (int k = 0; k < 7; k++)
            checksum ^= (uint32_t)shared.header[k] << (k % 4 * 8);
        offset = count - 7;
        break;
    }
    if (offset > 0 && record && names.nameLength == 1 && names.name[0] == '!')
        offset = (int32_t)((uint32_t)offset + record->packedSize + (uint32_t)names.headerLength);
    if (checksum != 0) {
        ShowFailure("The self-extracting archive is damaged.");
        return -1;
    }
    if (!SeekArchive(offset, 0)) {
        ReportDamage();
        return -1;
    }
    return offset;
}
