// The CRC-16 of member data and headers, for the stub, the packer and the
// sealing alike.
#include "core/core.h"

uint16_t crcTable[CRC_ROWS][256];

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

#ifndef _WIN32
// The host tool and the tests use the CRC from their first line on.
__attribute__((constructor)) static void BuildCrcTableAtStart(void) { BuildCrcTable(); }
#endif

// Row k advances a CRC over a byte followed by k zero bytes, so CRC_ROWS
// bytes take one step: the 16-bit CRC meets only the first two of them,
// and each byte's share after the bytes behind it comes from its own row,
// so the lookups of a step do not wait for each other.
uint32_t Crc16(uint32_t crc, const uint8_t *bytes, size_t count)
{
    for (; count >= CRC_ROWS; count -= CRC_ROWS, bytes += CRC_ROWS) {
        uint32_t a = crc ^ bytes[0] ^ ((uint32_t)bytes[1] << 8);
        crc = crcTable[CRC_ROWS - 1][a & 0xFF] ^ crcTable[CRC_ROWS - 2][a >> 8];
        for (int k = 2; k < CRC_ROWS; k++)
            crc ^= crcTable[CRC_ROWS - 1 - k][bytes[k]];
    }
    for (; count > 0; count--, bytes++)
        crc = crcTable[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8);
    return crc;
}
