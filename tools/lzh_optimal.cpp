// The parse of least cost for -lh5-/-lh6- (make --best). Every position of
// a segment gets the matches the binary tree offers; the cheapest parse is
// then a shortest path over the positions, where a literal leads one
// position on and a match of each length up to a candidate's leads that
// many, each priced in bits by the codes it will be written with. The
// segment is parsed once as a whole with rough prices, the blocks are
// planned on that parse, and each block is parsed again with the prices of
// its own codes, for as long as the block gets smaller. (Prices from the
// counts' entropy instead of the code lengths, a second pass over the whole
// segment with the prices of its counts, and planning the blocks anew after
// the passes of each block were tried: on our corpus each gains less than
// 0.1%; so does keeping 16 or 64 matches per position instead of 8.)
//
// Memory per segment of n bytes (n at most 1 MiB), beside the input: at
// most kMaxPairs matches and one index per position (36 n bytes), the
// shortest path's price and step per position (8 n), the segment's tokens
// (4 n); the tree (768 KiB for -lh6-), the block plan's running counts
// (2 KiB per kSplitChunk tokens, at most 4.2 MiB) and a block's tokens
// twice (512 KiB): at most 54 MiB for each segment packed at the same time.
// A thread keeps the per-position buffers for its next segment.
#include <string.h>

#include <algorithm>

#include "tools/lzh_parts.h"

namespace lzh
{
namespace
{

enum {
    kMaxPairs = 8,          // matches kept per position, the longest ones
    kSplitChunk = 512,        // tokens per piece that block plans are made of
    kMaxChunksPerBlock = 126 // keeps a plan's block within kMaxBlockCodes
};
static_assert(kSplitChunk * kMaxChunksPerBlock <= kMaxBlockCodes, "a block's count field");

// The price in bits of each literal/length symbol, and of each position
// symbol with its extra bits.
struct Prices {
    uint32_t literal[kLiteralSymbols];
    uint32_t position[kMaxPositionSymbols];
    uint64_t length[kMaxMatch - kMinMatch + 1]; // the match lengths' literal prices << 32
};

void PriceLengths(Prices *p)
{
    for (int l = kMinMatch; l <= kMaxMatch; l++)
        p->length[l - kMinMatch] = (uint64_t)p->literal[256 + l - kMinMatch] << 32;
}

struct Optimizer {
    const uint8_t *data;
    size_t start, end;
    int niceLength;
    std::vector<uint32_t> first; // matches of start + i: pairs[first[i] .. first[i + 1] - 1]
    std::vector<uint32_t> pairs;
    // The cheapest way to each position of a block: its price << 32 | its
    // last step, length << 16 | offset. One word makes each comparison a
    // minimum without branches; of two ways at one price the one whose last
    // step is shorter (or nearer) wins.
    // Prices stay far below 2^32: a segment has at most 2^20 positions,
    // and a step costs at most 16 + 16 + 15 bits.
    std::vector<uint64_t> way;
};
static_assert(kMaxPositionSymbols <= 17 && kMaxMatch < 65536, "a step's offset and length fit 16 bits");

inline int TokenLength(uint32_t token)
{
    int symbol = TokenSymbol(token);
    return symbol < 256 ? 1 : symbol - 256 + kMinMatch;
}

void FindMatches(Optimizer *o, TreeFinder *tree)
{
    size_t n = o->end - o->start;
    o->first.resize(n + 1);
    o->pairs.clear();
    o->pairs.reserve(n * kMaxPairs); // address space: only what is used is touched
    uint32_t found[kMaxMatch];
    size_t skipUntil = 0;
    for (size_t i = 0; i < n; i++) {
        size_t pos = o->start + i;
        o->first[i] = (uint32_t)o->pairs.size();
        if (pos < skipUntil) {
            TreeMatches(tree, pos, nullptr);
            continue;
        }
        int count = TreeMatches(tree, pos, found);
        int from = count > kMaxPairs ? count - kMaxPairs : 0;
        for (int j = from; j < count; j++)
            o->pairs.push_back(found[j]); // within the reserve: no copies
        if (count > 0 && (int)(found[count - 1] >> 16) >= o->niceLength)
            skipUntil = pos + (found[count - 1] >> 16);
    }
    o->first[n] = (uint32_t)o->pairs.size();
}

// Appends to *tokens the cheapest parse of [from, to) at these prices. A
// match of the nice length is taken whole: the positions it covers hold no
// matches of their own (FindMatches skipped them), and are not steps of a
// way either.
void ShortestPath(Optimizer *o, size_t from, size_t to, const Prices &p,
                  std::vector<uint32_t> *tokens)
{
    size_t n = to - from;
    uint64_t *way = o->way.data();
    way[0] = 0;
    for (size_t k = 1; k <= n; k++)
        way[k] = UINT64_MAX;
    const uint8_t *data = o->data + from;
    const uint32_t *firstPair = o->first.data() + (from - o->start);
    for (size_t k = 0; k < n; k++) {
        uint64_t here = way[k] & 0xFFFFFFFF00000000u;
        way[k + 1] = std::min(way[k + 1], (here + ((uint64_t)p.literal[data[k]] << 32)) | 1u << 16);
        const uint32_t *pair = o->pairs.data() + firstPair[k];
        const uint32_t *last = o->pairs.data() + firstPair[k + 1];
        if (pair == last)
            continue;
        int reach = n - k < (size_t)kMaxMatch ? (int)(n - k) : kMaxMatch;
        int longest = (int)(last[-1] >> 16);
        int done = kMinMatch - 1;
        for (; pair < last && done < reach; pair++) {
            int length = std::min((int)(*pair >> 16), reach);
            uint32_t offset = *pair & 0xFFFF;
            uint64_t base = (here + ((uint64_t)p.position[PositionSymbol(offset)] << 32)) | offset;
            uint64_t *ahead = way + k;
            for (int l = done + 1; l <= length; l++)
                ahead[l] = std::min(ahead[l], base + p.length[l - kMinMatch] + ((uint64_t)l << 16));
            done = std::max(done, length);
        }
        if (longest >= o->niceLength && longest <= reach)
            k += longest - 1;
    }
    size_t mark = tokens->size();
    for (size_t k = n; k > 0;) {
        int length = (int)(way[k] >> 16 & 0xFFFF);
        k -= length;
        tokens->push_back(length == 1 ? LiteralToken(data[k])
                                      : MatchToken(length, (way[k + length] & 0xFFFF) + 1));
    }
    std::reverse(tokens->begin() + mark, tokens->end());
}

void CountTokens(const uint32_t *tokens, size_t count, Histogram *h)
{
    memset(h, 0, sizeof *h);
    for (size_t i = 0; i < count; i++) {
        h->literal[TokenSymbol(tokens[i])]++;
        if (TokenSymbol(tokens[i]) >= 256)
            h->position[PositionSymbol(TokenOffset(tokens[i]))]++;
    }
    h->codes = (uint32_t)count;
}

// Prices of a block's codes. A symbol the code lacks would cost a longer
// code elsewhere: it is priced one bit above the longest code.
void PricesFromLengths(const uint8_t *literalLength, const uint8_t *positionLength, Prices *p)
{
    int longest = 0;
    for (int i = 0; i < kLiteralSymbols; i++)
        longest = std::max(longest, (int)literalLength[i]);
    int unused = std::min(longest + 1, (int)kMaxCodeLength);
    for (int i = 0; i < kLiteralSymbols; i++)
        p->literal[i] = literalLength[i] ? literalLength[i] : unused;
    longest = 0;
    for (int i = 0; i < kMaxPositionSymbols; i++)
        longest = std::max(longest, (int)positionLength[i]);
    unused = std::min(longest + 1, (int)kMaxCodeLength);
    for (int i = 0; i < kMaxPositionSymbols; i++)
        p->position[i] = (positionLength[i] ? positionLength[i] : unused) + (i >= 2 ? i - 1 : 0);
    PriceLengths(p);
}

// Before any counts: literals by the code of the segment's bytes, lengths
// and positions by the usual shape of their codes.
void FirstPrices(const Optimizer *o, Prices *p)
{
    uint32_t bytes[kLiteralSymbols] = {0};
    for (size_t i = o->start; i < o->end; i++)
        bytes[o->data[i]]++;
    uint8_t lengths[kLiteralSymbols];
    BuildCodeLengths(bytes, 256, kMaxCodeLength, lengths);
    for (int i = 0; i < 256; i++)
        p->literal[i] = lengths[i] ? lengths[i] : (uint32_t)kMaxCodeLength;
    for (int l = kMinMatch; l <= kMaxMatch; l++)
        p->literal[256 + l - kMinMatch] = std::min(4 + 2 * (31 - __builtin_clz(l - 2)), 16);
    for (int i = 0; i < kMaxPositionSymbols; i++)
        p->position[i] = 4 + (i >= 2 ? i - 1 : 0);
    PriceLengths(p);
}

// Block plans over pieces of kSplitChunk tokens: the cheapest cut of the
// pieces into blocks by EstimateBlockBits, as a shortest path over the
// piece boundaries. Returns the token index where each block ends.
std::vector<size_t> PlanBlocks(const std::vector<uint32_t> &tokens)
{
    size_t pieces = (tokens.size() + kSplitChunk - 1) / kSplitChunk;
    std::vector<Histogram> sum(pieces + 1); // counts of the pieces before j
    memset(&sum[0], 0, sizeof sum[0]);
    for (size_t j = 0; j < pieces; j++) {
        size_t a = j * kSplitChunk, b = std::min(tokens.size(), a + kSplitChunk);
        CountTokens(tokens.data() + a, b - a, &sum[j + 1]);
        AddHistogram(&sum[j + 1], sum[j]);
    }
    std::vector<float> best(pieces + 1, 0);
    std::vector<size_t> cut(pieces + 1, 0);
    Histogram h;
    for (size_t b = 1; b <= pieces; b++) {
        best[b] = -1;
        for (size_t a = b > kMaxChunksPerBlock ? b - kMaxChunksPerBlock : 0; a < b; a++) {
            for (int i = 0; i < kLiteralSymbols; i++)
                h.literal[i] = sum[b].literal[i] - sum[a].literal[i];
            for (int i = 0; i < kMaxPositionSymbols; i++)
                h.position[i] = sum[b].position[i] - sum[a].position[i];
            h.codes = sum[b].codes - sum[a].codes;
            float bits = best[a] + EstimateBlockBits(h);
            if (best[b] < 0 || bits < best[b]) {
                best[b] = bits;
                cut[b] = a;
            }
        }
    }
    std::vector<size_t> ends;
    for (size_t b = pieces; b > 0; b = cut[b])
        ends.push_back(std::min(tokens.size(), b * kSplitChunk));
    std::reverse(ends.begin(), ends.end());
    return ends;
}

} // namespace

void PackSegmentOptimal(const uint8_t *data, size_t start, size_t end,
                        const LzhMethodParams &params, const LzhEffort &effort, BitWriter *w)
{
    // Each thread keeps its buffers from one segment to the next: fresh ones
    // would cost a page fault per 4 KiB each time.
    static thread_local Optimizer o;
    o.data = data;
    o.start = start;
    o.end = end;
    o.niceLength = effort.lazyLimit;
    {
        TreeFinder tree;
        InitTreeFinder(&tree, data, end, 1u << params.dictionaryBits, effort.maxChain,
                       effort.lazyLimit);
        for (size_t q = start > tree.dictionary ? start - tree.dictionary : 0; q < start; q++)
            TreeMatches(&tree, q, nullptr);
        FindMatches(&o, &tree);
    }
    size_t n = end - start;
    o.way.resize(n + 1);

    // The whole segment with rough prices, to plan the blocks on.
    Prices prices;
    FirstPrices(&o, &prices);
    std::vector<uint32_t> tokens;
    ShortestPath(&o, start, end, prices, &tokens);
    Histogram h;
    uint8_t literalLength[kLiteralSymbols], positionLength[kMaxPositionSymbols];
    // Each planned block, again with its own prices while it gets smaller.
    std::vector<uint32_t> trial;
    size_t blockStart = 0, position = start;
    for (size_t blockEnd : PlanBlocks(tokens)) {
        size_t from = position;
        for (size_t i = blockStart; i < blockEnd; i++)
            position += TokenLength(tokens[i]);
        std::vector<uint32_t> best(tokens.begin() + blockStart, tokens.begin() + blockEnd);
        CountTokens(best.data(), best.size(), &h);
        uint64_t bestBits = BlockBits(h, params, literalLength, positionLength);
        for (int pass = 0; pass < effort.optimalPasses; pass++) {
            PricesFromLengths(literalLength, positionLength, &prices);
            trial.clear();
            ShortestPath(&o, from, position, prices, &trial);
            CountTokens(trial.data(), trial.size(), &h);
            uint8_t trialLiteral[kLiteralSymbols], trialPosition[kMaxPositionSymbols];
            uint64_t bits = BlockBits(h, params, trialLiteral, trialPosition);
            if (bits >= bestBits || trial.size() > kMaxBlockCodes)
                break;
            best.swap(trial);
            bestBits = bits;
            memcpy(literalLength, trialLiteral, sizeof literalLength);
            memcpy(positionLength, trialPosition, sizeof positionLength);
        }
        CountTokens(best.data(), best.size(), &h);
        WriteBlock(w, best.data(), h, params);
        blockStart = blockEnd;
    }
}

} // namespace lzh
