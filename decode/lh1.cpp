// -lh1-: LZ77 over a 4,096-byte reach, literals and match lengths sharing
// one adaptive Huffman code that follows every symbol, positions coded with
// a fixed prefix code for their upper 6 bits and 6 plain bits below it.
#include "decode/decode.h"

enum {
    SYMBOLS = 314,              // 0..255 literals, 256..313 lengths 3..60
    NODES = 2 * SYMBOLS - 1,    // 627; the root is the last node
    ROOT = NODES - 1,
    LEAF_BASE = NODES,          // child[] values >= this are leaves: LEAF_BASE + symbol
    REBUILD_AT = 0x8000,
    SPACE_BYTES = 4036,         // the spaces just before the first output byte
    SENTINELS = 8,              // freq[NODES ..]: a scan may look 8 ahead
    MAX_MATCH = 60,
};

// Nodes are kept in non-decreasing order of frequency, so the node to swap
// with on an update is found by an upward scan; freq[NODES] and the entries
// after it are sentinels that no count reaches and end that scan.
struct AdaptiveTree {
    uint16_t freq[NODES + SENTINELS];
    uint16_t child[NODES];              // first child; the second is the next node
    uint16_t parent[NODES + SYMBOLS];   // per node, then per symbol: its leaf
};

static AdaptiveTree tree;

// Indexed by the next 8 input bits: the upper 6 position bits and the
// length of the prefix code that stands for them. Value v takes
// 2^(8 - n) entries in increasing order; they are filled by that rule
// rather than stored, which keeps 512 bytes out of the stub.
static uint8_t posHighBits[256];
static uint8_t posCodeLength[256];

static void BuildPositionTables(void)
{
    // The first value of each code length 3..8, and the end of the last.
    static const uint8_t firstValue[7] = {0, 1, 4, 12, 24, 48, 64};
    int32_t i = 0;
    for (int32_t n = 3; n <= 8; n++) {
        for (int32_t v = firstValue[n - 3]; v < firstValue[n - 2]; v++) {
            for (int32_t e = 0; e < (1 << (8 - n)); e++, i++) {
                posHighBits[i] = (uint8_t)v;
                posCodeLength[i] = (uint8_t)n;
            }
        }
    }
}

// All symbols start with frequency 1; leaves are nodes 0..313 in symbol
// order and inner nodes pair them off from the bottom.
static void StartTree(void)
{
    for (int32_t s = 0; s < SYMBOLS; s++) {
        tree.freq[s] = 1;
        tree.child[s] = (uint16_t)(s + LEAF_BASE);
        tree.parent[s + LEAF_BASE] = (uint16_t)s;
    }
    for (int32_t i = 0, j = SYMBOLS; j < NODES; i += 2, j++) {
        tree.freq[j] = (uint16_t)(tree.freq[i] + tree.freq[i + 1]);
        tree.child[j] = (uint16_t)i;
        tree.parent[i] = tree.parent[i + 1] = (uint16_t)j;
    }
    for (int32_t i = NODES; i < NODES + SENTINELS; i++)
        tree.freq[i] = 0xFFFF;
    tree.parent[ROOT] = 0;
}

// Halves every leaf's frequency (rounding up, so none drops to 0) and
// builds the inner nodes again in frequency order.
__attribute__((noinline)) static void RebuildTree(void)
{
    int32_t kept = 0;
    for (int32_t i = 0; i < NODES; i++) {
        if (tree.child[i] >= LEAF_BASE) {
            tree.freq[kept] = (uint16_t)((tree.freq[i] + 1) / 2);
            tree.child[kept] = tree.child[i];
            kept++;
        }
    }
    // Each new inner node pairs the next two nodes and is inserted after
    // every node of no greater frequency. The insertion point is always
    // above i + 1, so nodes already paired off never move.
    for (int32_t i = 0, j = SYMBOLS; j < NODES; i += 2, j++) {
        uint32_t f = (uint32_t)tree.freq[i] + tree.freq[i + 1];
        int32_t k = j - 1;
        while (f < tree.freq[k])
            k--;
        k++;
        for (int32_t m = j; m > k; m--) {
            tree.freq[m] = tree.freq[m - 1];
            tree.child[m] = tree.child[m - 1];
        }
        tree.freq[k] = (uint16_t)f;
        tree.child[k] = (uint16_t)i;
    }
    for (int32_t i = 0; i < NODES; i++) {
        int32_t k = tree.child[i];
        if (k >= LEAF_BASE)
            tree.parent[k] = (uint16_t)i;
        else
            tree.parent[k] = tree.parent[k + 1] = (uint16_t)i;
    }
}

// Node c has just counted k and passed its upper neighbour: it trades
// places with the highest node still below k, the last of the run of k - 1
// above it, which keeps the order (and the sibling property) intact.
// Returns the node that now holds c's subtree.
__attribute__((noinline)) static uint32_t TradeUp(uint32_t c, uint32_t k)
{
    // The order makes a skip of eight safe when the eighth is below k (runs
    // of equal counts are long while counts are small); then the nodes
    // below k among the next seven are counted, which is where the run
    // ends, without a branch to guess.
    uint32_t l = c + 1;
    while (k > tree.freq[l + 8])
        l += 8;
    uint32_t below = 0;
    for (uint32_t i = 1; i < 8; i++)
        below += k > tree.freq[l + i];
    l += below;
    tree.freq[c] = tree.freq[l];
    tree.freq[l] = (uint16_t)k;

    uint32_t i = tree.child[c];
    tree.parent[i] = (uint16_t)l;
    if (i < LEAF_BASE)
        tree.parent[i + 1] = (uint16_t)l;

    uint32_t j = tree.child[l];
    tree.child[l] = (uint16_t)i;
    tree.parent[j] = (uint16_t)c;
    if (j < LEAF_BASE)
        tree.parent[j + 1] = (uint16_t)c;
    tree.child[c] = (uint16_t)j;
    return l;
}

// Counts on every node from c up to the root; a node that trades places
// carries on counting from its new place. The trade itself is out of line,
// which leaves this loop small enough to sit in both decoding loops.
static inline void CountToRoot(uint32_t c)
{
    do {
        uint32_t k = ++tree.freq[c];
        if (k > tree.freq[c + 1])
            c = TradeUp(c, k);
        c = tree.parent[c];
    } while (c != 0);  // only the root has parent 0: node 0 is always a leaf
}

// Counts symbol s on every node from its leaf to the root.
static inline void BumpSymbol(int32_t s)
{
    if (tree.freq[ROOT] == REBUILD_AT)
        RebuildTree();
    CountToRoot(tree.parent[s + LEAF_BASE]);
}

// Walks from the root one bit per level. The tree can be deeper than 16
// levels, so the walk takes up to 16 bits per peek and drops what it used;
// a code that runs past the packed data drops padding and ends as damage,
// as reading it bit by bit would.
static int32_t DecodeTreeSymbol(void)
{
    int32_t c = tree.child[ROOT];
    while (c < LEAF_BASE) {
        uint32_t bits = PeekBits(16);
        int32_t used = 0;
        do {
            c = tree.child[c + (int32_t)((bits >> (15 - used)) & 1)];
            used++;
        } while (c < LEAF_BASE && used < 16);
        DropBits(used);
    }
    int32_t s = c - LEAF_BASE;
    BumpSymbol(s);
    return s;
}

// A 3..8-bit prefix for the upper 6 bits, then 6 plain bits. The first 8
// bits already hold 8 - n of the plain bits; n - 2 more complete them.
static int32_t DecodeMatchPosition(void)
{
    uint32_t i = GetBits(8);
    int32_t n = posCodeLength[i];
    uint32_t low = ((i << (n - 2)) | GetBits(n - 2)) & 0x3F;
    return (int32_t)(((uint32_t)posHighBits[i] << 6) | low);
}

enum {
    // A fast run item's bits: a path of at most SYMBOLS - 1 levels (a
    // binary tree of 314 leaves is no deeper) and 14 position bits, 41
    // bytes; the buffer runs up to 8 bytes ahead of them and a refill reads
    // a word from there.
    ITEM_ROOM = 50 + WORD_BYTES,
};
static_assert(ITEM_ROOM >= (SYMBOLS - 1 + 14 + 7) / 8 + 8 + WORD_BYTES,
              "the chunk holds a fast item's bits, the buffer's lead and a refill's word");

// Items of a fast run (see decode.h), decoded as in DecodeLh1 below.
static void FastLh1(void)
{
    if (!FAST_EVERYWHERE)
        return;
    FastInput f;
    BeginFastInput(&f);
    int32_t pos = frame.output.writePos;
    int32_t posLimit = frame.output.blockLength - MAX_MATCH;
    while (pos < posLimit && f.end - f.next >= ITEM_ROOM) {
        // The walk notes the nodes it passes, the root first: until a node
        // trades places they are the parents that the count goes up
        // through, known without a lookup that waits for the one before.
        uint32_t path[NODES];
        int32_t depth = 0;
        uint32_t node = ROOT;
        uint32_t c = tree.child[ROOT];
        do {
            if (f.count == 0)
                FastRefill(&f);
            path[depth++] = node;
            node = c + (uint32_t)(f.buffer >> (WORD_BITS - 1));
            c = tree.child[node];
            FastDrop(&f, 1);
        } while (c < LEAF_BASE);
        int32_t s = (int32_t)c - LEAF_BASE;
        // BumpSymbol: while no node trades places, each parent is the next
        // node of the path. A traded node is never the root, so its parent
        // is a node.
        if (tree.freq[ROOT] == REBUILD_AT) {
            BumpSymbol(s);
        } else {
            for (c = node;;) {
                uint32_t k = ++tree.freq[c];
                if (k > tree.freq[c + 1]) {
                    CountToRoot(tree.parent[TradeUp(c, k)]);
                    break;
                }
                if (depth == 0)
                    break;
                c = path[--depth];
            }
        }
        if (s < 256) {
            shared.window[pos++] = (uint8_t)s;
            continue;
        }
        if (f.count < 14)
            FastRefill(&f);
        uint32_t i = FastGet(&f, 8);
        int32_t n = posCodeLength[i];
        uint32_t low = ((i << (n - 2)) | FastGet(&f, n - 2)) & 0x3F;
        int32_t position = (int32_t)(((uint32_t)posHighBits[i] << 6) | low);
        CopyMatchInBlock(pos, position + 1, s - 253);
        pos += s - 253;
    }
    EndFastInput(&f);
    frame.output.writePos = pos;
}

void DecodeLh1(const MemberHeader *header)
{
    InitOutput((int32_t)header->originalSize);
    // Distances reach 4,096 back but only 4,036 bytes are defined as
    // spaces; the 60 before them keep whatever the window held.
    for (int32_t i = WINDOW_SIZE - SPACE_BYTES; i < WINDOW_SIZE; i++)
        shared.window[i] = 0x20;
    BuildPositionTables();
    StartTree();
    // Near the end of the chunk or of the block, one item at a time the
    // careful way.
    for (;;) {
        FastLh1();
        int32_t s = DecodeTreeSymbol();
        if (s < 256) {
            PutByte((uint8_t)s);
        } else {
            int32_t length = s - 253;
            CopyMatch(DecodeMatchPosition() + 1, length);
        }
    }
}
