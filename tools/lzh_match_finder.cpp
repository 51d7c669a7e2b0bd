// The binary tree match finder of the -lh5-/-lh6- packer, which offers
// every match for the parse of least cost (the hash chains of the lazy
// parse are kept inline, in lzh_parts.h).
#include "tools/lzh_parts.h"

namespace lzh
{

enum { kTreeHashBits = 16 };

void InitTreeFinder(TreeFinder *f, const uint8_t *data, size_t size, uint32_t dictionary,
                    int depth, int niceLength)
{
    f->data = data;
    f->size = size;
    f->dictionary = dictionary;
    f->ringMask = 2 * dictionary - 1;
    f->depth = depth;
    f->niceLength = niceLength;
    f->head.assign(1u << kTreeHashBits, 0);
    f->son.assign(4 * (size_t)dictionary, 0);
}

// Each step compares pos's bytes with a node's from the length that both
// bounds of the walk share (the tree's order guarantees that much), and
// hangs the node into pos's left subtree (less) or right subtree (greater):
// pos becomes the root, and the tree stays ordered. A match of the length
// limit leaves nothing to order by, so the node's subtrees become pos's.
int TreeMatches(TreeFinder *f, size_t pos, uint32_t *pairs)
{
    size_t remaining = f->size - pos;
    if (remaining < (size_t)kMinMatch)
        return 0;
    int fullLimit = remaining < (size_t)kMaxMatch ? (int)remaining : kMaxMatch;
    int limit = fullLimit < f->niceLength ? fullLimit : f->niceLength;
    const uint8_t *here = f->data + pos;
    uint32_t v = (uint32_t)here[0] | (uint32_t)here[1] << 8 | (uint32_t)here[2] << 16;
    uint32_t h = (v * 0x9E3779B1u) >> (32 - kTreeHashBits);
    uint32_t candidate = f->head[h];
    f->head[h] = (uint32_t)pos + 1;
    uint32_t *less = &f->son[2 * (pos & f->ringMask)];
    uint32_t *greater = less + 1;
    int lessLength = 0, greaterLength = 0, best = kMinMatch - 1, count = 0;
    int steps = f->depth;
    for (;;) {
        if (candidate == 0 || steps-- == 0 || pos - (candidate - 1) > f->dictionary) {
            *less = *greater = 0;
            return count;
        }
        size_t cand = candidate - 1;
        const uint8_t *there = f->data + cand;
        uint32_t *pair = &f->son[2 * (cand & f->ringMask)];
        int len = lessLength < greaterLength ? lessLength : greaterLength;
        if (there[len] == here[len]) {
            len += 1 + CommonLength(here + len + 1, there + len + 1, limit - len - 1);
            if (len > best) {
                best = len;
                // The walk stops at the nice length; the match need not.
                int whole = len < limit ? len
                                        : len + CommonLength(here + len, there + len, fullLimit - len);
                if (pairs)
                    pairs[count] = (uint32_t)whole << 16 | (uint32_t)(pos - cand - 1);
                count++;
                if (len >= limit) {
                    *less = pair[0];
                    *greater = pair[1];
                    return count;
                }
            }
        }
        if (there[len] < here[len]) {
            *less = candidate;
            less = pair + 1;
            candidate = *less;
            lessLength = len;
        } else {
            *greater = candidate;
            greater = pair;
            candidate = *greater;
            greaterLength = len;
        }
    }
}

} // namespace lzh
