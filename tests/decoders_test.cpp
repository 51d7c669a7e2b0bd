// The compressing decoders driven through the real frame and dispatcher:
// packed bits written by hand (or by small encoders kept here) go into a
// file that the archive input reads, DecodeMember decodes them into an
// output file, and the test compares that file and the exit.
//
// Expected output never comes from the decoders: it is the text the test
// encoded, or what a plain model of the dictionary (a ring or the bytes
// before the first output byte) says a match copies.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "extract/extract.h"
#include "platform/host.h"
#include "shell/shell.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Packs bits most significant first, as the bit input reads them; the last
// byte is filled with zero bits.
struct BitWriter {
    Bytes bytes;
    size_t bits = 0;

    void Put(uint32_t value, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (bits % 8 == 0)
                bytes.push_back(0);
            if ((value >> i) & 1)
                bytes.back() |= (uint8_t)(0x80 >> (bits % 8));
            bits++;
        }
    }
    // "1100 0110": spaces are for the reader only.
    void PutText(const char *text)
    {
        for (; *text; text++)
            if (*text != ' ')
                Put(*text == '1', 1);
    }
};

uint32_t Crc16(const Bytes &data)
{
    uint32_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; k++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes Repeat(uint8_t c, size_t n) { return Bytes(n, c); }

Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }

struct Outcome {
    int result;       // DecodeMember's
    int32_t exit;     // the DecodeExit it ended with
    Bytes output;     // what reached the output file
};

class DecoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { BuildCrcTable(); }

    void SetUp() override
    {
        char pattern[] = "/tmp/corvane_decoders_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        unlink((dir + "/packed").c_str());
        unlink((dir + "/output").c_str());
        rmdir(dir.c_str());
    }

    static HANDLE Open(const std::string &unixPath, DWORD access, DWORD disposition)
    {
        char winPath[MAX_PATH];
        if (!HostPathFromUnix(unixPath.c_str(), winPath, sizeof winPath))
            return INVALID_HANDLE_VALUE;
        return CreateFileA(winPath, access, FILE_SHARE_READ, 0, disposition,
                           FILE_ATTRIBUTE_NORMAL, 0);
    }

    // Decodes `packed` as a member of the given method ("lh5") and size.
    // With `expected`, the header carries its CRC, so a success also proves
    // the content; without, it carries none.
    Outcome Decode(const char *method, const Bytes &packed, uint32_t originalSize,
                   const Bytes *expected = nullptr)
    {
        Outcome outcome = {-1, 0, {}};
        // Bytes after the member's packed data must never be read.
        Bytes file = packed;
        file.insert(file.end(), {0xA5, 0x5A, 0xFF});
        std::string packedPath = dir + "/packed", outputPath = dir + "/output";
        {
            std::ofstream out(packedPath, std::ios::binary);
            out.write((const char *)file.data(), (std::streamsize)file.size());
        }
        HANDLE in = Open(packedPath, GENERIC_READ, OPEN_EXISTING);
        EXPECT_NE(in, INVALID_HANDLE_VALUE);
        archiveInput.archiveFile = in;
        archiveInput.archiveLimit = (int32_t)file.size();
        ResetArchiveInput();
        outputFile = Open(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
        EXPECT_NE(outputFile, INVALID_HANDLE_VALUE);

        MemberHeader header;
        memset(&header, 0, sizeof header);
        header.method[0] = '-';
        memcpy(header.method + 1, method, 3);
        header.method[4] = '-';
        header.packedSize = (uint32_t)packed.size();
        header.originalSize = originalSize;
        header.dosDate = (uint16_t)((2020 - 1980) << 9 | 6 << 5 | 15);
        header.dosTime = (uint16_t)(12 << 11);
        expectedCrc = expected ? Crc16(*expected) : 0xFFFFFFFF;

        runState.failed = 0;
        runState.decoderActive = 1;
        frame.exitCode = 0;
        outcome.result = DecodeMember(&header);
        outcome.exit = frame.exitCode;
        runState.decoderActive = 0;
        CloseHandle(outputFile);
        CloseHandle(in);

        std::ifstream result(outputPath, std::ios::binary);
        outcome.output.assign(std::istreambuf_iterator<char>(result),
                              std::istreambuf_iterator<char>());
        return outcome;
    }

    void ExpectDecodes(const char *method, const Bytes &packed, const Bytes &expected)
    {
        Outcome o = Decode(method, packed, (uint32_t)expected.size(), &expected);
        EXPECT_EQ(o.exit, Done);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.output.size(), expected.size());
        EXPECT_TRUE(o.output == expected) << "output differs";
    }

    void ExpectDamaged(const char *method, const Bytes &packed, uint32_t originalSize)
    {
        Outcome o = Decode(method, packed, originalSize);
        EXPECT_EQ(o.exit, Damaged);
        EXPECT_EQ(o.result, 0);
        EXPECT_LE(o.output.size(), originalSize);
    }

    // Cut short anywhere, a stream ends as damage; with one bit flipped it
    // either fails or (where the bit meant nothing) still yields exactly
    // the original, and the output never grows past the original size.
    // Every stream tested here ends with a byte that holds needed bits.
    void ExpectRobust(const char *method, const Bytes &packed, const Bytes &expected,
                      size_t flipStep = 1, size_t cutStep = 1)
    {
        auto cutAt = [&](size_t cut) {
            Bytes part(packed.begin(), packed.begin() + (long)cut);
            Outcome o = Decode(method, part, (uint32_t)expected.size(), &expected);
            EXPECT_EQ(o.exit, Damaged) << "cut at " << cut;
            EXPECT_EQ(o.result, 0) << "cut at " << cut;
            EXPECT_LE(o.output.size(), expected.size());
        };
        for (size_t cut = 0; cut < packed.size(); cut += cutStep)
            cutAt(cut);
        cutAt(packed.size() - 1);
        for (size_t bit = 0; bit < packed.size() * 8; bit += flipStep) {
            Bytes damaged = packed;
            damaged[bit / 8] ^= (uint8_t)(0x80 >> (bit % 8));
            Outcome o = Decode(method, damaged, (uint32_t)expected.size(), &expected);
            EXPECT_LE(o.output.size(), expected.size()) << "bit " << bit;
            if (o.result == 1)
                EXPECT_TRUE(o.output == expected) << "bit " << bit;
            else
                EXPECT_TRUE(o.exit == Damaged || o.exit == Done) << "bit " << bit;
        }
    }

    std::string dir;
};

// A plain model of LZ77 over the output window: the bytes before output
// position 0 are `before` (its last byte is the one just before it).
struct WindowModel {
    Bytes before;
    Bytes out;

    explicit WindowModel(const Bytes &initial) : before(initial) {}
    uint8_t At(int64_t p) const
    {
        return p >= 0 ? out[(size_t)p] : before[before.size() - (size_t)(-p)];
    }
    void Literal(uint8_t c) { out.push_back(c); }
    void Match(int64_t distance, int length)
    {
        for (int i = 0; i < length; i++)
            out.push_back(At((int64_t)out.size() - distance));
    }
};

// ======================================================================
// -lh4-, -lh5-, -lh6-

// A 3-bit length; 7..16 as 7, one 1-bit per further unit and a 0-bit.
void PutPtLength(BitWriter &w, int len)
{
    if (len < 7) {
        w.Put((uint32_t)len, 3);
        return;
    }
    w.Put(7, 3);
    for (int i = 7; i < len; i++)
        w.Put(1, 1);
    w.Put(0, 1);
}

// Block header whose three codes are constants.
void PutConstantBlock(BitWriter &w, uint32_t count, uint32_t lengthSymbol, uint32_t literal,
                      uint32_t position, int pbit = 4)
{
    w.Put(count, 16);
    w.Put(0, 5);
    w.Put(lengthSymbol, 5);
    w.Put(0, 9);
    w.Put(literal, 9);
    w.Put(0, pbit);
    w.Put(position, pbit);
}

TEST_F(DecoderTest, StaticConstantCodesConsumeNoBitsPerSymbol)
{
    // Five codes of the literal 'A' in 52 bits of header alone.
    BitWriter w;
    PutConstantBlock(w, 5, 0, 'A', 0);
    EXPECT_EQ(w.bytes.size(), 7u);
    ExpectDecodes("lh5", w.bytes, Text("AAAAA"));

    // Each block replaces the codes of the one before. A length constant
    // copies with the position constant: symbol 0 is distance 1, symbol 1
    // distance 2 (no extra bits); 510 and 511 are lengths 257 and 258.
    BitWriter m;
    PutConstantBlock(m, 1, 0, 'x', 0);
    PutConstantBlock(m, 1, 0, 'y', 0);
    PutConstantBlock(m, 1, 0, 510, 1);
    PutConstantBlock(m, 1, 0, 511, 0);
    PutConstantBlock(m, 2, 0, 257, 1);
    WindowModel model(Repeat(' ', 65536));
    model.Literal('x');
    model.Literal('y');
    model.Match(2, 257);
    model.Match(1, 258);
    model.Match(2, 4);
    model.Match(2, 4);
    ExpectDecodes("lh5", m.bytes, model.out);
}

TEST_F(DecoderTest, StaticMatchesBeforeTheFirstByteCopySpaces)
{
    // Stale bytes in the window must not show through.
    for (int i = 0; i < WINDOW_SIZE; i++)
        window[i] = (uint8_t)i;
    BitWriter w;
    PutConstantBlock(w, 1, 0, 300, 1);  // length 47 from distance 2
    ExpectDecodes("lh5", w.bytes, Repeat(' ', 47));

    // Position constant 15 (lh6: 5-bit fields) reaches 2^14 + e + 1 back.
    BitWriter far;
    PutConstantBlock(far, 1, 0, 'q', 0, 5);
    PutConstantBlock(far, 1, 0, 256, 15, 5);
    far.Put(3, 14);
    WindowModel model(Repeat(' ', 65536));
    model.Literal('q');
    model.Match((1 << 14) + 3 + 1, 3);
    ExpectDecodes("lh6", far.bytes, model.out);
}

TEST_F(DecoderTest, StaticBlockCountZeroKeepsItsCodesToTheEnd)
{
    // 70,000 codes from one block: the count is not read as 65,536.
    BitWriter w;
    PutConstantBlock(w, 0, 0, 'Q', 0);
    ExpectDecodes("lh5", w.bytes, Repeat('Q', 70000));

    // A count of 1 asks for a second block header, which is not there.
    BitWriter one;
    PutConstantBlock(one, 1, 0, 'Q', 0);
    ExpectDamaged("lh5", one.bytes, 2);
}

// Code-length code {2: "0", 3: "1"}: long zero runs and length 1.
void PutZeroRunOrLengthOneCode(BitWriter &w)
{
    w.Put(4, 5);        // four lengths
    PutPtLength(w, 0);  // symbol 0
    PutPtLength(w, 0);  // symbol 1
    PutPtLength(w, 1);  // symbol 2
    w.Put(0, 2);        // no symbols skipped after the third
    PutPtLength(w, 1);  // symbol 3
}

TEST_F(DecoderTest, StaticSmallCodesWrittenBitByBit)
{
    // Literal code {'a': "0", 256 (length 3): "1"}, position constant 0.
    BitWriter w;
    w.Put(6, 16);
    PutZeroRunOrLengthOneCode(w);
    w.Put(257, 9);
    w.PutText("0");
    w.Put(97 - 20, 9);  // symbols 0..96 have no code
    w.PutText("1");     // 'a': length 1
    w.PutText("0");
    w.Put(158 - 20, 9);  // 98..255
    w.PutText("1");      // 256: length 1
    w.Put(0, 4);
    w.Put(0, 4);
    w.PutText("0 1 1 0 0 1");
    ExpectDecodes("lh5", w.bytes, Text("aaaaaaaaaaaa"));
    ExpectRobust("lh5", w.bytes, Text("aaaaaaaaaaaa"));
    // The same stream is read alike as -lh4-.
    ExpectDecodes("lh4", w.bytes, Text("aaaaaaaaaaaa"));
}

TEST_F(DecoderTest, StaticOneSymbolOfLengthOneIsTheOnlyIncompleteCode)
{
    // {'x': "0"}; the code "1" belongs to no symbol.
    auto stream = [](const char *data) {
        BitWriter w;
        w.Put(3, 16);
        PutZeroRunOrLengthOneCode(w);
        w.Put(121, 9);
        w.PutText("0");
        w.Put(120 - 20, 9);
        w.PutText("1");
        w.Put(0, 4);
        w.Put(0, 4);
        w.PutText(data);
        return w.bytes;
    };
    ExpectDecodes("lh5", stream("000"), Text("xxx"));
    ExpectDamaged("lh5", stream("010"), 3);

    // Position codes as 3-bit lengths: {1, 2} is incomplete, {1, 1, 1}
    // over-subscribed, {1, 2, 2} complete.
    // The data is "10": under {1, 2} it would be a valid code, so only the
    // completeness test stops it.
    auto positions = [](std::initializer_list<int> lengths) {
        BitWriter w;
        PutConstantBlock(w, 1, 0, 'k', 0);
        w.Put(1, 16);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(0, 9);
        w.Put(256, 9);
        w.Put((uint32_t)lengths.size(), 4);
        for (int len : lengths)
            PutPtLength(w, len);
        w.PutText("10");  // position symbol 1: distance 2
        return w.bytes;
    };
    ExpectDamaged("lh5", positions({1, 2}), 4);
    ExpectDamaged("lh5", positions({1, 1, 1}), 4);
    WindowModel model(Repeat(' ', 65536));
    model.Literal('k');
    model.Match(2, 3);
    ExpectDecodes("lh5", positions({1, 2, 2}), model.out);

    // The same checks guard the code-length code: {1, 1, 1} there.
    BitWriter cl;
    cl.Put(1, 16);
    cl.Put(3, 5);
    PutPtLength(cl, 1);
    PutPtLength(cl, 1);
    PutPtLength(cl, 1);
    cl.Put(0, 2);
    cl.Put(0, 16);
    ExpectDamaged("lh5", cl.bytes, 1);
}

TEST_F(DecoderTest, StaticZeroLengthsYieldSymbolZeroWithoutBits)
{
    // Position code of two zero lengths: every match has distance 1.
    BitWriter w;
    PutConstantBlock(w, 1, 0, 'z', 0);
    w.Put(2, 16);
    w.Put(0, 5);
    w.Put(0, 5);
    w.Put(0, 9);
    w.Put(259, 9);  // length 6
    w.Put(2, 4);
    PutPtLength(w, 0);
    PutPtLength(w, 0);
    ExpectDecodes("lh5", w.bytes, Repeat('z', 13));
}

TEST_F(DecoderTest, StaticCodeLengthZeroRunField)
{
    // n = 6: lengths 1, 0, 0, then the 2-bit field skips symbols 3 and 4,
    // and symbol 5 gets length 1: {0: "0", 5: "1"}, so a literal length
    // is 5 - 2 = 3. Eight literals 0..7 of three bits each.
    BitWriter w;
    w.Put(8, 16);
    w.Put(6, 5);
    PutPtLength(w, 1);
    PutPtLength(w, 0);
    PutPtLength(w, 0);
    w.Put(2, 2);
    PutPtLength(w, 1);
    w.Put(8, 9);
    w.PutText("11111111");
    w.Put(0, 4);
    w.Put(0, 4);
    const uint8_t data[] = {5, 0, 7, 7, 1, 2, 6, 3};
    for (uint8_t b : data)
        w.Put(b, 3);
    ExpectDecodes("lh5", w.bytes, Bytes(data, data + 8));

    // With n = 3 the field follows the third length as well; with n = 2 it
    // does not. Both give a literal code of zero lengths only (symbol 0),
    // and a misplaced field would shift every later field.
    BitWriter three;
    three.Put(4, 16);
    three.Put(3, 5);
    PutPtLength(three, 1);
    PutPtLength(three, 0);
    PutPtLength(three, 1);
    three.Put(3, 2);
    three.Put(20, 9);
    three.PutText("1");  // symbol 2: a run of 20 + 0
    three.Put(0, 9);
    three.Put(0, 4);
    three.Put(0, 4);
    ExpectDecodes("lh5", three.bytes, Repeat(0, 4));
    ExpectRobust("lh5", three.bytes, Repeat(0, 4));

    BitWriter two;
    two.Put(4, 16);
    two.Put(2, 5);
    PutPtLength(two, 1);
    PutPtLength(two, 1);
    two.Put(5, 9);
    two.PutText("1");  // symbol 1: a run of 3 + 2
    two.Put(2, 4);
    two.Put(0, 4);
    two.Put(0, 4);
    ExpectDecodes("lh5", two.bytes, Repeat(0, 4));
}

TEST_F(DecoderTest, StaticMalformedBlockHeadersAreDamage)
{
    auto header = [](uint32_t ptCount) {
        BitWriter w;
        w.Put(1, 16);
        w.Put(ptCount, 5);
        return w;
    };
    // More code-length symbols than 19.
    BitWriter w = header(20);
    for (int i = 0; i < 20; i++)
        PutPtLength(w, 5);
    ExpectDamaged("lh5", w.bytes, 1);

    // A length of 17.
    w = header(1);
    PutPtLength(w, 17);
    ExpectDamaged("lh5", w.bytes, 1);

    // 511 literal lengths.
    w = header(0);
    w.Put(0, 5);
    w.Put(511, 9);
    ExpectDamaged("lh5", w.bytes, 1);

    // After one length of 1, a zero run of 20 + 489 ends at symbol 510
    // and is accepted; one more zero is damage.
    auto run = [&](uint32_t extra) {
        BitWriter r = header(4);
        PutPtLength(r, 0);
        PutPtLength(r, 0);
        PutPtLength(r, 1);
        r.Put(0, 2);
        PutPtLength(r, 1);
        r.Put(510, 9);
        r.PutText("1 0");
        r.Put(extra, 9);
        r.Put(0, 8);  // position constant 0; literal 0 costs the bit "0"
        return r.bytes;
    };
    ExpectDecodes("lh5", run(489), Bytes{0});
    ExpectDamaged("lh5", run(490), 1);

    // 15 position lengths for -lh5- (14 symbols); -lh6- takes 15. The
    // lengths form a complete code of 14 symbols.
    auto positions = [](int pbit) {
        BitWriter p;
        PutConstantBlock(p, 1, 0, 'k', 0, pbit);
        p.Put(1, 16);
        p.Put(0, 5);
        p.Put(0, 5);
        p.Put(0, 9);
        p.Put(256, 9);
        p.Put(15, pbit);
        for (int i = 0; i < 14; i++)
            PutPtLength(p, i == 13 ? 13 : i + 1);
        PutPtLength(p, 0);
        p.PutText("0");  // symbol 0: distance 1
        return p.bytes;
    };
    ExpectDamaged("lh5", positions(4), 4);
    ExpectDecodes("lh6", positions(5), Text("kkkk"));
}

TEST_F(DecoderTest, StaticConstantsBeyondTheirTablesAreDamageWhenUsed)
{
    // A code-length constant of 19 would give a literal length of 17.
    BitWriter w;
    w.Put(1, 16);
    w.Put(0, 5);
    w.Put(19, 5);
    w.Put(1, 9);
    ExpectDamaged("lh5", w.bytes, 1);
    // 18 gives length 16: the single literal 0 then has an incomplete code.
    BitWriter w18;
    w18.Put(1, 16);
    w18.Put(0, 5);
    w18.Put(18, 5);
    w18.Put(1, 9);
    ExpectDamaged("lh5", w18.bytes, 1);
    // Unused (the literal code is a constant), a large one does no harm.
    BitWriter unused;
    PutConstantBlock(unused, 2, 31, 'u', 0);
    ExpectDecodes("lh5", unused.bytes, Text("uu"));

    // A position constant of 18 would need 17 extra bits; 17 needs 16 and
    // reaches 2^16 + e + 1 back, the same window place as e + 1.
    BitWriter p18;
    PutConstantBlock(p18, 1, 0, 'p', 0, 5);
    PutConstantBlock(p18, 1, 0, 256, 18, 5);
    p18.Put(0, 16);
    p18.Put(0, 16);
    ExpectDamaged("lh6", p18.bytes, 4);
    BitWriter p17;
    PutConstantBlock(p17, 1, 0, 'p', 0, 5);
    PutConstantBlock(p17, 1, 0, 256, 17, 5);
    p17.Put(0, 16);
    ExpectDecodes("lh6", p17.bytes, Text("pppp"));
    // Unused, it does no harm either.
    BitWriter idle;
    PutConstantBlock(idle, 3, 0, 'i', 31, 5);
    ExpectDecodes("lh6", idle.bytes, Text("iii"));
}

TEST_F(DecoderTest, StaticEndAcceptsEightLeftOverBitsButNotNine)
{
    // {'x': "0"} as above; each literal takes one bit, so the number of
    // literals sets the bits left over in the last byte.
    auto stream = [](int literals, size_t *headerBits) {
        BitWriter w;
        w.Put(0, 16);
        PutZeroRunOrLengthOneCode(w);
        w.Put(121, 9);
        w.PutText("0");
        w.Put(100, 9);
        w.PutText("1");
        w.Put(0, 4);
        w.Put(0, 4);
        *headerBits = w.bits;
        for (int i = 0; i < literals; i++)
            w.Put(0, 1);
        return w;
    };
    size_t headerBits;
    stream(0, &headerBits);
    int fill = (int)((8 - headerBits % 8) % 8);
    int literals = fill + 16;  // ends on a byte boundary
    BitWriter exact = stream(literals, &headerBits);
    ExpectDecodes("lh5", exact.bytes, Repeat('x', (size_t)literals));
    Bytes eight = exact.bytes;
    eight.push_back(0);
    ExpectDecodes("lh5", eight, Repeat('x', (size_t)literals));
    // One literal less: 1 fill bit and the extra byte make 9.
    ExpectDamaged("lh5", eight, (uint32_t)literals - 1);
    // A code cut short in the last byte's padding is damage too.
    ExpectDamaged("lh5", exact.bytes, (uint32_t)literals + 1);
}

// ---- Deep tables: codes up to 16 bits in all three tables, far matches.

std::vector<uint32_t> CanonicalCodes(const std::vector<int> &lengths)
{
    std::vector<uint32_t> codes(lengths.size(), 0);
    uint32_t code = 0;
    for (int len = 1; len <= 16; len++) {
        for (size_t s = 0; s < lengths.size(); s++)
            if (lengths[s] == len)
                codes[s] = code++;
        code <<= 1;
    }
    return codes;
}

struct StaticCodes {
    std::vector<int> lengthLengths, literalLengths, positionLengths;
    std::vector<uint32_t> lengthCodes, literalCodes, positionCodes;
};

void PutCode(BitWriter &w, const std::vector<int> &lengths, const std::vector<uint32_t> &codes,
             uint32_t symbol)
{
    ASSERT_GT(lengths[symbol], 0) << "symbol " << symbol << " has no code";
    w.Put(codes[symbol], lengths[symbol]);
}

// A block header carrying real codes for all three parts; zero literal
// lengths go out as the three kinds of run.
void PutBlockHeader(BitWriter &w, uint32_t count, StaticCodes &c, int pbit)
{
    c.lengthCodes = CanonicalCodes(c.lengthLengths);
    c.literalCodes = CanonicalCodes(c.literalLengths);
    c.positionCodes = CanonicalCodes(c.positionLengths);
    w.Put(count, 16);
    w.Put(19, 5);
    for (int i = 0; i < 19; i++) {
        PutPtLength(w, c.lengthLengths[i]);
        if (i == 2)
            w.Put(0, 2);
    }
    int n = 510;
    while (c.literalLengths[n - 1] == 0)
        n--;
    w.Put((uint32_t)n, 9);
    for (int i = 0; i < n;) {
        int run = 0;
        while (i + run < n && c.literalLengths[i + run] == 0)
            run++;
        if (run >= 20) {
            run = run > 531 ? 531 : run;
            PutCode(w, c.lengthLengths, c.lengthCodes, 2);
            w.Put((uint32_t)run - 20, 9);
        } else if (run >= 3) {
            run = run > 18 ? 18 : run;
            PutCode(w, c.lengthLengths, c.lengthCodes, 1);
            w.Put((uint32_t)run - 3, 4);
        } else if (run >= 1) {
            run = 1;
            PutCode(w, c.lengthLengths, c.lengthCodes, 0);
        } else {
            PutCode(w, c.lengthLengths, c.lengthCodes, (uint32_t)c.literalLengths[i] + 2);
            run = 1;
        }
        i += run;
    }
    w.Put((uint32_t)c.positionLengths.size(), pbit);
    for (int len : c.positionLengths)
        PutPtLength(w, len);
}

void PutMatch(BitWriter &w, const StaticCodes &c, int length, uint32_t distance)
{
    PutCode(w, c.literalLengths, c.literalCodes, (uint32_t)length + 253);
    uint32_t offset = distance - 1;
    uint32_t p = 0;
    while (p < 17 && (offset >> p) != 0)
        p++;
    PutCode(w, c.positionLengths, c.positionCodes, p);
    if (p >= 2)
        w.Put(offset - (1u << (p - 1)), (int)p - 1);
}

struct Lcg {
    uint32_t state;
    uint32_t Next(uint32_t bound)
    {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    }
};

TEST_F(DecoderTest, StaticDeepTablesAndFarMatches)
{
    for (int lh6 = 0; lh6 <= 1; lh6++) {
        SCOPED_TRACE(lh6 ? "lh6" : "lh5");
        int np = lh6 ? 17 : 14;
        StaticCodes c;
        // Code-length code: 13 symbols of 4 bits, 6 of 5 bits; its 16-bit
        // variant below gives the 7-bit table two more levels.
        c.lengthLengths.assign(19, 4);
        for (int i = 13; i < 19; i++)
            c.lengthLengths[i] = 5;
        // Literals: 255 of 8 bits; one 8-bit slot split into a chain of
        // 9..16 bits (255, then lengths 3..10).
        c.literalLengths.assign(510, 0);
        for (int i = 0; i < 255; i++)
            c.literalLengths[i] = 8;
        for (int i = 0; i < 8; i++)
            c.literalLengths[255 + i] = 9 + i;
        c.literalLengths[263] = 16;
        // Positions: 1, 2, ..., np - 1, np - 1 bits.
        for (int i = 0; i < np; i++)
            c.positionLengths.push_back(i == np - 1 ? np - 1 : i + 1);

        BitWriter w;
        WindowModel model(Repeat(' ', 65536));
        Lcg rng = {(uint32_t)(7 + lh6)};
        uint32_t maxDistance = lh6 ? 65536 : 8192;
        const int blocks = 4, codesPerBlock = 12000;
        for (int b = 0; b < blocks; b++) {
            StaticCodes blockCodes = c;
            if (b % 2 == 1) {
                // A deep code-length code: 1..13, 15, 15 and four 16-bit
                // codes, the most used symbol (10: literal length 8) among
                // those, so its 7-bit table takes three levels.
                const int order[19] = {0, 2, 11, 12, 13, 14, 15, 16, 17, 18,
                                       1, 3, 4, 5, 6, 7, 8, 9, 10};
                const int lengths[19] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                         11, 12, 13, 15, 15, 16, 16, 16, 16};
                for (int i = 0; i < 19; i++)
                    blockCodes.lengthLengths[order[i]] = lengths[i];
            }
            PutBlockHeader(w, codesPerBlock, blockCodes, lh6 ? 5 : 4);
            for (int i = 0; i < codesPerBlock; i++) {
                if (rng.Next(3) != 0) {
                    uint32_t lit = rng.Next(256);
                    PutCode(w, blockCodes.literalLengths, blockCodes.literalCodes, lit);
                    model.Literal((uint8_t)lit);
                } else {
                    int length = 3 + (int)rng.Next(8);
                    uint32_t d;
                    switch (rng.Next(4)) {
                    case 0: d = 1 + rng.Next(4); break;
                    case 1: d = maxDistance - rng.Next(4); break;
                    default: d = 1 + rng.Next(maxDistance); break;
                    }
                    PutMatch(w, blockCodes, length, d);
                    model.Match(d, length);
                }
            }
        }
        ASSERT_GT(model.out.size(), 65536u);
        ExpectDecodes(lh6 ? "lh6" : "lh5", w.bytes, model.out);
        // Cut and flipped at sampled places only: the stream is long.
        ExpectRobust(lh6 ? "lh6" : "lh5", w.bytes, model.out, w.bytes.size() * 8 / 61,
                     w.bytes.size() / 23);
    }
}

// ======================================================================
// -lh1-

// The adaptive code as the encoder side sees it: a symbol's code is the
// path from the root to its leaf, and both sides update alike.
struct Lh1Model {
    enum { N = 314, T = 627, R = 626 };
    uint16_t freq[T + 1], child[T], parent[T + N];
    int rebuilds = 0;
    int longestCode = 0;

    Lh1Model()
    {
        for (int s = 0; s < N; s++) {
            freq[s] = 1;
            child[s] = (uint16_t)(s + T);
            parent[s + T] = (uint16_t)s;
        }
        for (int i = 0, j = N; j < T; i += 2, j++) {
            freq[j] = (uint16_t)(freq[i] + freq[i + 1]);
            child[j] = (uint16_t)i;
            parent[i] = parent[i + 1] = (uint16_t)j;
        }
        freq[T] = 0xFFFF;
        parent[R] = 0;
    }

    void Halve()
    {
        rebuilds++;
        int j = 0;
        for (int i = 0; i < T; i++)
            if (child[i] >= T) {
                freq[j] = (uint16_t)((freq[i] + 1) / 2);
                child[j++] = child[i];
            }
        for (int i = 0, j = N; j < T; i += 2, j++) {
            unsigned f = freq[i] + freq[i + 1];
            int k = j;
            while (k > 0 && f < freq[k - 1])
                k--;
            memmove(&freq[k + 1], &freq[k], (size_t)(j - k) * sizeof freq[0]);
            memmove(&child[k + 1], &child[k], (size_t)(j - k) * sizeof child[0]);
            freq[k] = (uint16_t)f;
            child[k] = (uint16_t)i;
        }
        for (int i = 0; i < T; i++) {
            if (child[i] >= T)
                parent[child[i]] = (uint16_t)i;
            else
                parent[child[i]] = parent[child[i] + 1] = (uint16_t)i;
        }
    }

    void Count(int s)
    {
        if (freq[R] == 0x8000)
            Halve();
        // Node 0 is a leaf, so the loop tests for the root's parent (0)
        // only after counting a node.
        int c = parent[s + T];
        do {
            unsigned k = ++freq[c];
            if (k <= freq[c + 1]) {
                c = parent[c];
                continue;
            }
            int l = c + 1;
            while (k > freq[l + 1])
                l++;
            freq[c] = freq[l];
            freq[l] = (uint16_t)k;
            int i = child[c], j = child[l];
            parent[i] = (uint16_t)l;
            if (i < T)
                parent[i + 1] = (uint16_t)l;
            child[l] = (uint16_t)i;
            parent[j] = (uint16_t)c;
            if (j < T)
                parent[j + 1] = (uint16_t)c;
            child[c] = (uint16_t)j;
            c = parent[l];
        } while (c != 0);
    }

    void Put(BitWriter &w, int s)
    {
        std::vector<int> path;
        for (int c = parent[s + T]; c != R; c = parent[c])
            path.push_back(c - child[parent[c]]);
        for (size_t i = path.size(); i-- > 0;)
            w.Put((uint32_t)path[i], 1);
        if ((int)path.size() > longestCode)
            longestCode = (int)path.size();
        Count(s);
    }
};

// Upper 6 bits as a prefix code of 3..8 bits, then the lower 6 bits.
void PutLh1Position(BitWriter &w, uint32_t position)
{
    static const int first[7] = {0, 1, 4, 12, 24, 48, 64};
    static const int firstIndex[6] = {0x00, 0x20, 0x50, 0x90, 0xC0, 0xF0};
    uint32_t high = position >> 6;
    for (int n = 3; n <= 8; n++) {
        if ((int)high < first[n - 2]) {
            uint32_t index = (uint32_t)firstIndex[n - 3] + ((high - (uint32_t)first[n - 3]) << (8 - n));
            w.Put(index >> (8 - n), n);
            break;
        }
    }
    w.Put(position & 0x3F, 6);
}

// The 60 window bytes below the 4,036 spaces keep what they held.
Bytes Lh1Before()
{
    Bytes before(4096, ' ');
    for (int i = 0; i < 60; i++)
        before[(size_t)i] = window[61440 + i];
    return before;
}

void MarkUnsetWindowBytes()
{
    for (int i = 0; i < 60; i++)
        window[61440 + i] = (uint8_t)(0xC0 + i);
}

TEST_F(DecoderTest, Lh1FreshTreeCodes)
{
    BitWriter w;
    w.PutText("110001100");
    ExpectDecodes("lh1", w.bytes, Bytes{0x00});
    BitWriter ff;
    ff.PutText("10001011");
    ExpectDecodes("lh1", ff.bytes, Bytes{0xFF});
    // Symbol 256, a match of length 3, then position 0: the last space.
    BitWriter m;
    m.PutText("10001100 000 000000");
    ExpectDecodes("lh1", m.bytes, Text("   "));

    // The model agrees with those codes and with the 198/116 split of
    // 8- and 9-bit codes.
    int lengths[2] = {0, 0};
    for (int s = 0; s < 314; s++) {
        Lh1Model fresh;
        BitWriter code;
        fresh.Put(code, s);
        ASSERT_TRUE(code.bits == 8 || code.bits == 9);
        lengths[code.bits - 8]++;
        if (s == 0) {
            EXPECT_EQ(code.bytes, (Bytes{0xC6, 0x00}));
        } else if (s == 255) {
            EXPECT_EQ(code.bytes, Bytes{0x8B});
        } else if (s == 256) {
            EXPECT_EQ(code.bytes, Bytes{0x8C});
        }
    }
    EXPECT_EQ(lengths[0], 198);
    EXPECT_EQ(lengths[1], 116);
}

TEST_F(DecoderTest, Lh1PositionsAndTheDictionaryBeforeTheFirstByte)
{
    MarkUnsetWindowBytes();
    // A first match at position 4095 reads the oldest unset bytes.
    BitWriter w;
    w.PutText("10001100 11111111 111111");
    Bytes before = Lh1Before();
    ExpectDecodes("lh1", w.bytes, Bytes(before.begin(), before.begin() + 3));

    // Length 60 from 4095 copies all 60; then position 11 (0x05, then 1)
    // and position 4032 + e (0xFF, then e) read them back.
    MarkUnsetWindowBytes();
    Lh1Model model;
    BitWriter p;
    WindowModel out(Lh1Before());
    model.Put(p, 313);
    PutLh1Position(p, 4095);
    out.Match(4096, 60);
    model.Put(p, 256);
    p.PutText("00000101 1");
    out.Match(12, 3);
    model.Put(p, 256 + 2);
    p.PutText("11111111 101001");
    out.Match(4032 + 41 + 1, 5);
    ExpectDecodes("lh1", p.bytes, out.out);
    ExpectRobust("lh1", p.bytes, out.out);
}

TEST_F(DecoderTest, Lh1LongMemberRebuildsItsTree)
{
    MarkUnsetWindowBytes();
    Lh1Model model;
    BitWriter w;
    WindowModel out(Lh1Before());
    auto literal = [&](int s) {
        model.Put(w, s);
        out.Literal((uint8_t)s);
    };
    // Nine symbols counted 200, 324, 524, ... (each count the sum of the
    // two before) stack the tree into a chain, leaving the symbols never
    // seen 18 levels deep: their codes take more than one 16-bit look.
    std::vector<int> left = {200, 324};
    while (left.size() < 9)
        left.push_back(left[left.size() - 1] + left[left.size() - 2]);
    for (bool any = true; any;) {
        any = false;
        for (int k = 8; k >= 0; k--) {
            if (left[(size_t)k] > 0) {
                left[(size_t)k]--;
                literal('A' + k);
                any = true;
            }
        }
    }
    for (int s = 0; s < 40; s++)
        literal(s);
    EXPECT_GT(model.longestCode, 16);

    // Then literals and matches to 52,000 symbols: two rebuilds, the first
    // at the start of the update for the 32,455th symbol.
    Lcg rng = {12345};
    int symbolsSoFar = (int)out.out.size();  // literals only up to here
    for (int i = symbolsSoFar; i < 52000; i++) {
        if (i == 32454) {
            EXPECT_EQ(model.rebuilds, 0);
        }
        if (rng.Next(8) == 0) {
            int length = 3 + (int)rng.Next(58);
            uint32_t position = rng.Next(4096);
            model.Put(w, length + 253);
            PutLh1Position(w, position);
            out.Match(position + 1, length);
        } else {
            literal((int)rng.Next(256));
        }
        if (i == 32454) {
            EXPECT_EQ(model.rebuilds, 1);
        }
    }
    EXPECT_EQ(model.rebuilds, 2);
    ExpectDecodes("lh1", w.bytes, out.out);
    Bytes cut(w.bytes.begin(), w.bytes.end() - 1);
    ExpectDamaged("lh1", cut, (uint32_t)out.out.size());
}

// ======================================================================
// -lzs-, -lz5-: a ring with slots named absolutely, as the format sees it.

struct RingModel {
    Bytes ring;
    uint32_t next;
    Bytes out;

    RingModel(const Bytes &initial, uint32_t start) : ring(initial), next(start) {}
    void Literal(uint8_t c)
    {
        out.push_back(c);
        ring[next++ % ring.size()] = c;
    }
    void Match(uint32_t slot, int length)
    {
        for (int i = 0; i < length; i++)
            Literal(ring[(slot + (uint32_t)i) % ring.size()]);
    }
};

RingModel LzsRing() { return RingModel(Repeat(' ', 2048), 2048 - 17); }

// Ring slot r starts out with the byte at offset (r + 18) mod 4096 of the
// pattern: 18 spaces, each byte 13 times, 0..255, 255..0, 128 zeros, 110
// spaces.
RingModel Lz5Ring()
{
    Bytes pattern(18, ' ');
    for (int b = 0; b < 256; b++)
        pattern.insert(pattern.end(), 13, (uint8_t)b);
    for (int b = 0; b < 256; b++)
        pattern.push_back((uint8_t)b);
    for (int b = 255; b >= 0; b--)
        pattern.push_back((uint8_t)b);
    pattern.insert(pattern.end(), 128, 0);
    pattern.insert(pattern.end(), 110, ' ');
    Bytes ring(4096);
    for (uint32_t r = 0; r < 4096; r++)
        ring[r] = pattern[(r + 18) % 4096];
    return RingModel(ring, 4096 - 18);
}

TEST_F(DecoderTest, LzsItemsAndRingSlots)
{
    // Position 2030 with length field 0 at the start: two spaces.
    BitWriter w;
    w.PutText("0 11111101110 0000");
    ExpectDecodes("lzs", w.bytes, Text("  "));

    // Literals, then slots naming them, overlapping their own output.
    RingModel model = LzsRing();
    BitWriter m;
    auto literal = [&](uint8_t c) {
        m.Put(1, 1);
        m.Put(c, 8);
        model.Literal(c);
    };
    auto match = [&](uint32_t slot, int length) {
        m.Put(0, 1);
        m.Put(slot, 11);
        m.Put((uint32_t)length - 2, 4);
        model.Match(slot, length);
    };
    for (const char *s = "ABCDE"; *s; s++)
        literal((uint8_t)*s);
    match((2 - 17) & 0x7FF, 3);
    match((7 - 17) & 0x7FF, 17);
    match(2000, 5);
    literal('z');
    EXPECT_EQ(std::string(model.out.begin(), model.out.begin() + 8), "ABCDECDE");
    ExpectDecodes("lzs", m.bytes, model.out);
    ExpectRobust("lzs", m.bytes, model.out);

    // A slot naming the byte about to be written (distance 0) copies the
    // window's old bytes there onto themselves, not the ring's content.
    memcpy(window, "WXYZ", 4);
    BitWriter zero;
    zero.Put(0, 1);
    zero.Put(2031, 11);
    zero.Put(4 - 2, 4);
    ExpectDecodes("lzs", zero.bytes, Text("WXYZ"));

    // The 2,048-byte reach wraps past the window's end for long members.
    RingModel big = LzsRing();
    BitWriter b;
    Lcg rng = {99};
    while (big.out.size() < 70000) {
        if (rng.Next(2)) {
            uint8_t c = (uint8_t)rng.Next(256);
            b.Put(1, 1);
            b.Put(c, 8);
            big.Literal(c);
        } else {
            uint32_t slot = rng.Next(2048);
            if (slot == big.next % 2048)
                slot = (slot + 1) % 2048;  // distance 0 is tested above
            int length = 2 + (int)rng.Next(16);
            b.Put(0, 1);
            b.Put(slot, 11);
            b.Put((uint32_t)length - 2, 4);
            big.Match(slot, length);
        }
    }
    ExpectDecodes("lzs", b.bytes, big.out);
}

TEST_F(DecoderTest, Lz5InitialRingAndFlagBytes)
{
    auto single = [](uint32_t slot, int length) {
        BitWriter w;
        w.Put(0x00, 8);
        w.Put(slot & 0xFF, 8);
        w.Put(((slot >> 8) << 4) | (uint32_t)(length - 3), 8);
        return w.bytes;
    };
    // Position 0, length field 10: thirteen zero bytes.
    ExpectDecodes("lz5", single(0, 13), Repeat(0, 13));
    // Position 3328: the ascending run.
    Bytes ascending;
    for (int i = 0; i < 18; i++)
        ascending.push_back((uint8_t)i);
    ExpectDecodes("lz5", single(3328, 18), ascending);
    // Position 4077 is the slot just before the first byte: the last space,
    // repeated by the overlap.
    ExpectDecodes("lz5", single(4077, 5), Text("     "));
    // The descending run, and the zeros before the spaces.
    RingModel model = Lz5Ring();
    model.Match(3584, 4);
    ExpectDecodes("lz5", single(3584, 4), model.out);
    EXPECT_EQ(model.out, (Bytes{255, 254, 253, 252}));
    RingModel edge = Lz5Ring();
    edge.Match(3962, 10);
    ExpectDecodes("lz5", single(3962, 10), edge.out);
    EXPECT_EQ(edge.out, (Bytes{0, 0, 0, 0, 0, 0, ' ', ' ', ' ', ' '}));
    // Slot 4078 at the start is distance 0: the window's old bytes.
    memcpy(window, "old bytes", 9);
    ExpectDecodes("lz5", single(4078, 9), Text("old bytes"));

    // Flags are read from bit 0 up, one byte per eight items; a member may
    // stop in the middle of a flag byte.
    RingModel m = Lz5Ring();
    BitWriter w;
    const uint32_t flags[] = {0xFF, 0x00, 0xA5, 0x3C, 0x01};
    Lcg rng = {5};
    for (int group = 0; group < 5; group++) {
        w.Put(flags[group], 8);
        int items = group == 4 ? 3 : 8;
        for (int i = 0; i < items; i++) {
            if ((flags[group] >> i) & 1) {
                uint8_t c = (uint8_t)rng.Next(256);
                w.Put(c, 8);
                m.Literal(c);
            } else {
                uint32_t slot = rng.Next(4096);
                if (slot == m.next % 4096)
                    slot = (slot + 1) % 4096;  // distance 0 is tested above
                int length = 3 + (int)rng.Next(16);
                w.Put(slot & 0xFF, 8);
                w.Put(((slot >> 8) << 4) | (uint32_t)(length - 3), 8);
                m.Match(slot, length);
            }
        }
    }
    ExpectDecodes("lz5", w.bytes, m.out);
    ExpectRobust("lz5", w.bytes, m.out, 3);
}

// ======================================================================
// Every decoder: size 0 ends before the first read; the end check and the
// output bound hold whichever decoder runs.

TEST_F(DecoderTest, EmptyMembersAndOverlongOutput)
{
    for (const char *method : {"lh1", "lh4", "lh5", "lh6", "lzs", "lz5"}) {
        SCOPED_TRACE(method);
        Outcome none = Decode(method, Bytes{}, 0);
        EXPECT_EQ(none.exit, Done);
        EXPECT_EQ(none.result, 1);
        EXPECT_TRUE(none.output.empty());
        EXPECT_EQ(Decode(method, Bytes{0xFF}, 0).exit, Done);
        EXPECT_EQ(Decode(method, Bytes{0x00, 0x00}, 0).exit, Damaged);
    }
    // A match running past the original size: the file is cut there.
    BitWriter w;
    PutConstantBlock(w, 1, 0, 'a', 0);
    PutConstantBlock(w, 1, 0, 266, 0);  // length 13
    Outcome o = Decode("lh5", w.bytes, 5);
    EXPECT_EQ(o.exit, Damaged);
    EXPECT_EQ(o.output, Text("aaaaa"));
}

}  // namespace
