// The decoders through the real frame and dispatcher, on bits written by hand
// or by small models of the encoders, checked against a plain window model.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "platform/host.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Most significant bit first, as the bit input reads; zero fill at the end.
struct BitWriter {
    Bytes bytes;
    size_t bits = 0;
    BitWriter &Put(uint32_t value, int n)
    {
        for (int i = n - 1; i >= 0; i--, bits++) {
            if (bits % 8 == 0)
                bytes.push_back(0);
            bytes.back() |= (uint8_t)(((value >> i) & 1) << (7 - bits % 8));
        }
        return *this;
    }
    BitWriter &Text(const char *text)  // "1100 0110"
    {
        for (; *text; text++)
            if (*text != ' ')
                Put(*text == '1', 1);
        return *this;
    }
    // A code length: 3 bits; from 7 on, a 1-bit per unit more and a 0-bit.
    BitWriter &Length(int len)
    {
        Put((uint32_t)(len < 7 ? len : 7), 3);
        for (int i = 7; i <= len; i++)
            Put(i < len, 1);
        return *this;
    }
    // A code-length (zeroRun: with the 2-bit field after the third length,
    // written as 0) or position code by its lengths.
    BitWriter &Pt(int countBits, const std::vector<int> &lengths, bool zeroRun)
    {
        Put((uint32_t)lengths.size(), countBits);
        for (size_t i = 0; i < lengths.size(); i++)
            Length(lengths[i]).Put(0, zeroRun && i == 2 ? 2 : 0);
        return *this;
    }
    // A block whose three codes are constants.
    BitWriter &Constants(uint32_t count, uint32_t lengthSymbol, uint32_t literal, uint32_t position,
                         int pbit = 4)
    {
        Put(count, 16).Put(0, 5).Put(lengthSymbol, 5).Put(0, 9).Put(literal, 9);
        return Put(0, pbit).Put(position, pbit);
    }
    // A block header: code-length code {2: "0" (zero run of 20..), 3: "1"
    // (length 1)}, literal code {symbol: "0"}, position constant 0.
    BitWriter &OneBitLiteral(uint32_t count, int symbol)
    {
        Put(count, 16).Pt(5, {0, 0, 1, 1}, true).Put((uint32_t)symbol + 1, 9);
        return Text("0").Put((uint32_t)symbol - 20, 9).Text("1").Put(0, 8);
    }
};

Bytes Str(const char *s) { return Bytes(s, s + strlen(s)); }

struct Lcg {
    uint32_t state;
    uint32_t Next(uint32_t bound) { return ((state = state * 1103515245u + 12345u) >> 8) % bound; }
};

// Byte p at p mod 65,536; a match copied a byte at a time from `distance`
// behind, wrapping. Starts as the decoder's initial fill leaves the window.
struct WindowModel {
    Bytes ring, out;
    explicit WindowModel(const Bytes &initial = Bytes(WINDOW_SIZE, ' ')) : ring(initial) {}
    uint32_t Pos() const { return (uint32_t)out.size() & (WINDOW_SIZE - 1); }
    WindowModel &Literal(uint8_t c) { return ring[Pos()] = c, out.push_back(c), *this; }
    WindowModel &Match(uint32_t distance, int length)
    {
        uint32_t from = (Pos() - distance) & (WINDOW_SIZE - 1);
        for (int i = 0; i < length; i++)
            Literal(ring[(from + (uint32_t)i) & (WINDOW_SIZE - 1)]);
        return *this;
    }
};

Bytes sunk;  // the decoder's output
int32_t Collect(const uint8_t *bytes, int32_t count) { return sunk.insert(sunk.end(), bytes, bytes + count), 0; }

class DecoderTest : public ::testing::Test {
protected:
    std::string path = "/tmp/corvane_decoders_" + std::to_string(getpid());
    void TearDown() override { unlink(path.c_str()); }

    // With `expected`, the header carries its CRC.
    int32_t Decode(const char *method, const Bytes &packed, uint32_t originalSize,
                   const Bytes *expected = nullptr)
    {
        Bytes file = packed;
        file.insert(file.end(), {0xA5, 0x5A, 0xFF});  // never to be read
        std::ofstream(path, std::ios::binary).write((const char *)file.data(), (std::streamsize)file.size());
        char winPath[MAX_PATH];
        EXPECT_TRUE(HostPathFromUnix(path.c_str(), winPath, sizeof winPath));
        HANDLE in = CreateFileA(winPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
        archiveInput.archiveFile = in;
        archiveInput.archiveLimit = (int32_t)file.size();
        ResetArchiveInput();

        MemberHeader header = {};
        memcpy(header.method, (std::string("-") + method + "-").c_str(), 5);
        header.packedSize = (uint32_t)packed.size();
        header.originalSize = originalSize;
        expectedCrc = expected ? Crc16(0, expected->data(), expected->size()) : 0xFFFFFFFF;
        sunk.clear();
        int32_t exit = DecodeMember(&header, Collect);
        CloseHandle(in);
        EXPECT_TRUE(exit != Done || originalSize == 0 || archiveInput.readPosition == (int32_t)packed.size())
            << "read " << archiveInput.readPosition << " of " << packed.size() << " packed bytes";
        return exit;
    }

    void ExpectDecodes(const char *method, const Bytes &packed, const Bytes &expected)
    {
        EXPECT_EQ(Decode(method, packed, (uint32_t)expected.size(), &expected), Done);
        EXPECT_TRUE(sunk == expected);
    }

    void ExpectDamaged(const char *method, const Bytes &packed, uint32_t originalSize)
    {
        EXPECT_EQ(Decode(method, packed, originalSize), Damaged);
        EXPECT_LE(sunk.size(), originalSize);
    }
};

TEST_F(DecoderTest, StaticConstantCodesBlockCountsAndTheSpacesBeforeTheFirstByte)
{
    // Count 0 is 65,536 and on; after count 1 another block header is due.
    ExpectDecodes("lh5", BitWriter().Constants(0, 0, 'Q', 0).bytes, Bytes(70000, 'Q'));
    ExpectDamaged("lh5", BitWriter().Constants(1, 0, 'Q', 0).bytes, 2);

    // Each block replaces the codes before it; 510 and 511 are lengths 257, 258.
    BitWriter m;
    m.Constants(1, 0, 'x', 0).Constants(1, 0, 'y', 0).Constants(1, 0, 510, 1);
    m.Constants(1, 0, 511, 0).Constants(2, 0, 257, 1);
    ExpectDecodes("lh5", m.bytes,
                  WindowModel().Literal('x').Literal('y').Match(2, 257).Match(1, 258).Match(2, 4).Match(2, 4).out);

    // Spaces before the first byte, whatever the window held.
    memset(shared.window, 'w', WINDOW_SIZE);
    ExpectDecodes("lh5", BitWriter().Constants(1, 0, 300, 1).bytes, Bytes(47, ' '));

    // Position constants past the code's symbols: 15 is 2^14 + extra + 1
    // back (into the spaces), 17 (16 extra bits) the window place of extra + 1.
    for (int pbit = 4; pbit <= 5; pbit++)
        ExpectDecodes(pbit == 4 ? "lh5" : "lh6",
                      BitWriter().Constants(1, 0, 'q', 0, pbit).Constants(1, 0, 256, 15, pbit).Put(3, 14).bytes, Str("q   "));
    ExpectDecodes("lh6", BitWriter().Constants(1, 0, 'p', 0, 5).Constants(1, 0, 256, 17, 5).Put(1, 16).bytes,
                  Str("p p "));
}

TEST_F(DecoderTest, StaticOneBitCodeAndTheEndCheck)
{
    // A single length 1 is the one incomplete code accepted (below); "1" is damage.
    ExpectDamaged("lh5", BitWriter().OneBitLiteral(3, 'x').Text("010").bytes, 3);

    // One bit per 'x': up to eight bits left over at the end, not nine.
    BitWriter header = BitWriter().OneBitLiteral(0, 'x');
    size_t exact = (8 - header.bits % 8) % 8 + 16;  // ends on a byte boundary
    Bytes packed = BitWriter(header).Put(0, (int)exact).bytes;
    ExpectDecodes("lh5", packed, Bytes(exact, 'x'));
    ExpectDamaged("lh5", packed, (uint32_t)exact + 1);
    packed.push_back(0);
    ExpectDecodes("lh5", packed, Bytes(exact, 'x'));
    ExpectDamaged("lh5", packed, (uint32_t)exact - 1);
}

TEST_F(DecoderTest, StaticCodesThatAreDamageAndTheEmptyCode)
{
    // A 'k', then `count` matches (length constant `symbol`) under a position
    // code of these lengths.
    auto positions = [](int pbit, uint32_t count, uint32_t symbol, const std::vector<int> &lengths,
                        const char *data) {
        return BitWriter().Constants(1, 0, 'k', 0, pbit).Put(count, 16).Put(0, 10).Put(0, 9).Put(symbol, 9)
            .Pt(pbit, lengths, false).Text(data).bytes;
    };
    ExpectDamaged("lh5", positions(4, 1, 256, {1, 2}, "10"), 4);     // incomplete
    ExpectDamaged("lh5", positions(4, 1, 256, {1, 1, 1}, "10"), 4);  // over-subscribed
    ExpectDecodes("lh5", positions(4, 1, 256, {1, 2, 2}, "10"), Str("k k "));
    ExpectDecodes("lh5", positions(4, 2, 259, {0, 0}, ""), Bytes(13, 'k'));  // all zero: symbol 0, no bits
    const std::vector<int> fifteen = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13, 0};  // too many for -lh5-
    ExpectDamaged("lh5", positions(4, 1, 256, fifteen, "0"), 4);
    ExpectDecodes("lh6", positions(5, 1, 256, fifteen, "0"), Str("kkkk"));

    auto block = [] { return BitWriter().Put(1, 16); };
    ExpectDamaged("lh5", block().Pt(5, std::vector<int>(20, 5), true).bytes, 1);
    ExpectDamaged("lh5", block().Pt(5, {17}, true).bytes, 1);
    ExpectDamaged("lh5", block().Put(0, 10).Put(511, 9).bytes, 1);  // 511 literal lengths
    // After one length, a zero run of 20 + 489 ends at symbol 510.
    auto run = [&](uint32_t extra) {
        return block().Pt(5, {0, 0, 1, 1}, true).Put(510, 9).Text("1 0").Put(extra, 9).Put(0, 8).bytes;
    };
    ExpectDecodes("lh5", run(489), Bytes{0});
    ExpectDamaged("lh5", run(490), 1);
    // Constants beyond their tables are damage once used: code length 19
    // (a literal length of 17), position 18 (17 extra bits).
    ExpectDamaged("lh5", block().Put(0, 5).Put(19, 5).Put(1, 9).bytes, 1);
    ExpectDecodes("lh5", BitWriter().Constants(2, 31, 'u', 0).bytes, Str("uu"));
    ExpectDamaged("lh6", BitWriter().Constants(1, 0, 'p', 0, 5).Constants(1, 0, 256, 18, 5).Put(0, 32).bytes, 4);
    ExpectDecodes("lh6", BitWriter().Constants(3, 0, 'i', 31, 5).bytes, Str("iii"));
}

TEST_F(DecoderTest, StaticCodeLengthZeroRunField)
{
    // Lengths 1, 0, 0, field 2 (skipping 3 and 4), 1: {0: "0", 5: "1"}, so
    // eight literals of length 3.
    BitWriter w;
    w.Put(8, 16).Put(6, 5).Length(1).Length(0).Length(0).Put(2, 2).Length(1);
    w.Put(8, 9).Text("11111111").Put(0, 8);
    const Bytes data = {5, 0, 7, 7, 1, 2, 6, 3};
    for (uint8_t b : data)
        w.Put(b, 3);
    ExpectDecodes("lh5", w.bytes, data);

    // The field follows the third length also when n = 3, not for n = 2.
    BitWriter three, two;
    three.Put(4, 16).Put(3, 5).Length(1).Length(0).Length(1).Put(3, 2).Put(20, 9).Text("1").Put(0, 17);
    two.Put(4, 16).Put(2, 5).Length(1).Length(1).Put(5, 9).Text("1").Put(2, 4).Put(0, 8);
    ExpectDecodes("lh5", three.bytes, Bytes(4, 0));
    ExpectDecodes("lh5", two.bytes, Bytes(4, 0));
}

struct Code {
    std::vector<int> len;
    std::vector<uint32_t> bits;
    void Canonical()
    {
        bits.assign(len.size(), 0);
        uint32_t code = 0;
        for (int l = 1; l <= 16; l++, code <<= 1)
            for (size_t s = 0; s < len.size(); s++)
                if (len[s] == l)
                    bits[s] = code++;
    }
    void Put(BitWriter &w, uint32_t symbol) const
    {
        ASSERT_GT(len[symbol], 0) << "symbol " << symbol << " has no code";
        w.Put(bits[symbol], len[symbol]);
    }
};

Code FlatLengthCode() { return {{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5}, {}}; }

// Zero literal lengths go out as all three kinds of run.
void PutBlockHeader(BitWriter &w, uint32_t count, Code &lengths, Code &literals, Code &positions,
                    int pbit)
{
    for (Code *c : {&lengths, &literals, &positions})
        c->Canonical();
    w.Put(count, 16).Pt(5, lengths.len, true);
    int n = 510;
    while (literals.len[(size_t)n - 1] == 0)
        n--;
    w.Put((uint32_t)n, 9);
    for (int i = 0, run; i < n; i += run) {
        for (run = 0; i + run < n && literals.len[(size_t)(i + run)] == 0;)
            run++;
        if (run >= 20) {
            run = std::min(run, 531);
            lengths.Put(w, 2), w.Put((uint32_t)run - 20, 9);
        } else if (run >= 3) {
            run = std::min(run, 18);
            lengths.Put(w, 1), w.Put((uint32_t)run - 3, 4);
        } else {
            lengths.Put(w, run ? 0 : (uint32_t)literals.len[(size_t)i] + 2);
            run = 1;
        }
    }
    w.Pt(pbit, positions.len, false);
}

void PutMatch(BitWriter &w, const Code &literals, const Code &positions, WindowModel &model, int length, uint32_t d)
{
    literals.Put(w, (uint32_t)length + 253);
    uint32_t p = 0;
    while ((d - 1) >> p)
        p++;
    positions.Put(w, p);
    if (p >= 2)
        w.Put(d - 1 - (1u << (p - 1)), (int)p - 1);
    model.Match(d, length);
}

TEST_F(DecoderTest, StaticDeepTablesAndFarMatches)
{
    for (int lh6 = 0; lh6 <= 1; lh6++) {
        const char *method = lh6 ? "lh6" : "lh5";
        SCOPED_TRACE(method);
        int np = lh6 ? 17 : 14;
        // A flat code-length code, and a deep one whose most used symbol (10,
        // literal length 8) takes 16 bits: three levels of the 7-bit table.
        Code flat = FlatLengthCode(), deep = {{1, 11, 2, 12, 13, 15, 15, 16, 16, 16, 16, 3, 4, 5, 6, 7, 8, 9, 10}, {}};
        // Literals: 8 bits for the bytes but four gaps (zero runs of every
        // kind) and for lengths 12..53; a chain of 9..16 bits for 3..11.
        Code literals = {std::vector<int>(510, 0), {}}, positions;
        std::vector<uint32_t> bytes;
        for (uint32_t c = 0; c < 256; c++)
            if (c != 1 && (c < 30 || c >= 55) && (c < 100 || c >= 105) && (c < 200 || c >= 212))
                literals.len[c] = 8, bytes.push_back(c);
        for (int i = 0; i < 9; i++)
            literals.len[(size_t)(256 + i)] = std::min(9 + i, 16);
        std::fill(literals.len.begin() + 265, literals.len.begin() + 307, 8);
        for (int i = 0; i < np; i++)  // positions: 1, 2, ..., np - 1, np - 1 bits
            positions.len.push_back(i == np - 1 ? np - 1 : i + 1);

        BitWriter w;
        WindowModel model;
        Lcg rng = {(uint32_t)(7 + lh6)};
        uint32_t reach = 1u << (np - 1);  // the largest distance the code holds
        for (Code *lengthCode : {&flat, &deep}) {
            PutBlockHeader(w, 12000, *lengthCode, literals, positions, lh6 ? 5 : 4);
            for (int i = 0; i < 12000; i++) {
                if (rng.Next(3) != 0) {
                    uint32_t lit = bytes[rng.Next((uint32_t)bytes.size())];
                    literals.Put(w, lit), model.Literal((uint8_t)lit);
                    continue;
                }
                int length = 3 + (int)rng.Next(51);
                uint32_t pick = rng.Next(4);
                PutMatch(w, literals, positions, model, length,
                         pick == 0 ? 1 + rng.Next(4) : pick == 1 ? reach - rng.Next(4) : 1 + rng.Next(reach));
            }
        }
        ASSERT_GT(model.out.size(), 65536u);
        ExpectDecodes(method, w.bytes, model.out);
    }
}

TEST_F(DecoderTest, LongestCodesAcrossChunkEnds)
{
    // Items as long as they can be (16-bit literal or length, 13-bit
    // position and 12 extra bits), shifted by `lead` 1-bit literals.
    enum { LONG_LITERAL = 'z', SHORT_LITERAL = 'x', LONG_MATCH = 509 };
    for (int lead = 0; lead < 8; lead++) {
        SCOPED_TRACE(lead);
        Code lengths = FlatLengthCode(), literals = {std::vector<int>(510, 0), {}},
             positions = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13}, {}};
        for (int len = 2; len <= 15; len++)  // a comb: 1, 2, ..., 15, 16, 16
            literals.len[(size_t)len - 2] = len;
        literals.len[SHORT_LITERAL] = 1, literals.len[LONG_LITERAL] = 16, literals.len[LONG_MATCH] = 16;
        BitWriter w;
        PutBlockHeader(w, (uint32_t)(lead + 4500), lengths, literals, positions, 4);
        WindowModel model;
        Lcg lcg = {31u + (uint32_t)lead};
        for (int i = 0; i < lead + 4500; i++) {
            uint8_t c = i < lead ? SHORT_LITERAL : LONG_LITERAL;
            if (i < lead || lcg.Next(4) == 0)
                literals.Put(w, c), model.Literal(c);
            else
                PutMatch(w, literals, positions, model, LONG_MATCH - 253, (1u << 12) + lcg.Next(1 << 12) + 1);
        }
        ASSERT_GT(w.bytes.size(), 2u * CHUNK_SIZE);
        ExpectDecodes("lh5", w.bytes, model.out);
    }
}

// The encoder's side of the adaptive code, without the rebuild (the jlha
// archives pass many): a code is the path from the root to the leaf.
struct Lh1Model {
    enum { N = 314, T = 627, R = 626 };
    uint16_t freq[T + 1], child[T], parent[T + N];
    int longestCode = 0;

    Lh1Model()
    {
        for (int s = 0; s < N; s++)
            freq[s] = 1, child[s] = (uint16_t)(s + T), parent[s + T] = (uint16_t)s;
        for (int i = 0, j = N; j < T; i += 2, j++)
            freq[j] = (uint16_t)(freq[i] + freq[i + 1]), child[j] = (uint16_t)i, parent[i] = parent[i + 1] = (uint16_t)j;
        freq[T] = 0xFFFF, parent[R] = 0;
    }

    void Put(BitWriter &w, int s)
    {
        uint32_t code = 0;
        int n = 0;
        for (int c = parent[s + T]; c != R; c = parent[c], n++)
            code |= (uint32_t)(c - child[parent[c]]) << n;
        w.Put(code, n);
        longestCode = std::max(longestCode, n);
        ASSERT_LT(freq[R], 0x8000) << "the model does not rebuild";
        int c = parent[s + T];
        do {  // node 0 is a leaf: the root's parent 0 is tested after counting
            unsigned k = ++freq[c];
            if (k > freq[c + 1]) {
                int l = c + 1;
                while (k > freq[l + 1])
                    l++;
                freq[c] = freq[l], freq[l] = (uint16_t)k;
                int i = child[c], j = child[l];
                parent[i] = parent[i + (i < T)] = (uint16_t)l;
                parent[j] = parent[j + (j < T)] = (uint16_t)c;
                child[l] = (uint16_t)i, child[c] = (uint16_t)j, c = l;
            }
            c = parent[c];
        } while (c != 0);
    }
};

TEST_F(DecoderTest, Lh1FreshTreePositionsAndCodesLongerThanSixteenBits)
{
    ExpectDecodes("lh1", BitWriter().Text("110001100").bytes, Bytes{0x00});
    ExpectDecodes("lh1", BitWriter().Text("10001011").bytes, Bytes{0xFF});

    // The 60 window bytes below the 4,036 spaces keep what they held.
    Bytes before(WINDOW_SIZE, ' ');
    for (int i = 0; i < 60; i++)
        before[61440 + (size_t)i] = shared.window[61440 + i] = (uint8_t)(0xC0 + i);
    Lh1Model tree, chain;
    BitWriter w, c;
    WindowModel model(before);
    const struct { int symbol; const char *position; int distance; } items[] = {
        {313, "11111111 111111", 4096}, {256, "00000101 1", 12}, {260, "000 111110", 63}};
    for (const auto &m : items)
        tree.Put(w, m.symbol), w.Text(m.position), model.Match(m.distance, m.symbol - 253);
    ExpectDecodes("lh1", w.bytes, model.out);

    // Counts growing as Fibonacci numbers push the unseen symbols past 16 levels.
    Bytes out;
    int left[9] = {200, 324};
    for (int k = 2; k < 9; k++)
        left[k] = left[k - 1] + left[k - 2];
    for (int round = 0; round < left[8]; round++)
        for (int k = 8; k >= 0; k--)
            if (left[k] > round)
                out.push_back((uint8_t)('A' + k));
    for (int s = 0; s < 40; s++)
        out.push_back((uint8_t)s);
    for (uint8_t s : out)
        chain.Put(c, s);
    EXPECT_GT(chain.longestCode, 16);
    ExpectDecodes("lh1", c.bytes, out);
    ExpectDamaged("lh1", Bytes(c.bytes.begin(), c.bytes.end() - 1), (uint32_t)out.size());
}

// `size` bytes after `lead` literals, matches of every length from every
// ring slot, often ending on a block end and always on the member's end.
// The -lz5- ring: 18 spaces, each byte 13 times, 0..255, 255..0, 128 zeros,
// 110 spaces.
Bytes LarcMember(bool lz5, size_t size, int lead, uint32_t seed, Bytes *expected)
{
    Bytes initial(shared.window, shared.window + WINDOW_SIZE);
    const int ringSize = lz5 ? 4096 : 2048, shortest = lz5 ? 3 : 2, ahead = lz5 ? 18 : 17;
    for (int t = 0, b = -18; t < ringSize; t++, b++)
        initial[(size_t)(WINDOW_SIZE - ringSize + t)] = !lz5 || b < 0 ? ' ' : b < 3328 ? (uint8_t)(b / 13)
            : b < 3584 ? (uint8_t)(b - 3328) : b < 3840 ? (uint8_t)(255 - (b - 3584)) : b < 3968 ? 0 : ' ';
    WindowModel model(initial);
    BitWriter w;
    Lcg lcg = {seed};
    size_t flagAt = 0;
    for (int item = 0; model.out.size() < size; item++) {
        if (lz5 && item % 8 == 0)
            flagAt = w.bytes.size(), w.Put(0, 8);
        size_t left = size - model.out.size(), toBlockEnd = WINDOW_SIZE - model.out.size() % WINDOW_SIZE;
        int length = shortest + (int)lcg.Next(16);
        bool steer = lead <= 0 && left >= (size_t)shortest && left < (size_t)shortest + 16;
        if (steer)
            length = (int)left;
        else if (toBlockEnd >= (size_t)shortest && toBlockEnd < (size_t)shortest + 16 && lcg.Next(2))
            length = (int)toBlockEnd;
        if (!steer && (lead > 0 || (size_t)length > left || lcg.Next(3) == 0)) {
            uint8_t c = (uint8_t)lcg.Next(256);
            if (lz5)
                w.bytes[flagAt] |= (uint8_t)(1 << (item % 8)), w.Put(c, 8);
            else
                w.Put(1, 1).Put(c, 8);
            model.Literal(c), lead--;
            continue;
        }
        uint32_t slot = lcg.Next((uint32_t)ringSize);
        if (lz5)
            w.Put(slot & 0xFF, 8).Put(slot >> 8, 4).Put((uint32_t)(length - 3), 4);
        else
            w.Put(0, 1).Put(slot, 11).Put((uint32_t)length - 2, 4);
        model.Match((model.Pos() - slot - (uint32_t)ahead) & (uint32_t)(ringSize - 1), length);
    }
    *expected = model.out;
    return w.bytes;
}

TEST_F(DecoderTest, LarcRingStartAndItemsAcrossChunkAndBlockEnds)
{
    // What the members cannot reach: the spaces ahead of the first bytes
    // (-lzs- writes from slot 2031, -lz5- from 4078), and the slot being
    // written, which copies the window's old bytes.
    const struct { bool lz5; uint32_t slot; Bytes expect; } cases[] = {
        {false, 2032, Bytes(16, ' ')}, {false, 2031, Str("old bytes")},
        {true, 4079, Bytes(17, ' ')}, {true, 4078, Str("old bytes")}};
    for (const auto &c : cases) {
        memcpy(shared.window, "old bytes", 9);
        uint32_t length = (uint32_t)c.expect.size();
        Bytes packed = c.lz5 ? Bytes{0x00, (uint8_t)c.slot, (uint8_t)((c.slot >> 8) << 4 | (length - 3))}
                             : BitWriter().Put(0, 1).Put(c.slot, 11).Put(length - 2, 4).bytes;
        ExpectDecodes(c.lz5 ? "lz5" : "lzs", packed, c.expect);
    }

    // Leads shift the items against the chunk ends; then members ending on
    // a block end.
    for (int lz5 = 0; lz5 <= 1; lz5++) {
        const char *method = lz5 ? "lz5" : "lzs";
        for (int lead = 0; lead < 13; lead++) {
            SCOPED_TRACE(std::string(method) + " lead " + std::to_string(lead));
            Bytes expected, packed = lead < 9 ? LarcMember(lz5, 3 * WINDOW_SIZE + 100 + (size_t)lead, lead, 11u + (uint32_t)lead, &expected)
                                              : LarcMember(lz5, (size_t)(2 - lz5) * WINDOW_SIZE, 0, (uint32_t)lead - 8, &expected);
            ASSERT_TRUE(lead >= 9 || packed.size() > 3u * CHUNK_SIZE);
            ExpectDecodes(method, packed, expected);
        }
    }
}

TEST_F(DecoderTest, EmptyMembersAndOverlongOutput)
{
    for (const char *method : {"lh1", "lh4", "lh5", "lh6", "lzs", "lz5"}) {
        SCOPED_TRACE(method);
        ExpectDecodes(method, Bytes{}, Bytes{});
        EXPECT_EQ(Decode(method, Bytes{0xFF}, 0), Done);
        EXPECT_EQ(Decode(method, Bytes{0x00, 0x00}, 0), Damaged);
    }
    // A match past the original size.
    ExpectDamaged("lh5", BitWriter().Constants(1, 0, 'a', 0).Constants(1, 0, 266, 0).bytes, 5);
    EXPECT_EQ(sunk, Str("aaaaa"));
}

// The word-wide paths against a byte-wise copy, nothing touched outside.
TEST(FastCopy, ForwardCopyAtEveryOverlap)
{
    for (int gap = -24; gap <= 24; gap++) {
        for (int count = 0; count <= 40; count++) {
            uint8_t expected[128], actual[128];
            for (int i = 0; i < 128; i++)
                expected[i] = actual[i] = (uint8_t)(i * 37 + 11);
            for (int i = 0; i < count; i++)
                expected[48 + i] = expected[48 - gap + i];
            CopyForward(actual + 48, actual + 48 - gap, count);
            EXPECT_EQ(memcmp(expected, actual, sizeof actual), 0) << "gap " << gap << ", count " << count;
        }
    }
}

}  // namespace
