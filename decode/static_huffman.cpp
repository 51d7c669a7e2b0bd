// -lh4-, -lh5-, -lh6-: blocks of three canonical Huffman codes (code
// lengths, literals/lengths, positions) followed by the coded items.
//
// Codes arrive most significant bit first, so a code's bits are the high
// bits of a PeekBits() value and a table index is the code itself: no bit
// reversal is needed anywhere.
#include "decode/decode.h"

enum {
    NT = 19,           // code-length code: lengths 0..16 and three zero-run codes
    TBIT = 5,
    NC = 510,          // literals 0..255, match lengths 3..256
    CBIT = 9,
    NP_LH5 = 14,
    PBIT_LH5 = 4,
    NP_LH6 = 17,
    PBIT_LH6 = 5,
    MAX_CODE_LENGTH = 16,
    PT_ROOT_BITS = 7,
    C_ROOT_BITS = 9,
    // p - 1 extra position bits must fit one GetBits(16).
    MAX_POSITION_SYMBOL = 17,
    LEAF = 16,
    INVALID = 99,
    POOL_SIZE = 1664,  // see tablePool
};

// tag <= 16: leaf, `value` is the symbol. 17..32: link to a sub-table of
// tag - 16 index bits at pool index `value`. 99: a code no symbol owns.
// `drop` is what taking the entry consumes: the rest of a leaf's code, or
// the width of the table that holds a link.
struct TableEntry {
    int16_t tag;
    uint16_t drop;
    uint32_t value;
};

// Every table of the current block, with its sub-tables, is carved from this
// pool and the whole pool is released when the next block begins. Taking
// entries needs no room test: of all the codes the builder accepts (every
// complete code with lengths up to 16 on at most the code's symbols, the
// one-symbol code) and the constants, the largest tables take 264 entries
// for the code lengths, 1,140 for literals and lengths and 260 for the
// positions (17 symbols; 192 for 14), 1,664 together. A search over all
// complete codes finds these worst cases, and tests/table_pool_test.cpp
// holds them against the builder and the pool.
static TableEntry tablePool[POOL_SIZE];
static int32_t poolUsed;

// A root is laid out with its code's requested root bits as index (9 for
// literals and lengths, 7 for the others), so that a fast run indexes it
// with a constant shift. A code whose root width L (rootBits) is smaller,
// because no code is longer, fills 2^(requested - L) times the entries; a
// careful lookup peeks exactly L bits, as the stream's end requires, and
// spreads them to the full index.
struct CodeTable {
    int32_t root;      // pool index of the root table
    int32_t rootBits;  // L: 0 (a constant) to 9
};

static void SetEntries(TableEntry *e, int32_t count, int32_t tag, int32_t drop, uint32_t value)
{
    for (int32_t i = 0; i < count; i++) {
        e[i].tag = (int16_t)tag;
        e[i].drop = (uint16_t)drop;
        e[i].value = value;
    }
}

// Root width 0: every entry of the root yields the symbol and takes no bits.
static CodeTable ConstantTable(uint32_t symbol, int32_t tag, int32_t requestedBits)
{
    CodeTable table;
    table.root = poolUsed;
    table.rootBits = 0;
    SetEntries(&tablePool[poolUsed], 1 << requestedBits, tag, 0, symbol);
    poolUsed += 1 << requestedBits;
    return table;
}

// Width of a sub-table created at depth w for the code of length k:
// the smallest table that the codes below this prefix fill completely,
// capped at rootBits. `pending` counts the codes of length k not yet placed,
// this one included; codes are placed in canonical order, so every code
// longer than k is still pending and count[] can be used as is.
static int32_t SubTableBits(const int32_t *count, int32_t k, int32_t w, int32_t pending,
                            int32_t longest, int32_t rootBits)
{
    int32_t limit = longest - w < rootBits ? longest - w : rootBits;
    int32_t j = k - w;
    if ((1 << j) <= pending || j >= limit)
        return j;
    int32_t free = (1 << j) - pending;
    for (;;) {
        j++;
        if (j == limit)
            return j;
        free <<= 1;
        if (free <= count[w + j])
            return j;
        free -= count[w + j];
    }
}

// Builds the decoding table of a canonical code from its code lengths.
// Over-subscribed and incomplete codes are damage; the one incomplete code
// accepted is a single symbol of length 1, whose unused code 1 becomes an
// invalid entry.
static CodeTable BuildDecodeTable(const uint8_t *length, int32_t symbolCount,
                                  int32_t requestedBits)
{
    // The symbols that have a code, in order. Most of a block's 510
    // lengths are often 0; passing over those only moves `used`, and the
    // counts below see the others alone.
    uint16_t coded[NC];
    int32_t used = 0;
    for (int32_t s = 0; s < symbolCount; s++) {
        coded[used] = (uint16_t)s;
        used += length[s] != 0;
    }
    int32_t count[MAX_CODE_LENGTH + 1];
    for (int32_t k = 0; k <= MAX_CODE_LENGTH; k++)
        count[k] = 0;
    for (int32_t j = 0; j < used; j++)
        count[length[coded[j]]]++;

    // No code at all: every decode yields 0 and consumes nothing.
    if (used == 0)
        return ConstantTable(0, 0, requestedBits);

    int32_t shortest = 1;
    while (count[shortest] == 0)
        shortest++;
    int32_t longest = MAX_CODE_LENGTH;
    while (count[longest] == 0)
        longest--;
    int32_t rootBits = requestedBits;
    if (rootBits < shortest)
        rootBits = shortest;
    if (rootBits > longest)
        rootBits = longest;

    // Symbols in canonical order: by length, then by symbol number.
    uint16_t sorted[NC];
    int32_t slot[MAX_CODE_LENGTH + 1];
    int32_t realCodes = 0;
    for (int32_t k = 1; k <= MAX_CODE_LENGTH; k++) {
        slot[k] = realCodes;
        realCodes += count[k];
    }
    for (int32_t j = 0; j < used; j++)
        sorted[slot[length[coded[j]]]++] = coded[j];

    // Kraft: y counts the patterns of length k still free.
    int32_t y = 1 << shortest;
    for (int32_t k = shortest; k < longest; k++) {
        y -= count[k];
        if (y < 0)
            LeaveDecode(Damaged);
        y <<= 1;
    }
    y -= count[longest];
    if (y < 0 || (y > 0 && longest != 1))
        LeaveDecode(Damaged);
    // The patterns left over become codes of the longest length that no
    // symbol owns; they follow every real code.
    count[longest] += y;

    // In a complete code of n symbols the shortest code has at most
    // log2(n) bits: 8 for 510 symbols, 4 for 19 or fewer. So once the test
    // above has passed, rootBits has at most come down to `longest`, never
    // gone up, and the root is laid out requestedBits wide; below that
    // width no code goes past the root.
    CodeTable table;
    table.root = poolUsed;
    table.rootBits = rootBits;
    poolUsed += 1 << requestedBits;

    // The sub-table open at depth index d (at code bit d * rootBits) and the
    // code prefix it belongs to; canonical codes arrive in increasing order,
    // so a new prefix means a new sub-table. Codes are at most 16 bits and
    // a code longer than rootBits implies rootBits >= 7: three depths suffice.
    int32_t openBase[3] = {table.root, 0, 0};
    int32_t openBits[3] = {requestedBits, 0, 0};
    int32_t openPrefix[3] = {0, -1, -1};
    int32_t placed = 0;
    uint32_t code = 0;
    for (int32_t k = shortest; k <= longest; k++, code <<= 1) {
        for (int32_t pending = count[k]; pending > 0; pending--, code++, placed++) {
            int32_t d = 0, w = 0;
            while (k > w + rootBits) {
                int32_t under = (int32_t)(code >> (k - w - rootBits));
                if (openPrefix[d + 1] != under) {
                    int32_t j = SubTableBits(count, k, w + rootBits, pending, longest, rootBits);
                    SetEntries(&tablePool[openBase[d] + (under & ((1 << rootBits) - 1))], 1,
                               LEAF + j, rootBits, (uint32_t)poolUsed);
                    openBase[d + 1] = poolUsed;
                    openBits[d + 1] = j;
                    openPrefix[d + 1] = under;
                    poolUsed += 1 << j;
                }
                d++;
                w += rootBits;
            }
            // The leaf fills every entry whose index starts with the code's
            // remaining k - w bits.
            int32_t rest = k - w;
            int32_t spread = openBits[d] - rest;
            TableEntry *e = &tablePool[openBase[d] + (int32_t)((code & ((1u << rest) - 1)) << spread)];
            if (placed < realCodes)
                SetEntries(e, 1 << spread, LEAF, rest, sorted[placed]);
            else
                SetEntries(e, 1 << spread, INVALID, rest, 0);
        }
    }
    return table;
}

// An invalid entry can only be met by the code 1 of a one-symbol code; it
// must not be followed as a link, and it is damage like every other code
// the block does not define.
static uint32_t DecodeSymbol(CodeTable table, int32_t requestedBits)
{
    const TableEntry *e =
        &tablePool[table.root + (int32_t)(PeekBits(table.rootBits) << (requestedBits - table.rootBits))];
    while (e->tag > LEAF) {
        if (e->tag == INVALID)
            LeaveDecode(Damaged);
        DropBits(e->drop);
        e = &tablePool[e->value + PeekBits(e->tag - LEAF)];
    }
    DropBits(e->drop);
    return e->value;
}

// DecodeSymbol inside a fast run, where the code's bits are all counted;
// the root is `width` bits wide (see CodeTable).
static inline uint32_t FastSymbol(FastInput *f, const TableEntry *root, int width)
{
    const TableEntry *e = &root[f->buffer >> (WORD_BITS - width)];
    while (e->tag > LEAF) {
        if (e->tag == INVALID)
            LeaveDecode(Damaged);
        FastDrop(f, e->drop);
        e = &tablePool[e->value + FastPeek(f, e->tag - LEAF)];
    }
    FastDrop(f, e->drop);
    return e->value;
}

// The code-length code (NT, TBIT, 3) and the position code (NP, PBIT, -1):
// a count, then 3-bit lengths with 7 extended by unary one-bits. After the
// third length of the code-length code a 2-bit field skips up to three
// symbols: those of literal lengths 1 to 3, which real codes seldom use.
static CodeTable ReadPtLengths(int32_t symbolCount, int32_t countBits, int32_t specialIndex)
{
    int32_t n = (int32_t)GetBits(countBits);
    // The constant is taken as it comes, without a test against symbolCount:
    // its users decide which values they cannot follow.
    if (n == 0)
        return ConstantTable(GetBits(countBits), LEAF, PT_ROOT_BITS);
    if (n > symbolCount)
        LeaveDecode(Damaged);

    uint8_t length[NT];
    for (int32_t i = 0; i < symbolCount; i++)
        length[i] = 0;
    int32_t i = 0;
    while (i < n) {
        int32_t len = (int32_t)GetBits(3);
        if (len == 7) {
            // Rejecting as soon as the run passes 16 ends the same way as
            // reading it to its zero-bit first, and keeps len bounded.
            while (GetBits(1) != 0)
                if (++len > MAX_CODE_LENGTH)
                    LeaveDecode(Damaged);
        }
        length[i++] = (uint8_t)len;
        if (i == specialIndex)
            i += (int32_t)GetBits(2);  // those symbols keep length 0
    }
    return BuildDecodeTable(length, symbolCount, PT_ROOT_BITS);
}

// The literal/length code, its lengths written with the code-length code:
// symbols 0..2 are runs of zero lengths (1, 3..18 with 4 more bits, 20..531
// with 9), 3..18 the lengths 1..16.
static int ZeroRunBits(uint32_t t)
{
    return t == 1 ? 4 : t == 2 ? CBIT : 0;
}

// Takes code-length symbol t, with the ZeroRunBits(t) bits that follow it,
// for symbol i; returns the next symbol.
static int32_t PlaceLength(uint8_t *length, int32_t i, uint32_t t, uint32_t extra)
{
    if (t <= 2) {
        int32_t run = t == 0 ? 1 : (int32_t)extra + (t == 1 ? 3 : 20);
        if (i + run > NC)
            LeaveDecode(Damaged);
        return i + run;  // those symbols keep length 0
    }
    // Only a constant code-length code can yield 19 or more; the lengths
    // above 16 it would give have no table, so it is damage.
    if (t - 2 > MAX_CODE_LENGTH)
        LeaveDecode(Damaged);
    length[i] = (uint8_t)(t - 2);
    return i + 1;
}

// Lengths from symbol i on, in a fast run (see decode.h) while the chunk
// has room: a code-length code of at most 16 bits and 9 more bits, which
// one refill of a 64-bit word covers (the stub's 32-bit build reads them
// the careful way, see FAST_EVERYWHERE).
static int32_t FastCLengths(CodeTable lengthCode, uint8_t *length, int32_t i, int32_t n)
{
    if (!FAST_EVERYWHERE)
        return i;
    const TableEntry *root = tablePool + lengthCode.root;
    FastInput f;
    BeginFastInput(&f);
    while (i < n && FastInputRoom(&f, 1)) {
        FastRefill(&f);
        uint32_t t = FastSymbol(&f, root, PT_ROOT_BITS);
        i = PlaceLength(length, i, t, FastGet(&f, ZeroRunBits(t)));
    }
    EndFastInput(&f);
    return i;
}

static CodeTable ReadCLengths(CodeTable lengthCode)
{
    int32_t n = (int32_t)GetBits(CBIT);
    // A constant of 510 or 511 is a match of length 257 or 258; the frame
    // copies any length, so it is used as it is.
    if (n == 0)
        return ConstantTable(GetBits(CBIT), LEAF, C_ROOT_BITS);
    if (n > NC)
        LeaveDecode(Damaged);

    uint8_t length[NC];
    for (int32_t i = 0; i < NC; i++)
        length[i] = 0;
    int32_t i = FastCLengths(lengthCode, length, 0, n);
    while (i < n) {
        uint32_t t = DecodeSymbol(lengthCode, PT_ROOT_BITS);
        i = PlaceLength(length, i, t, GetBits(ZeroRunBits(t)));
    }
    return BuildDecodeTable(length, NC, C_ROOT_BITS);
}

enum {
    // A constant literal/length code of 511 is the longest match.
    MAX_MATCH = 511 - 253,
    // An item takes at most 16 + 16 + 16 bits, 6 bytes. The bit buffer
    // runs at most 8 bytes ahead of what is taken and a refill reads a word
    // from there, so n items read less than 8n + 2 * WORD_BYTES bytes.
    ITEM_BYTES = 8,
};
static_assert(MAX_MATCH == (1 << CBIT) - 1 - 253, "a constant of CBIT bits names the longest match");
static_assert(2 * MAX_CODE_LENGTH + MAX_POSITION_SYMBOL - 1 <= 8 * ITEM_BYTES - 8,
              "an item's codes and extra bits fit its bytes");
static_assert(MAX_CODE_LENGTH + MAX_POSITION_SYMBOL - 1 <= 32,
              "a position code and its extra bits fit the 32 bits a refill is skipped for");
static_assert(WORD_BITS < 64 || 3 * MAX_CODE_LENGTH <= WORD_BITS - 8,
              "a refilled 64-bit buffer holds three literal codes");
static_assert(WORD_BITS >= 64 || MAX_CODE_LENGTH <= WORD_BITS - 8,
              "a refilled 32-bit buffer holds one code");

// Decodes codes of the current block while the chunk holds enough bytes
// for a batch of items, in batches while the block has room for the
// longest match before its end; returns the codes left. The codes decode as in the loop of
// DecodeStaticHuffman below. Kept out of line, so that its registers are
// not shared with the block reader's.
__attribute__((noinline)) static int32_t DecodeFastRun(CodeTable literals, CodeTable positions,
                                                          int32_t codesLeft)
{
    const TableEntry *literalRoot = tablePool + literals.root;
    const TableEntry *positionRoot = tablePool + positions.root;
    FastInput f;
    BeginFastInput(&f);
    int32_t pos = frame.output.writePos;
    int32_t posLimit = frame.output.blockLength - MAX_MATCH;
    for (;;) {
        ptrdiff_t room = f.end - f.next - 2 * WORD_BYTES;
        if (room < ITEM_BYTES || codesLeft == 0)
            break;
        if (pos >= posLimit) {
            if (!FAST_EVERYWHERE)
                break;
            // Near the block's end an item still comes from the fast input
            // (one refill of a 64-bit word covers it), but goes out through
            // PutByte or CopyMatch, which flush the block and may end the
            // member there; the frame's state is brought up to date first.
            codesLeft--;
            FastRefill(&f);
            uint32_t symbol = FastSymbol(&f, literalRoot, C_ROOT_BITS);
            int32_t distance = 1;
            if (symbol >= 256) {
                uint32_t p = FastSymbol(&f, positionRoot, PT_ROOT_BITS);
                if (p > MAX_POSITION_SYMBOL)
                    LeaveDecode(Damaged);
                if (p != 0)
                    distance += (1 << (p - 1)) + (int32_t)FastGet(&f, (int)p - 1);
            }
            EndFastInput(&f);
            frame.output.writePos = pos;
            if (symbol < 256)
                PutByte((uint8_t)symbol);
            else
                CopyMatch(distance, (int32_t)symbol - 253);
            BeginFastInput(&f);
            pos = frame.output.writePos;
            posLimit = frame.output.blockLength - MAX_MATCH;
            continue;
        }
        uint32_t batch = (uint32_t)(room / ITEM_BYTES);
        // A negative count (a block count of 0) never runs out.
        if (batch > (uint32_t)codesLeft)
            batch = (uint32_t)codesLeft;
        if (batch == 0)
            break;
        codesLeft -= (int32_t)batch;
        // Each item: batch > 0 and pos < posLimit.
        for (;;) {
            FastRefill(&f);
            uint32_t symbol = FastSymbol(&f, literalRoot, C_ROOT_BITS);
            // A refilled 64-bit buffer holds three codes (a 32-bit one
            // only one): up to three literals follow without a refill.
            int32_t more = WORD_BITS < 64 ? 0 : 2;
            for (; symbol < 256; more--) {
                shared.window[pos++] = (uint8_t)symbol;
                if (--batch == 0 || pos >= posLimit || more == 0)
                    break;
                symbol = FastSymbol(&f, literalRoot, C_ROOT_BITS);
            }
            if (symbol < 256) {
                if (batch == 0 || pos >= posLimit)
                    break;
                continue;
            }
            // A position code and its extra bits: 32 bits at most.
            if (WORD_BITS < 64 || f.count < 32)
                FastRefill(&f);
            uint32_t p = FastSymbol(&f, positionRoot, PT_ROOT_BITS);
            if (p > MAX_POSITION_SYMBOL)
                LeaveDecode(Damaged);
            if (WORD_BITS < 64)
                FastRefill(&f);
            int32_t distance = 1;
            if (p != 0)
                distance += (1 << (p - 1)) + (int32_t)FastGet(&f, (int)p - 1);
            int32_t length = (int32_t)symbol - 253;
            CopyMatchInBlock(pos, distance, length);
            pos += length;
            if (--batch == 0 || pos >= posLimit)
                break;
        }
        codesLeft += (int32_t)batch;
    }
    EndFastInput(&f);
    frame.output.writePos = pos;
    return codesLeft;
}

void DecodeStaticHuffman(const MemberHeader *header, int isLh6)
{
    int32_t positionSymbols = isLh6 ? NP_LH6 : NP_LH5;
    int32_t positionBits = isLh6 ? PBIT_LH6 : PBIT_LH5;

    InitOutput((int32_t)header->originalSize);
    // A match reaching back before the member's first byte copies spaces.
    for (int32_t i = 0; i < WINDOW_SIZE; i++)
        shared.window[i] = 0x20;

    CodeTable literals = {0, 0};
    CodeTable positions = {0, 0};
    // Signed: a block count of 0 goes negative and never reaches 0 again,
    // so that block's codes stay in force to the end of the member.
    int32_t blockCodesLeft = 0;
    for (;;) {
        if (blockCodesLeft == 0) {
            blockCodesLeft = (int32_t)GetBits(16);
            poolUsed = 0;
            CodeTable lengthCode = ReadPtLengths(NT, TBIT, 3);
            literals = ReadCLengths(lengthCode);
            positions = ReadPtLengths(positionSymbols, positionBits, -1);
        }
        blockCodesLeft--;

        // One code the careful way: the first of a block, or one near the
        // end of the chunk or of the block; then as many as a fast run takes.
        uint32_t symbol = DecodeSymbol(literals, C_ROOT_BITS);
        if (symbol < 256) {
            PutByte((uint8_t)symbol);
        } else {
            int32_t length = (int32_t)symbol - 253;
            uint32_t p = DecodeSymbol(positions, PT_ROOT_BITS);
            // Only a constant position code can name a symbol whose p - 1
            // extra bits would not fit one read; such a match is damage.
            if (p > MAX_POSITION_SYMBOL)
                LeaveDecode(Damaged);
            int32_t offset = 0;
            if (p != 0)
                offset = (1 << (p - 1)) + (int32_t)GetBits((int)p - 1);
            CopyMatch(offset + 1, length);
        }
        if (blockCodesLeft != 0)
            blockCodesLeft = DecodeFastRun(literals, positions, blockCodesLeft);
    }
}

#ifndef _WIN32
static_assert(NP_LH6 >= NP_LH5, "the position code of -lh6- has the larger tables");
HuffmanPoolLayout StaticHuffmanPoolLayout(void)
{
    return {POOL_SIZE, MAX_CODE_LENGTH, {NT, NC, NP_LH6}, {PT_ROOT_BITS, C_ROOT_BITS, PT_ROOT_BITS}};
}

int32_t StaticHuffmanTableEntries(const uint8_t *length, int32_t symbolCount, int32_t rootBits)
{
    poolUsed = 0;
    BuildDecodeTable(length, symbolCount, rootBits);
    return poolUsed;
}
#endif
