// The match finders of the -lh5-/-lh6- packer: the longest match along a
// hash chain (the chains themselves are kept inline, in lzh_parts.h) for the
// lazy parse, and every match a binary tree offers for the parse of least
// cost.
#include "tools/lzh_parts.h"

namespace lzh
{

int LongestMatch(const MatchFinder *f, size_t pos, Candidates c, int beat, int chain,
                 uint32_t nearReach, uint32_t *distance)
{
    size_t remaining = f->size - pos;
    int limit = remaining < (size_t)kMaxMatch ? (int)remaining : kMaxMatch;
    if (beat >= limit)
        return 0;
    size_t lowest = pos > f->dictionary ? pos - f->dictionary : 0;
    const uint8_t *here = f->data + pos;
    int best = beat;
    if (best < kMinMatch && c.near != 0 && pos - (c.near - 1) <= nearReach &&
        c.near - 1 >= lowest) {
        const uint8_t *there = f->data + c.near - 1;
        int len = CommonLength(here, there, limit);
        if (len >= kMinMatch) {
            best = len;
            *distance = (uint32_t)(pos - (c.near - 1));
            if (len >= limit)
                return len; // the chain's quick test would read here[limit]
        }
    }
    // Entries are kept as position + 1, so none (0) is never above `lowest`.
    // Every slot of the ring within reach still holds the entry of the
    // position it was written for: the ring spans twice the dictionary.
    uint32_t candidate = c.chain;
    while (candidate > lowest && chain-- > 0) {
        size_t cand = candidate - 1;
        const uint8_t *there = f->data + cand;
        if (there[best] == here[best] && there[0] == here[0] && there[1] == here[1]) {
            int len = CommonLength(here, there, limit);
            if (len > best) {
                best = len;
                *distance = (uint32_t)(pos - cand);
                if (len >= limit)
                    break;
            }
        }
        candidate = f->link[cand & f->ringMask];
    }
    return best > beat ? best : 0;
}

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
