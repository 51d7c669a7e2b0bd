// `corvane-sfx make` and `corvane-sfx seal`: the self-extracting file they
// write must be one the extractor accepts (found archive, intact stub), and
// what the stub could not unpack must be refused before anything is written.
#include <gtest/gtest.h>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

namespace {

const size_t kPeOffset = 0x80;
const size_t kCheckSumField = kPeOffset + 24 + 64;

// A stand-in for a stub: the PE headers up to the CheckSum field, then
// pseudo-random filler without "-" bytes (no stray archive candidates).
std::string FakeStub(size_t size)
{
    std::string stub(size, '\0');
    uint32_t seed = (uint32_t)size;
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245 + 12345;
        char c = (char)(seed >> 16);
        stub[i] = c == '-' ? '+' : c;
    }
    stub[0] = 'M';
    stub[1] = 'Z';
    std::string pe;
    lzh::Put32(pe, kPeOffset);
    stub.replace(0x3C, 4, pe);
    stub.replace(kPeOffset, 4, std::string("PE\0\0", 4));
    stub[kPeOffset + 24] = 0x0B;  // PE32 optional header
    stub[kPeOffset + 25] = 0x01;
    return stub;
}

// XOR of the bytes as little-endian 32-bit words, as the stub checks itself.
uint32_t WordXor(const std::string &bytes, size_t length)
{
    uint32_t x = 0;
    for (size_t i = 0; i < length; i++)
        x ^= (uint32_t)(unsigned char)bytes[i] << (8 * (i % 4));
    return x;
}

std::string SampleArchive()
{
    return lzh::Archive({lzh::Stored("readme.txt", "read me\r\n"),
                         lzh::Stored("docs/guide.txt", std::string(3000, 'g'), 1),
                         lzh::Stored("data.bin", std::string("\0\1\2\3", 4), 2)});
}

class MakeSealTest : public CliTest {
protected:
    RunResult Make(const std::string &stub, const std::string &archive, const std::string &out)
    {
        return Cli({"make", "--stub", Write("stub.exe", stub), "-o", Path(out),
                    Write("in.lzh", archive)});
    }
};

// ---- What make writes.

TEST_F(MakeSealTest, StubIsSealedPaddedAndFollowedByTheArchive)
{
    std::string archive = SampleArchive();
    for (size_t stubSize : {1000u, 1024u, 65536u}) {
        SCOPED_TRACE(stubSize);
        std::string stub = FakeStub(stubSize);
        RunResult r = Make(stub, archive, "out.exe");
        ASSERT_EQ(r.exitCode, 0) << Describe(r);
        std::string sfx = Read(Path("out.exe"));
        size_t at = (stubSize + 511) / 512 * 512;
        ASSERT_EQ(sfx.size(), at + archive.size());
        EXPECT_EQ(sfx.substr(at), archive);
        EXPECT_EQ(WordXor(sfx, at), 0u);
        EXPECT_EQ(sfx.substr(stubSize, at - stubSize), std::string(at - stubSize, '\0'));
        // Only the adjustment word differs from the stub as given.
        EXPECT_EQ(sfx.substr(0, kCheckSumField), stub.substr(0, kCheckSumField));
        EXPECT_EQ(sfx.substr(kCheckSumField + 4, stubSize - kCheckSumField - 4),
                  stub.substr(kCheckSumField + 4));
        struct stat st;
        ASSERT_EQ(stat(Path("out.exe").c_str(), &st), 0);
        EXPECT_NE(st.st_mode & 0100, 0u) << "a program should be executable";

        // The extractor finds the archive and accepts the stub.
        RunResult x = Extract(Path("out.exe"));
        EXPECT_EQ(x.exitCode, 0) << Describe(x);
        EXPECT_EQ(Read(Path("out/docs/guide.txt")), std::string(3000, 'g'));
        EXPECT_EQ(Read(Path("out/data.bin")), std::string("\0\1\2\3", 4));
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
    }
}

TEST_F(MakeSealTest, ArchiveOfNothingButTheEndMarkIsAccepted)
{
    RunResult r = Make(FakeStub(700), std::string(1, '\0'), "out.exe");
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    RunResult x = Extract(Path("out.exe"));
    EXPECT_EQ(x.exitCode, 0) << Describe(x);
    EXPECT_EQ(CountEntries(Path("out")), 0);
}

// ---- What make refuses, before writing anything.

TEST_F(MakeSealTest, RefusesWhatTheStubCouldNotUnpack)
{
    lzh::Member lh7 = lzh::Stored("new.txt", "seven");
    lh7.method = "-lh7-";
    lzh::Member unknown = lzh::Stored("odd/thing.bin", "x", 1);
    unknown.method = "-pm2-";
    lzh::Member lh2 = lzh::Stored("two.txt", "2");
    lh2.method = "-lh2-";
    std::string archive = lzh::Archive({lzh::Stored("fine.txt", "ok"), lh7, unknown, lh2});
    RunResult r = Make(FakeStub(1000), archive, "out.exe");
    EXPECT_EQ(r.exitCode, 1);
    for (const char *named : {"new.txt (-lh7-)", "odd/thing.bin (-pm2-)", "two.txt (-lh2-)"})
        EXPECT_NE(r.err.find(named), std::string::npos) << named << " in: " << r.err;
    EXPECT_EQ(r.err.find("fine.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Path("out.exe")));
}

TEST_F(MakeSealTest, RefusesInputsThatAreNoUsableArchive)
{
    std::string good = SampleArchive();
    std::string big = lzh::Archive({lzh::Stored("big.txt", std::string(3000, 'b'))});
    std::string badSum = good;
    badSum[1] ^= 1;  // the first header's checksum
    const struct {
        const char *what;
        std::string archive;
        const char *message;
    } cases[] = {
        {"text", "This is no archive at all.\n", "is not an LHA archive"},
        {"empty file", "", "is not an LHA archive"},
        {"bad first header", badSum, "is not an LHA archive"},
        {"cut in the data", big.substr(0, big.size() - 100), "big.txt is cut short"},
        {"cut in a header", good.substr(0, good.size() - 10), "damaged member header"},
        {"end mark then junk is fine", good + "junk", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = Make(FakeStub(1000), c.archive, "out.exe");
        if (!c.message) {
            EXPECT_EQ(r.exitCode, 0) << Describe(r);
            continue;
        }
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(Path("out.exe")));
    }
}

TEST_F(MakeSealTest, RefusesStubsThatCannotCarryTheArchive)
{
    RunResult big = Make(FakeStub(65537), SampleArchive(), "out.exe");
    EXPECT_EQ(big.exitCode, 1);
    EXPECT_NE(big.err.find("65537 bytes"), std::string::npos) << big.err;

    std::string notPe = FakeStub(2000);
    notPe[kPeOffset] = 'X';
    RunResult noPe = Make(notPe, SampleArchive(), "out.exe");
    EXPECT_EQ(noPe.exitCode, 1);
    EXPECT_NE(noPe.err.find("not a Windows program"), std::string::npos) << noPe.err;

    // A stub that holds a member header at a multiple of 512 would have
    // the self-extractor unpack the wrong thing.
    std::string lookalike = FakeStub(3000);
    std::string decoyMember = lzh::Archive({lzh::Stored("x", "decoy")}, false);
    lookalike.replace(1024, decoyMember.size(), decoyMember);
    RunResult decoy = Make(lookalike, SampleArchive(), "out.exe");
    EXPECT_EQ(decoy.exitCode, 1);
    EXPECT_NE(decoy.err.find("would not find the archive"), std::string::npos) << decoy.err;

    EXPECT_FALSE(Exists(Path("out.exe")));
}

TEST_F(MakeSealTest, UsageErrors)
{
    EXPECT_EQ(Cli({"make"}).exitCode, 2);
    EXPECT_EQ(Cli({"make", Write("a.lzh", SampleArchive())}).exitCode, 2);
    EXPECT_EQ(Cli({"make", "-o"}).exitCode, 2);
    EXPECT_EQ(Cli({"make", "--fast", "-o", Path("o.exe"), Path("a.lzh")}).exitCode, 2);
    EXPECT_EQ(Cli({"seal"}).exitCode, 2);
    EXPECT_EQ(Cli({"seal", Path("a"), Path("b")}).exitCode, 2);
}

// ---- seal.

TEST_F(MakeSealTest, SealRestoresTheStubAfterSigning)
{
    ASSERT_EQ(Make(FakeStub(1500), SampleArchive(), "out.exe").exitCode, 0);
    std::string sfx = Read(Path("out.exe"));
    // What a signing tool does: it sets the certificate table's entry in
    // the header and appends the table to the end of the file.
    std::string signedSfx = sfx;
    signedSfx[kPeOffset + 24 + 128] = 0x42;
    signedSfx += std::string(600, '\x5A');
    Write("signed.exe", signedSfx);
    RunResult before = Extract(Path("signed.exe"));
    EXPECT_EQ(before.exitCode, 1);
    EXPECT_NE(before.err.find("The self-extracting archive is damaged."), std::string::npos);

    RunResult r = Cli({"seal", Path("signed.exe")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    std::string sealed = Read(Path("signed.exe"));
    ASSERT_EQ(sealed.size(), signedSfx.size());
    EXPECT_EQ(WordXor(sealed, 1536), 0u);
    // Nothing but the adjustment word changed.
    for (size_t i = 0; i < sealed.size(); i++) {
        if (i < kCheckSumField || i >= kCheckSumField + 4) {
            ASSERT_EQ(sealed[i], signedSfx[i]) << "offset " << i;
        }
    }
    RunResult after = Extract(Path("signed.exe"));
    EXPECT_EQ(after.exitCode, 0) << Describe(after);
    EXPECT_EQ(Read(Path("out/readme.txt")), "read me\r\n");
}

TEST_F(MakeSealTest, SealWithoutArchiveFails)
{
    std::string plain = FakeStub(5000);
    Write("plain.exe", plain);
    RunResult r = Cli({"seal", Path("plain.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no LHA archive"), std::string::npos) << r.err;
    EXPECT_EQ(Read(Path("plain.exe")), plain);
}

}  // namespace
