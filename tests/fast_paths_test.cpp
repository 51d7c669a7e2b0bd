// The places where the decoders leave their fast runs for the careful
// operations, held against models of the byte-at-a-time definition: copies
// that overlap at every distance or run past the window's end, items that
// straddle a chunk's end at every bit offset, matches that end exactly at a
// block's or the member's end, and packed data cut inside a fast run.
//
// Expected output never comes from the decoders: it is the data that was
// packed, or what a plain model of the window says each item writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "platform/host.h"
#include "tools/lzh_encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Lcg {
    uint32_t state;
    uint32_t Next(uint32_t bound)
    {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    }
};

// ---- Copies inside the window.

TEST(FastCopy, ForwardCopyAtEveryOverlap)
{
    // Destination minus source from -24 (source ahead) to 24 (behind; 0 is
    // a copy onto itself), every length to 40: the bytes a one-at-a-time
    // forward copy leaves, and none touched outside the destination.
    for (int gap = -24; gap <= 24; gap++) {
        for (int count = 0; count <= 40; count++) {
            uint8_t expected[128], actual[128];
            for (int i = 0; i < 128; i++)
                expected[i] = actual[i] = (uint8_t)(i * 37 + 11);
            int to = 48, from = to - gap;
            for (int i = 0; i < count; i++)
                expected[to + i] = expected[from + i];
            CopyForward(actual + to, actual + from, count);
            EXPECT_EQ(memcmp(expected, actual, sizeof actual), 0)
                << "gap " << gap << ", count " << count;
        }
    }
}

TEST(FastCopy, MatchesWhoseSourcePassesTheWindowEnd)
{
    // Sources that start before index 0 continue from the window's end and
    // come back to its start; distances of 65,536 and more reach ahead of
    // the write position (65,536 onto itself). A match must end before the
    // block does, so the destination never wraps.
    Lcg lcg = {7};
    for (int i = 0; i < WINDOW_SIZE; i++)
        shared.window[i] = (uint8_t)lcg.Next(256);
    const int32_t positions[] = {0, 3, 17, 40000};
    const int32_t extraDistances[] = {65530, 65535, 65536, 65537, 65541, 131072, 131100};
    for (int32_t pos : positions) {
        std::vector<int32_t> distances;
        for (int32_t d = 1; d <= 24; d++)
            distances.push_back(d);
        for (int32_t d = pos > 8 ? pos - 8 : 25; d <= pos + 24; d++)
            distances.push_back(d);
        distances.insert(distances.end(), std::begin(extraDistances), std::end(extraDistances));
        for (int32_t distance : distances) {
            for (int32_t length : {1, 2, 3, 7, 8, 9, 24, 40}) {
                Bytes expected(shared.window, shared.window + WINDOW_SIZE);
                for (int32_t i = 0; i < length; i++)
                    expected[(size_t)(pos + i)] =
                        expected[(size_t)((pos - distance + i) & (WINDOW_SIZE - 1))];
                CopyMatchInBlock(pos, distance, length);
                ASSERT_EQ(memcmp(expected.data(), shared.window, WINDOW_SIZE), 0)
                    << "pos " << pos << ", distance " << distance << ", length " << length;
            }
        }
    }
}

// ---- Whole members through the frame and the dispatcher.

struct BitWriter {
    Bytes bytes;
    size_t bits = 0;
    void Put(uint32_t value, int n)
    {
        for (int i = n - 1; i >= 0; i--, bits++) {
            if (bits % 8 == 0)
                bytes.push_back(0);
            if ((value >> i) & 1)
                bytes.back() |= (uint8_t)(0x80 >> (bits % 8));
        }
    }
};

// The output window as the definition has it: byte p at index p mod
// 65,536, a match copied one byte at a time from `distance` behind, its
// source wrapping at the window's end. It starts from the window as the
// decoder will find it after its own initial fill.
struct WindowModel {
    Bytes ring, out;
    explicit WindowModel(const Bytes &initial) : ring(initial) {}
    uint32_t Pos() const { return (uint32_t)out.size() & (WINDOW_SIZE - 1); }
    void Literal(uint8_t c)
    {
        ring[Pos()] = c;
        out.push_back(c);
    }
    void Match(uint32_t distance, int length)
    {
        uint32_t from = (Pos() - distance) & (WINDOW_SIZE - 1);
        for (int i = 0; i < length; i++)
            Literal(ring[(from + (uint32_t)i) & (WINDOW_SIZE - 1)]);
    }
};

Bytes sunk;  // what the decoder's sink received

struct Outcome {
    int32_t exit;
    Bytes output;
};

class FastPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/corvane_fast_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        unlink((dir + "/packed").c_str());
        rmdir(dir.c_str());
    }

    HANDLE Open(const std::string &path, DWORD access, DWORD disposition)
    {
        char winPath[MAX_PATH];
        if (!HostPathFromUnix(path.c_str(), winPath, sizeof winPath))
            return INVALID_HANDLE_VALUE;
        return CreateFileA(winPath, access, FILE_SHARE_READ, 0, disposition, FILE_ATTRIBUTE_NORMAL, 0);
    }

    // Decodes `packed` as a member of `method` whose header carries the CRC
    // of `expected` (none when it is null).
    Outcome Decode(const char *method, const Bytes &packed, uint32_t originalSize,
                   const Bytes *expected)
    {
        // Bytes after the member's packed data must never be read.
        Bytes file = packed;
        file.insert(file.end(), {0xA5, 0x5A, 0xFF});
        std::ofstream(dir + "/packed", std::ios::binary)
            .write((const char *)file.data(), (std::streamsize)file.size());
        HANDLE in = Open(dir + "/packed", GENERIC_READ, OPEN_EXISTING);
        EXPECT_NE(in, INVALID_HANDLE_VALUE);
        archiveInput.archiveFile = in;
        archiveInput.archiveLimit = (int32_t)file.size();
        ResetArchiveInput();

        MemberHeader header;
        memset(&header, 0, sizeof header);
        header.method[0] = '-';
        memcpy(header.method + 1, method, 3);
        header.method[4] = '-';
        header.packedSize = (uint32_t)packed.size();
        header.originalSize = originalSize;
        header.dosDate = (uint16_t)((2020 - 1980) << 9 | 6 << 5 | 15);
        expectedCrc = expected ? Crc16(0, expected->data(), expected->size()) : 0xFFFFFFFF;
        Outcome o;
        o.exit = DecodeMember(&header, [](const uint8_t *bytes, int32_t count) {
            return sunk.insert(sunk.end(), bytes, bytes + count), 0;
        });
        o.output.swap(sunk);
        CloseHandle(in);
        // The packed data was read to its end and not a byte further.
        if (o.exit == Done) {
            EXPECT_EQ(archiveInput.readPosition, (int32_t)packed.size());
        }
        return o;
    }

    void ExpectDecodes(const char *method, const Bytes &packed, const Bytes &expected,
                       const std::string &what)
    {
        Outcome o = Decode(method, packed, (uint32_t)expected.size(), &expected);
        EXPECT_EQ(o.exit, Done) << what;
        EXPECT_TRUE(o.output == expected) << what << ": output differs";
    }

    std::string dir;
};

// An -lzs- member of `size` bytes after `lead` literals (each shifts every
// later item by 9 bits against the chunk ends), with matches of every
// length from every ring slot, often steered to end exactly on a block end
// and always at the member's end. The model starts from the window with
// the ring's spaces.
Bytes LzsMember(size_t size, int lead, uint32_t seed, Bytes *expected)
{
    Bytes initial(shared.window, shared.window + WINDOW_SIZE);
    std::fill(initial.end() - 2048, initial.end(), ' ');
    WindowModel model(initial);
    BitWriter w;
    Lcg lcg = {seed};
    while (model.out.size() < size) {
        size_t left = size - model.out.size();
        size_t toBlockEnd = WINDOW_SIZE - model.out.size() % WINDOW_SIZE;
        int length = 2 + (int)lcg.Next(16);
        bool steer = lead <= 0 && left >= 2 && left <= 17;
        if (steer)
            length = (int)left;
        else if (toBlockEnd >= 2 && toBlockEnd <= 17 && lcg.Next(2))
            length = (int)toBlockEnd;
        if (!steer && (lead > 0 || (size_t)length > left || lcg.Next(3) == 0)) {
            uint8_t c = (uint8_t)lcg.Next(256);
            w.Put(1, 1);
            w.Put(c, 8);
            model.Literal(c);
            lead--;
            continue;
        }
        uint32_t slot = lcg.Next(2048);
        w.Put(0, 1);
        w.Put(slot, 11);
        w.Put((uint32_t)length - 2, 4);
        model.Match((model.Pos() - slot - 17) & 0x7FF, length);
    }
    *expected = model.out;
    return w.bytes;
}

// An -lz5- member: flag bytes of eight items, literals and two-byte
// matches, steered like LzsMember; `lead` literals shift the chunk ends
// against the items.
Bytes Lz5Member(size_t size, int lead, uint32_t seed, Bytes *expected)
{
    Bytes initial(shared.window, shared.window + WINDOW_SIZE);
    uint8_t *ring = initial.data() + WINDOW_SIZE - 4096;
    for (int t = 0; t < 4096; t++) {
        int b = t - 18;
        ring[t] = t < 18 ? ' ' : b < 3328 ? (uint8_t)(b / 13) : b < 3584 ? (uint8_t)(b - 3328)
                : b < 3840 ? (uint8_t)(255 - (b - 3584)) : b < 3968 ? 0 : ' ';
    }
    WindowModel model(initial);
    Bytes packed;
    Lcg lcg = {seed};
    size_t flagAt = 0;
    int item = 0;
    while (model.out.size() < size) {
        if (item % 8 == 0) {
            flagAt = packed.size();
            packed.push_back(0);
        }
        size_t left = size - model.out.size();
        size_t toBlockEnd = WINDOW_SIZE - model.out.size() % WINDOW_SIZE;
        int length = 3 + (int)lcg.Next(16);
        bool steer = lead <= 0 && left >= 3 && left <= 18;
        if (steer)
            length = (int)left;
        else if (toBlockEnd >= 3 && toBlockEnd <= 18 && lcg.Next(2))
            length = (int)toBlockEnd;
        if (!steer && (lead > 0 || (size_t)length > left || lcg.Next(3) == 0)) {
            uint8_t c = (uint8_t)lcg.Next(256);
            packed[flagAt] |= (uint8_t)(1 << (item % 8));
            packed.push_back(c);
            model.Literal(c);
            lead--;
        } else {
            uint32_t slot = lcg.Next(4096);
            packed.push_back((uint8_t)slot);
            packed.push_back((uint8_t)(((slot >> 4) & 0xF0) | (uint32_t)(length - 3)));
            model.Match((model.Pos() - slot - 18) & 0xFFF, length);
        }
        item++;
    }
    *expected = model.out;
    return packed;
}

TEST_F(FastPathTest, LarcItemsAcrossChunkAndBlockEnds)
{
    // Three blocks and more than three chunks each; every lead shifts the
    // items against the chunk ends, -lzs- by 9 bits and -lz5- by one byte
    // per literal, and the matches land on the block ends in other ways.
    for (int lead = 0; lead < 9; lead++) {
        Bytes expected;
        Bytes packed = LzsMember(3 * WINDOW_SIZE + 100 + (size_t)lead, lead, 11u + (uint32_t)lead,
                                 &expected);
        ASSERT_GT(packed.size(), 3u * CHUNK_SIZE);
        ExpectDecodes("lzs", packed, expected, "lzs lead " + std::to_string(lead));

        packed = Lz5Member(3 * WINDOW_SIZE + 100 + (size_t)lead, lead, 23u + (uint32_t)lead, &expected);
        ASSERT_GT(packed.size(), 3u * CHUNK_SIZE);
        ExpectDecodes("lz5", packed, expected, "lz5 lead " + std::to_string(lead));
    }
    // Members that end exactly at a block end, after a match that does.
    for (uint32_t seed = 1; seed <= 4; seed++) {
        Bytes expected;
        Bytes packed = LzsMember(2 * WINDOW_SIZE, 0, seed, &expected);
        ExpectDecodes("lzs", packed, expected, "lzs ending at a block end");
        packed = Lz5Member(WINDOW_SIZE, 0, seed, &expected);
        ExpectDecodes("lz5", packed, expected, "lz5 ending at a block end");
    }
}

// One -lh5- block of `items` items made of the longest codes there are,
// so that every item takes as many bits as an item can: a literal and a
// match length with 16-bit codes, a position with a 13-bit code and 12
// extra bits (41 bits and 256 bytes of output per match). `lead` items of
// the 1-bit literal first shift them against the chunk ends.
Bytes LongCodeMember(int items, int lead, uint32_t seed, Bytes *expected)
{
    enum { LONG_LITERAL = 'z', SHORT_LITERAL = 'x', LONG_MATCH = 509 };
    // Literal/length code: a comb of lengths 1, 2, ..., 15, 16, 16.
    uint8_t c[510] = {0};
    c[SHORT_LITERAL] = 1;
    for (int len = 2; len <= 15; len++)
        c[len - 2] = (uint8_t)len;  // literals 0..13
    c[LONG_LITERAL] = 16;
    c[LONG_MATCH] = 16;
    // Position code: lengths 1..12 for symbols 0..11, 13 for 12 and 13.
    uint8_t p[14];
    for (int i = 0; i < 14; i++)
        p[i] = (uint8_t)(i < 12 ? i + 1 : 13);
    // Code-length code: 13 lengths of 4 bits, 6 of 5.
    uint8_t t[19];
    for (int i = 0; i < 19; i++)
        t[i] = (uint8_t)(i < 13 ? 4 : 5);
    uint16_t cCode[510], pCode[14], tCode[19];
    BuildCanonicalCodes(c, 510, cCode);
    BuildCanonicalCodes(p, 14, pCode);
    BuildCanonicalCodes(t, 19, tCode);

    BitWriter w;
    w.Put((uint32_t)(lead + items), 16);
    auto putLengths = [&w](const uint8_t *len, int n, int countBits, bool zeroRunField) {
        w.Put((uint32_t)n, countBits);
        for (int i = 0; i < n; i++) {
            w.Put(len[i] < 7 ? len[i] : 7, 3);
            for (int k = 7; k < len[i]; k++)
                w.Put(1, 1);
            if (len[i] >= 7)
                w.Put(0, 1);
            if (i == 2 && zeroRunField)
                w.Put(0, 2);
        }
    };
    putLengths(t, 19, 5, true);
    w.Put(510, 9);
    for (int i = 0; i < 510;) {
        int run = 0;
        while (i + run < 510 && c[i + run] == 0 && run < 531)
            run++;
        if (run >= 20) {
            w.Put(tCode[2], t[2]);
            w.Put((uint32_t)run - 20, 9);
        } else if (run >= 3) {
            run = run > 18 ? 18 : run;
            w.Put(tCode[1], t[1]);
            w.Put((uint32_t)run - 3, 4);
        } else if (run >= 1) {
            run = 1;
            w.Put(tCode[0], t[0]);
        } else {
            w.Put(tCode[c[i] + 2], t[c[i] + 2]);
            run = 1;
        }
        i += run;
    }
    putLengths(p, 14, 4, false);

    WindowModel model(Bytes(WINDOW_SIZE, ' '));
    Lcg lcg = {seed};
    for (int i = 0; i < lead + items; i++) {
        if (i < lead) {
            w.Put(cCode[SHORT_LITERAL], 1);
            model.Literal(SHORT_LITERAL);
        } else if (lcg.Next(4) == 0) {
            w.Put(cCode[LONG_LITERAL], 16);
            model.Literal(LONG_LITERAL);
        } else {
            uint32_t extra = lcg.Next(1 << 12);
            w.Put(cCode[LONG_MATCH], 16);
            w.Put(pCode[13], 13);
            w.Put(extra, 12);
            model.Match((1u << 12) + extra + 1, LONG_MATCH - 253);
        }
    }
    *expected = model.out;
    return w.bytes;
}

TEST_F(FastPathTest, LongestCodesAcrossChunkEnds)
{
    // Thousands of items of 41 bits each over several chunks: a fast run
    // that misjudged the bytes an item can take would read past a chunk.
    for (int lead = 0; lead < 8; lead++) {
        Bytes expected;
        Bytes packed = LongCodeMember(4500, lead, 31u + (uint32_t)lead, &expected);
        ASSERT_GT(packed.size(), 2u * CHUNK_SIZE);
        ExpectDecodes("lh5", packed, expected, "lead " + std::to_string(lead));
    }
}

// Data whose -lh5-/-lh6- matches have every short distance, cross block
// ends and copy from across the window's end.
std::vector<Bytes> StaticHuffmanInputs()
{
    std::vector<Bytes> inputs;
    inputs.push_back(Bytes(200000, 'a'));
    Lcg lcg = {5};
    for (size_t period = 2; period <= 9; period++) {
        Bytes pattern;
        for (size_t i = 0; i < period; i++)
            pattern.push_back((uint8_t)lcg.Next(256));
        Bytes data;
        while (data.size() < WINDOW_SIZE + 3000 + period)
            data.insert(data.end(), pattern.begin(), pattern.end());
        inputs.push_back(data);
    }
    // Words and runs, with repeats from up to 32 KiB back.
    for (size_t size : {65535, 65536, 65537, 200003}) {
        Bytes data;
        while (data.size() < size) {
            uint32_t kind = lcg.Next(10);
            if (kind < 6) {
                for (uint32_t n = 2 + lcg.Next(7); n > 0; n--)
                    data.push_back((uint8_t)('a' + lcg.Next(6)));
                data.push_back(' ');
            } else if (kind < 7) {
                data.insert(data.end(), 1 + lcg.Next(300), (uint8_t)lcg.Next(256));
            } else if (kind < 9 && data.size() > 40) {
                size_t from = data.size() - 1 - lcg.Next((uint32_t)std::min<size_t>(data.size() - 1, 32000));
                size_t n = 3 + lcg.Next(260);
                for (size_t i = 0; i < n; i++)
                    data.push_back(data[from + i]);
            } else {
                data.push_back((uint8_t)lcg.Next(256));
            }
        }
        data.resize(size);
        inputs.push_back(data);
    }
    return inputs;
}

TEST_F(FastPathTest, StaticHuffmanRoundTripsAndCutsInsideFastRuns)
{
    const LzhMethodParams *params[] = {&kLh5Params, &kLh6Params};
    const char *methods[] = {"lh5", "lh6"};
    for (int m = 0; m < 2; m++) {
        for (const Bytes &data : StaticHuffmanInputs()) {
            Bytes packed;
            PackLzh(data.data(), data.size(), *params[m], DefaultLzhEffort(*params[m]), &packed);
            std::string what = std::string(methods[m]) + ", " + std::to_string(data.size()) + " bytes";
            ExpectDecodes(methods[m], packed, data, what);

            // Cut short, the member ends as damage; the blocks written before
            // are the data's own, whole blocks only.
            for (size_t cut = 1; cut < packed.size(); cut += 1 + packed.size() / 7) {
                Outcome o = Decode(methods[m], Bytes(packed.begin(), packed.begin() + (long)cut),
                                   (uint32_t)data.size(), &data);
                EXPECT_EQ(o.exit, Damaged) << what << ", cut at " << cut;
                EXPECT_EQ(o.output.size() % WINDOW_SIZE, 0u) << what << ", cut at " << cut;
                EXPECT_TRUE(std::equal(o.output.begin(), o.output.end(), data.begin()))
                    << what << ", cut at " << cut;
            }
        }
    }
}

} // namespace
