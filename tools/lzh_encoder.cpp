// Packer for -lh5- / -lh6-. The parse is a hash-chain LZ77 with one step of
// lazy evaluation; its tokens are gathered in chunks, and a chunk joins the
// current block unless a code of its own would pay for the extra block
// header. Each block is written with Huffman codes built from its own counts.
#include "tools/lzh_encoder.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/lzh_parts.h"

using namespace lzh;

namespace lzh
{

void AddHistogram(Histogram *into, const Histogram &from)
{
    for (int i = 0; i < kLiteralSymbols; i++)
        into->literal[i] += from.literal[i];
    for (int i = 0; i < kMaxPositionSymbols; i++)
        into->position[i] += from.position[i];
    into->codes += from.codes;
}

namespace
{

// log2 within about 0.005: the estimates below only compare block plans.
inline float RoughLog2(float x)
{
    uint32_t bits;
    memcpy(&bits, &x, 4);
    float exponent = (float)((int)(bits >> 23) - 127);
    bits = (bits & 0x007FFFFF) | 0x3F800000;
    float m; // the mantissa, 1 <= m < 2
    memcpy(&m, &bits, 4);
    return exponent + (-0.34484843f * m + 2.02466578f) * m - 0.67487759f;
}

// Bits of an ideal code for the counts a[i] + b[i] (b may be null), plus a
// rough price for writing that code's lengths into the block header.
float EntropyBits(const uint32_t *a, const uint32_t *b, int count, float pricePerSymbol)
{
    float total = 0, sum = 0;
    int used = 0;
    for (int i = 0; i < count; i++) {
        uint32_t f = a[i] + (b ? b[i] : 0);
        if (f == 0)
            continue;
        used++;
        total += (float)f;
        sum += (float)f * RoughLog2((float)f);
    }
    if (used < 2)
        return 0;
    return total * RoughLog2(total) - sum + (float)used * pricePerSymbol;
}

} // namespace

// The block header's fixed fields, then the two codes.
float EstimateBlockBits(const Histogram &h, const Histogram *more)
{
    return 40 + EntropyBits(h.literal, more ? more->literal : nullptr, kLiteralSymbols, 4.0f) +
           EntropyBits(h.position, more ? more->position : nullptr, kMaxPositionSymbols, 3.5f);
}

} // namespace lzh

namespace
{

// ---------------------------------------------------------------------------
// The packer: parse, gather, cut into blocks.

struct Packer {
    BitWriter writer;
    const LzhMethodParams *params;
    uint32_t *tokens; // the open block's tokens, then the chunk's (room for
                      // kMaxBlockCodes + kChunkCodes)
    uint32_t tokenCount;
    Histogram block;              // counts of the open block
    Histogram chunk;              // counts of the chunk being gathered
    float blockBits;              // estimate for `block`
};

void EmitBlock(Packer *pk)
{
    if (pk->block.codes == 0)
        return;
    WriteBlock(&pk->writer, pk->tokens, pk->block, *pk->params);
    pk->tokenCount -= pk->block.codes;
    memmove(pk->tokens, pk->tokens + pk->block.codes, pk->tokenCount * sizeof *pk->tokens);
    memset(&pk->block, 0, sizeof pk->block);
    pk->blockBits = 0;
}

// The chunk joins the open block unless two codes cost less than one.
void CloseChunk(Packer *pk)
{
    if (pk->chunk.codes == 0)
        return;
    float chunkBits = EstimateBlockBits(pk->chunk);
    if (pk->block.codes != 0) {
        float joinedBits = EstimateBlockBits(pk->block, &pk->chunk);
        if (pk->block.codes + pk->chunk.codes > kMaxBlockCodes ||
            pk->blockBits + chunkBits < joinedBits) {
            EmitBlock(pk);
        } else {
            AddHistogram(&pk->block, pk->chunk);
            pk->blockBits = joinedBits;
            memset(&pk->chunk, 0, sizeof pk->chunk);
            return;
        }
    }
    pk->block = pk->chunk;
    pk->blockBits = chunkBits;
    memset(&pk->chunk, 0, sizeof pk->chunk);
}

inline void CountToken(Packer *pk)
{
    if (++pk->chunk.codes == kChunkCodes)
        CloseChunk(pk);
}

inline void EmitLiteral(Packer *pk, uint8_t c)
{
    pk->tokens[pk->tokenCount++] = LiteralToken(c);
    pk->chunk.literal[c]++;
    CountToken(pk);
}

inline void EmitMatch(Packer *pk, int length, uint32_t distance)
{
    uint32_t token = MatchToken(length, distance);
    pk->tokens[pk->tokenCount++] = token;
    pk->chunk.literal[TokenSymbol(token)]++;
    pk->chunk.position[PositionSymbol(distance - 1)]++;
    CountToken(pk);
}

} // namespace

LzhEffort DefaultLzhEffort(const LzhMethodParams &params)
{
    // Chosen on source text and programs, for speed at a size still below
    // other packers': the larger dictionary needs the deeper search to stay
    // ahead. A held match of goodLength or more leaves the next position a
    // quarter of the search; it rarely loses to a longer one.
    LzhEffort e;
    bool large = params.dictionaryBits > 13;
    e.maxChain = large ? 20 : 12;
    e.lazyLimit = 32;
    e.goodLength = large ? 12 : 8;
    e.farLength3 = large ? 8192 : 4096;
    e.optimalPasses = 0;
    return e;
}

LzhEffort BestLzhEffort(const LzhMethodParams &params)
{
    LzhEffort e = DefaultLzhEffort(params);
    e.maxChain = 64;   // nodes of the binary tree visited per position
    e.lazyLimit = 128; // a match this long is taken whole
    e.optimalPasses = 3;
    return e;
}

namespace
{

// Input is packed in segments of this size, each parsed on its own with the
// dictionary primed from the bytes before it, so that segments can be packed
// at the same time. The output depends on this size alone, never on how
// many threads there are. Each segment costs a block header and a priming
// pass over one dictionary.
enum { kSegmentBytes = 1 << 20 };

struct PackedSegment {
    std::vector<uint8_t> bytes;
    uint64_t bits; // valid bits in `bytes`, the last byte padded
};

// The lazy parse of data[start .. end - 1] into pk's blocks, with f's
// dictionary primed from the bytes before start.
void ParseSegment(const uint8_t *data, size_t start, size_t end, const LzhMethodParams &params,
                  const LzhEffort &effort, std::vector<uint32_t> *tables, Packer *pkp)
{
    Packer &pk = *pkp;
    MatchFinder f;
    f.data = data;
    f.size = end;
    f.dictionary = 1u << params.dictionaryBits;
    f.ringMask = 2 * f.dictionary - 1;
    tables->assign((1u << kHashBits) + (1u << kNearBits) + 2 * (size_t)f.dictionary, 0);
    f.head = tables->data();
    f.near3 = f.head + (1u << kHashBits);
    f.link = f.near3 + (1u << kNearBits);
    size_t primed = start > f.dictionary ? start - f.dictionary : 0;
    if (start + 4 <= end) {
        InsertRun(&f, primed, start);
        primed = start;
    }
    for (; primed < start && primed + 3 <= end; primed++)
        InsertPosition(&f, primed);

    size_t pos = start;
    int heldLength = 0;
    uint32_t heldDistance = 0;
    bool heldByte = false; // data[pos - 1] is not yet emitted
    while (pos < end) {
        int length = 0;
        uint32_t distance = 0;
        if (pos + kMinMatch <= end) {
            Candidates c = InsertPosition(&f, pos);
            if ((c.chain != 0 || c.near != 0) && heldLength < effort.lazyLimit) {
                int tries =
                    heldLength >= effort.goodLength ? effort.maxChain >> 2 : effort.maxChain;
                int beat = heldLength > kMinMatch - 1 ? heldLength : kMinMatch - 1;
                length =
                    LongestMatch(&f, pos, c, beat, tries, (uint32_t)effort.farLength3, &distance);
                if (length == kMinMatch && distance > (uint32_t)effort.farLength3)
                    length = 0;
            }
        }
        if (heldLength >= kMinMatch && length <= heldLength) {
            EmitMatch(&pk, heldLength, heldDistance);
            size_t matchEnd = pos - 1 + heldLength;
            size_t hashEnd = std::min(matchEnd, end - kMinMatch + 1);
            size_t q = std::max(pos + 1, std::min(hashEnd, end - 3));
            InsertRun(&f, pos + 1, q);
            for (; q < hashEnd; q++)
                InsertPosition(&f, q);
            pos = matchEnd;
            heldLength = 0;
            heldByte = false;
        } else {
            if (heldByte)
                EmitLiteral(&pk, data[pos - 1]);
            heldByte = true;
            heldLength = length;
            heldDistance = distance;
            pos++;
        }
    }
    if (heldByte)
        EmitLiteral(&pk, data[end - 1]);
    CloseChunk(&pk);
    EmitBlock(&pk);
}

// What packing a segment needs besides its result, kept by each thread from
// one segment to the next: the match finder's tables (cleared for each
// segment), the tokens of the open block and the bits written so far.
struct SegmentScratch {
    std::vector<uint32_t> tables;
    std::vector<uint32_t> tokens;
    std::vector<uint8_t> bits;
};

// One step of lazy evaluation: a match found at pos is held back while
// pos + 1 is tried; if that one is longer, pos goes out as a literal.
// Matches reach back before `start` but end by `end`.
void PackSegment(const uint8_t *data, size_t start, size_t end, const LzhMethodParams &params,
                 const LzhEffort &effort, PackedSegment *out)
{
    static thread_local SegmentScratch scratch;
    BitWriter bits = {&scratch.bits, 0, 0, 0};
    if (effort.optimalPasses > 0) {
        PackSegmentOptimal(data, start, end, params, effort, &bits);
    } else {
        Packer pk;
        memset(&pk.block, 0, sizeof pk.block);
        memset(&pk.chunk, 0, sizeof pk.chunk);
        pk.writer = bits;
        pk.params = &params;
        pk.blockBits = 0;
        scratch.tokens.resize(kMaxBlockCodes + kChunkCodes);
        pk.tokens = scratch.tokens.data();
        pk.tokenCount = 0;
        ParseSegment(data, start, end, params, effort, &scratch.tables, &pk);
        bits = pk.writer;
    }
    out->bits = bits.used * 8 + (uint64_t)bits.count;
    size_t bytes = FinishBits(&bits);
    out->bytes.assign(scratch.bits.data(), scratch.bits.data() + bytes);
}

// Appends a segment's bits, which need not start on a byte boundary.
void AppendSegment(BitWriter *w, const PackedSegment &segment)
{
    size_t whole = (size_t)(segment.bits / 8);
    const uint8_t *b = segment.bytes.data();
    ReserveBits(w, whole + 8);
    size_t i = 0;
    if (w->count == 0) {
        memcpy(w->out->data() + w->used, b, whole);
        w->used += whole;
        i = whole;
    }
    for (; i + 4 <= whole; i += 4) {
        uint32_t word;
        memcpy(&word, b + i, 4);
        PutBits(w, 32, __builtin_bswap32(word));
    }
    for (; i < whole; i++)
        PutBits(w, 8, b[i]);
    int rest = (int)(segment.bits % 8);
    if (rest)
        PutBits(w, rest, (uint32_t)b[whole] >> (8 - rest));
}

// Segments are appended in order as they come in, and none is packed more
// than this many ahead of the next to append: the packed segments waiting
// stay within that many times a segment's packed size.
enum { kSegmentsAhead = 8 };

struct SegmentJob {
    const uint8_t *data;
    size_t size;
    const LzhMethodParams *params;
    const LzhEffort *effort;
    std::vector<PackedSegment> segments;
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::condition_variable segmentDone; // a segment was packed
    std::condition_variable room;        // a segment was appended
    std::vector<char> packed;            // guarded by `lock`, one per segment
    size_t appended = 0;                 // guarded by `lock`
};

void PackSegments(SegmentJob *job)
{
    for (;;) {
        size_t k = job->next.fetch_add(1);
        if (k >= job->segments.size())
            return;
        {
            std::unique_lock<std::mutex> wait(job->lock);
            job->room.wait(wait, [&] { return k < job->appended + kSegmentsAhead; });
        }
        size_t start = k * (size_t)kSegmentBytes;
        size_t end = std::min(job->size, start + (size_t)kSegmentBytes);
        PackSegment(job->data, start, end, *job->params, *job->effort, &job->segments[k]);
        std::lock_guard<std::mutex> hold(job->lock);
        job->packed[k] = 1;
        job->segmentDone.notify_one();
    }
}

} // namespace

void PackLzh(const uint8_t *data, size_t size, const LzhMethodParams &params,
             const LzhEffort &effort, std::vector<uint8_t> *out, LzhProgressFn progress,
             void *progressContext)
{
    if (size == 0)
        return;
    SegmentJob job;
    job.data = data;
    job.size = size;
    job.params = &params;
    job.effort = &effort;
    size_t count = (size + kSegmentBytes - 1) / kSegmentBytes;
    job.segments.resize(count);
    job.packed.assign(count, 0);
    BitWriter w = {out, out->size(), 0, 0};
    if (count == 1) {
        PackSegments(&job);
        AppendSegment(&w, job.segments[0]);
    } else {
        unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::thread> workers;
        for (size_t i = 0; i < std::min<size_t>(count, cores); i++)
            workers.emplace_back(PackSegments, &job);
        // The calling thread appends each segment once it and those before
        // it are packed, while the workers pack the next ones.
        std::unique_lock<std::mutex> wait(job.lock);
        for (size_t k = 0; k < count; k++) {
            job.segmentDone.wait(wait, [&] { return job.packed[k] != 0; });
            wait.unlock();
            AppendSegment(&w, job.segments[k]);
            job.segments[k].bytes = std::vector<uint8_t>();
            if (progress)
                progress(progressContext, std::min(size, (k + 1) * (size_t)kSegmentBytes));
            wait.lock();
            job.appended = k + 1;
            job.room.notify_all();
        }
        wait.unlock();
        for (std::thread &t : workers)
            t.join();
    }
    FlushBits(&w);
    if (progress)
        progress(progressContext, size);
}
