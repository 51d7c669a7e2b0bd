// The static Huffman decoder carves a block's tables from a fixed pool
// without a room test: the three codes' worst cases must fit it. A model of
// the entries a code takes, checked against the real builder, finds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "decode/decode.h"

namespace {

typedef std::vector<int> Counts;  // codes per length 1..maxLength; [0] unused

// A complete code of at most n symbols; choose(k, left, syms, low, high)
// picks the count of length k within what leaves a code possible, with
// `left` k-bit patterns free and `syms` symbols left.
template <class Choose> Counts MakeCode(int maxLength, int n, Choose choose)
{
    Counts count(maxLength + 1, 0);
    for (int k = 1, left = 2, syms = n; left > 0; left = 2 * (left - count[k]), k++) {
        int low = k == maxLength ? left : std::max(0, 2 * left - syms);
        syms -= count[k] = choose(k, left, syms, low, std::min(left, syms));
    }
    return count;
}

// Canonical codes fill the code space in order. The root takes 2^rootBits
// entries; each w-bit prefix (w = rootBits, 2 * rootBits) of longer codes is
// a sub-table min(rootBits, m - w) bits wide, m the length that fills it.
struct Model {
    int maxLength, symbols, rootBits;
    std::vector<int16_t> memo;  // Worst(k, left, syms); -2: not yet known

    // The sub-table entries filled by c codes of length k out of `left`.
    int Step(int k, int left, int c) const
    {
        int entries = 0;
        for (int w = rootBits; w < k; w += rootBits) {
            int shift = k - w, round = (1 << shift) - 1;
            entries += (((left + round) >> shift) - ((left - c + round) >> shift)) << std::min(rootBits, shift);
        }
        return entries;
    }
    int Entries(const Counts &count) const
    {
        int entries = 1 << rootBits;
        for (int k = 1, left = 2; left > 0; left = 2 * (left - count[k]), k++)
            entries += Step(k, left, count[k]);
        return entries;
    }

    // The most sub-table entries from length k on, with c codes of length
    // k; -1 if no code is possible.
    int Worst(int k, int left, int syms, int c)
    {
        int rest = c == left ? 0 : k < maxLength ? Worst(k + 1, 2 * (left - c), syms - c) : -1;
        return rest < 0 ? -1 : Step(k, left, c) + rest;
    }
    int Worst(int k, int left, int syms)
    {
        memo.resize((size_t)(maxLength + 1) * (symbols + 1) * (symbols + 1), -2);
        size_t at = ((size_t)k * (symbols + 1) + left) * (symbols + 1) + syms;
        if (memo[at] == -2) {
            int best = -1;
            for (int c = std::max(0, 2 * left - syms); c <= std::min(left, syms); c++)
                best = std::max(best, Worst(k, left, syms, c));
            memo[at] = (int16_t)best;
        }
        return memo[at];
    }
    int WorstCode(int n, Counts *count)
    {
        *count = MakeCode(maxLength, n, [&](int k, int left, int syms, int c, int) {
            while (Worst(k, left, syms, c) != Worst(k, left, syms))
                c++;
            return c;
        });
        return (1 << rootBits) + Worst(1, 2, n);
    }
};

// The real builder's entries for these counts, scattered over the symbols.
int Build(const Counts &count, int symbols, int rootBits, std::mt19937 &random)
{
    std::vector<uint8_t> length(symbols, 0);
    for (size_t k = 1, s = 0; k < count.size(); k++)
        for (int i = 0; i < count[k]; i++)
            length[s++] = (uint8_t)k;
    std::shuffle(length.begin(), length.end(), random);
    return StaticHuffmanTableEntries(length.data(), symbols, rootBits);
}

// Every complete code, by its counts, from length k on.
template <class Visit> void EachCode(Counts &count, int k, int left, int syms, const Visit &visit)
{
    for (int c = std::max(0, 2 * left - syms); c <= std::min(left, syms); c++) {
        count[k] = c;
        if (c == left)
            visit(count);
        else if (k + 1 < (int)count.size())
            EachCode(count, k + 1, 2 * (left - c), syms - c, visit);
    }
    count[k] = 0;
}

TEST(TablePool, ModelAndSearchHoldOnEverySmallCodeAndTheWorstCodesOfABlockFit)
{
    HuffmanPoolLayout layout = StaticHuffmanPoolLayout();
    std::mt19937 random(11);
    for (int rootBits : {7, 9}) {  // every code of up to 24 symbols: model, builder and search agree
        const int n = 24;
        Model model = {layout.maxCodeLength, n, rootBits, {}};
        std::vector<int> most(n + 1, 0);  // by the symbols a code has
        Counts count(layout.maxCodeLength + 1, 0);
        EachCode(count, 1, 2, n, [&](const Counts &code) {
            int entries = model.Entries(code), used = std::accumulate(code.begin(), code.end(), 0);
            ASSERT_EQ(Build(code, n, rootBits, random), entries);
            most[used] = std::max(most[used], entries);
        });
        for (int m = 2; m <= n; m++) {
            most[m] = std::max(most[m], most[m - 1]);
            EXPECT_EQ(model.WorstCode(m, &count), most[m]) << m << " symbols, root " << rootBits;
        }
    }
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int total = 0;
    for (int i = 0; i < 3; i++) {  // the block's three codes: their worst, and random codes below it
        int n = layout.symbols[i], rootBits = layout.rootBits[i];
        Model model = {layout.maxCodeLength, n, rootBits, {}};
        Counts count;
        int worst = model.WorstCode(n, &count);
        EXPECT_EQ(Build(count, n, rootBits, random), worst) << "code " << i;
        for (int round = 0; round < 300; round++) {  // the short codes rarer
            count = MakeCode(layout.maxCodeLength, n, [&](int, int, int, int low, int high) {
                return pick(low, pick(low, high));
            });
            int entries = model.Entries(count);
            ASSERT_EQ(Build(count, n, rootBits, random), entries) << "code " << i;
            EXPECT_LE(entries, worst);
        }
        for (int used : {0, 1})  // no code, and a one-symbol code, take the root alone
            EXPECT_EQ(Build({0, used}, n, rootBits, random), 1 << rootBits) << used << " symbols";
        total += worst;
    }
    EXPECT_LE(total, layout.poolSize);
}

}  // namespace
