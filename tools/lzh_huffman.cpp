// The Huffman code builder of the -lh5-/-lh6- packer: code lengths limited
// to the format's 16 bits, and canonical codes from them.
#include <string.h>

#include <algorithm>

#include "tools/lzh_parts.h"

using namespace lzh;

namespace
{

// Depths of a Huffman tree over the used symbols. The two-queue method needs
// the leaves in increasing weight; internal nodes are then made in
// increasing weight too, so each step takes the two lightest fronts.
int HuffmanDepths(const uint32_t *freq, int count, uint8_t *depths)
{
    int order[kLiteralSymbols];
    int m = 0;
    for (int i = 0; i < count; i++)
        if (freq[i] != 0)
            order[m++] = i;
    std::stable_sort(order, order + m, [&](int a, int b) { return freq[a] < freq[b]; });

    uint64_t weight[2 * kLiteralSymbols];
    int parent[2 * kLiteralSymbols];
    for (int i = 0; i < m; i++)
        weight[i] = freq[order[i]];
    int nextLeaf = 0, nextNode = m, made = m;
    auto takeLightest = [&]() {
        if (nextLeaf < m && (nextNode >= made || weight[nextLeaf] <= weight[nextNode]))
            return nextLeaf++;
        return nextNode++;
    };
    for (int k = 0; k < m - 1; k++) {
        int a = takeLightest();
        int b = takeLightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made;
        made++;
    }
    // The root is the last node made; every node was made after its children.
    int depth[2 * kLiteralSymbols];
    depth[made - 1] = 0;
    int deepest = 0;
    for (int node = made - 2; node >= 0; node--) {
        depth[node] = depth[parent[node]] + 1;
        if (node < m)
            deepest = std::max(deepest, depth[node]);
    }
    for (int i = 0; i < m; i++)
        depths[order[i]] = (uint8_t)depth[i];
    return deepest;
}

} // namespace

void BuildCodeLengths(const uint32_t *freq, int count, int maxLength, uint8_t *lengths)
{
    memset(lengths, 0, count);
    int present = 0, lone = 0;
    for (int i = 0; i < count; i++)
        if (freq[i] != 0)
            present++, lone = i;
    if (present == 0)
        return;
    if (present == 1) {
        lengths[lone] = 1;
        return;
    }
    // A tree deeper than the limit needs counts far apart (a Fibonacci-like
    // spread); halving the counts, keeping every used one above zero, brings
    // them closer until the tree fits. It is rare, and cheap when it happens.
    uint32_t scaled[kLiteralSymbols];
    memcpy(scaled, freq, count * sizeof(uint32_t));
    if (HuffmanDepths(scaled, count, lengths) <= maxLength)
        return;
    do {
        for (int i = 0; i < count; i++)
            if (scaled[i] != 0)
                scaled[i] = (scaled[i] >> 1) | 1;
    } while (HuffmanDepths(scaled, count, lengths) > maxLength);
    // Halving made unequal counts equal, and ties went by symbol number:
    // hand the same lengths out again, the shortest to the most frequent.
    int lengthCount[kMaxCodeLength + 1] = {0};
    int order[kLiteralSymbols];
    int used = 0;
    for (int i = 0; i < count; i++) {
        if (lengths[i] != 0) {
            lengthCount[lengths[i]]++;
            order[used++] = i;
        }
    }
    std::stable_sort(order, order + used, [&](int a, int b) { return freq[a] > freq[b]; });
    int len = 1;
    for (int k = 0; k < used; k++) {
        while (lengthCount[len] == 0)
            len++;
        lengthCount[len]--;
        lengths[order[k]] = (uint8_t)len;
    }
}

void BuildCanonicalCodes(const uint8_t *lengths, int count, uint16_t *codes)
{
    uint32_t lengthCount[kMaxCodeLength + 1] = {0};
    for (int i = 0; i < count; i++)
        lengthCount[lengths[i]]++;
    uint32_t next[kMaxCodeLength + 1];
    uint32_t code = 0;
    lengthCount[0] = 0;
    for (int len = 1; len <= kMaxCodeLength; len++) {
        code = (code + lengthCount[len - 1]) << 1;
        next[len] = code;
    }
    for (int i = 0; i < count; i++)
        codes[i] = lengths[i] ? (uint16_t)next[lengths[i]]++ : 0;
}
