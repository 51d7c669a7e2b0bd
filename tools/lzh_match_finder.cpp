// The match finder of the -lh5-/-lh6- packer: the longest match along a
// hash chain (the chains themselves are kept inline, in lzh_parts.h).
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
    uint32_t candidate = c.chain;
    while (candidate != 0 && chain-- > 0) {
        size_t cand = candidate - 1;
        if (cand < lowest)
            break;
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
        uint32_t older = f->link[cand & f->ringMask];
        if (older >= candidate)
            break; // a slot reused by a newer position
        candidate = older;
    }
    return best > beat ? best : 0;
}

} // namespace lzh
