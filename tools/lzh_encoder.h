// The packer of the static-Huffman LZ methods -lh5- and -lh6- (host tool
// only): an LZ77 parse with lazy matching, cut into blocks that each carry
// their own canonical Huffman codes.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

struct LzhMethodParams {
    int dictionaryBits; // matches reach back at most 2^dictionaryBits bytes
    int positionBits;   // width of the position code's count field
};

// -lh5-: 8 KiB dictionary, 14 position symbols.
constexpr LzhMethodParams kLh5Params = {13, 4};
// -lh6-: 32 KiB dictionary. Other readers size their position code for
// this dictionary and refuse matches from further back, so the position
// symbols stop at 15 although our own decoder would take 16.
constexpr LzhMethodParams kLh6Params = {15, 5};

// How hard the match finder looks, and how the parse is chosen.
struct LzhEffort {
    int maxChain;      // candidates tried per position
    int lazyLimit;     // a match this long is taken without looking one byte on
    int goodLength;    // past this length the chain is cut to a quarter
    int farLength3;    // a match of length 3 further back than this is no gain
    int optimalPasses; // 0: the lazy parse; else the cheapest parse, at most
                       // this many times per block with codes from the last
};

// Fast: the lazy parse over hash chains.
LzhEffort DefaultLzhEffort(const LzhMethodParams &params);
// Small: the parse of least cost over every match a binary tree offers.
LzhEffort BestLzhEffort(const LzhMethodParams &params);

// Called now and then with the number of input bytes parsed so far.
typedef void (*LzhProgressFn)(void *context, uint64_t bytesDone);

// Appends the packed form of data[0 .. size - 1] to *out. Empty input
// packs to nothing. Inputs above 1 MiB are packed in 1 MiB segments on all
// cores; the bytes written never depend on the number of cores. `progress`
// is called on the calling thread only.
//
// Memory besides data and *out, for the default effort: each packing thread
// keeps about 2.5 MiB (match finder tables of 0.6 MiB at most, the tokens of
// a block, the bits of a segment), and at most 8 packed segments plus one
// per thread wait to be appended, each about as large as its input at worst.
// That is under 25 MiB on 2 cores, whatever the input's size.
void PackLzh(const uint8_t *data, size_t size, const LzhMethodParams &params,
             const LzhEffort &effort, std::vector<uint8_t> *out, LzhProgressFn progress = nullptr,
             void *progressContext = nullptr);

// Code lengths for freq[0 .. count - 1] of at most maxLength bits whose
// Kraft sum is exactly 1 when two or more symbols occur. Unused symbols get
// 0; a lone symbol gets length 1 (callers write such a code as a constant).
void BuildCodeLengths(const uint32_t *freq, int count, int maxLength, uint8_t *lengths);

// Canonical codes: ordered by length, then by symbol; the first code is all
// zero bits, and each next one is the previous plus one, shifted left when
// the length grows.
void BuildCanonicalCodes(const uint8_t *lengths, int count, uint16_t *codes);

