// `corvane-sfx make` and `seal`: the file they write is one the extractor
// accepts, and what the stub could not unpack is refused before anything is
// written. (Sealing a signed file is the signing test's.)
#include <gtest/gtest.h>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

namespace {

const size_t kPeOffset = 0x80;
const size_t kCheckSumField = kPeOffset + 24 + 64;

// A stand-in for a stub: PE headers up to the CheckSum field in filler that
// holds no "-" (no stray archive candidates).
std::string FakeStub(size_t size)
{
    std::string stub = lzh::SelfExtracting("", size, size);
    std::string pe;
    lzh::Put32(pe, kPeOffset);
    stub.replace(0, 2, "MZ");
    stub.replace(0x3C, 4, pe);
    stub.replace(kPeOffset, 4, std::string("PE\0\0", 4));
    stub.replace(kPeOffset + 24, 2, "\x0b\x01");  // a PE32 optional header
    return stub;
}

std::string SampleArchive()
{
    return lzh::Archive({lzh::Stored("readme.txt", "read me\r\n"),
                         lzh::Stored("docs/guide.txt", std::string(3000, 'g'), 1),
                         lzh::Stored("data.bin", std::string("\0\1\2\3", 4), 2)});
}

class MakeSealTest : public CliTest {
protected:
    RunResult Make(const std::string &stub, const std::string &archive)
    {
        return Cli({"make", "--stub", Write("stub.exe", stub), "-o", Path("out.exe"), Write("in.lzh", archive)});
    }
};

TEST_F(MakeSealTest, StubIsSealedPaddedToA512MultipleAndFollowedByTheArchive)
{
    const struct {
        size_t stubSize;
        std::string archive;
    } cases[] = {{1000, SampleArchive()}, {1024, SampleArchive()}, {65536, SampleArchive()}, {700, std::string(1, '\0')}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stubSize);
        std::string stub = FakeStub(c.stubSize);
        ASSERT_EQ(Make(stub, c.archive).exitCode, 0);
        std::string sfx = Read(Path("out.exe"));
        size_t at = (c.stubSize + 511) / 512 * 512;
        ASSERT_EQ(sfx.size(), at + c.archive.size());
        EXPECT_EQ(sfx.substr(at), c.archive);
        EXPECT_EQ(sfx.substr(c.stubSize, at - c.stubSize), std::string(at - c.stubSize, '\0'));
        // The adjustment word alone differs from the stub as given.
        EXPECT_EQ(sfx.substr(0, kCheckSumField), stub.substr(0, kCheckSumField));
        EXPECT_EQ(sfx.substr(kCheckSumField + 4, c.stubSize - kCheckSumField - 4), stub.substr(kCheckSumField + 4));
        struct stat st;
        ASSERT_EQ(stat(Path("out.exe").c_str(), &st), 0);
        EXPECT_NE(st.st_mode & 0100, 0u) << "a program should be executable";

        // The extractor finds the archive and accepts the stub's sum.
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
        RunResult x = Extract(Path("out.exe"));
        EXPECT_EQ(x.exitCode, 0) << Describe(x);
        EXPECT_EQ(Read(Path("out/docs/guide.txt")), c.archive.size() > 1 ? std::string(3000, 'g') : "");
        EXPECT_EQ(CountEntries(Path("out")), c.archive.size() > 1 ? 4 : 0);
    }
}

TEST_F(MakeSealTest, RefusesMethodsTheStubCannotUnpack)
{
    lzh::Member lh7 = lzh::Stored("new.txt", "seven"), pm2 = lzh::Stored("odd/thing.bin", "x", 1),
                lh2 = lzh::Stored("two.txt", "2");
    lh7.method = "-lh7-";
    pm2.method = "-pm2-";
    lh2.method = "-lh2-";
    RunResult r = Make(FakeStub(1000), lzh::Archive({lzh::Stored("fine.txt", "ok"), lh7, pm2, lh2}));
    EXPECT_EQ(r.exitCode, 1);
    for (const char *named : {"new.txt (-lh7-)", "odd/thing.bin (-pm2-)", "two.txt (-lh2-)"})
        EXPECT_NE(r.err.find(named), std::string::npos) << named << " in: " << r.err;
    EXPECT_EQ(r.err.find("fine.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Path("out.exe")));
}

TEST_F(MakeSealTest, RefusesArchivesAndStubsThatWouldNotWork)
{
    std::string good = SampleArchive();
    std::string big = lzh::Archive({lzh::Stored("big.txt", std::string(3000, 'b'))});
    std::string badSum = good, notPe = FakeStub(2000), decoy = FakeStub(3000);
    badSum[1] ^= 1;  // the first header's checksum
    notPe[kPeOffset] = 'X';
    // A header at a multiple of 512 inside the stub would be unpacked instead.
    std::string decoyMember = lzh::Archive({lzh::Stored("x", "decoy")}, false);
    decoy.replace(1024, decoyMember.size(), decoyMember);
    const struct {
        std::string stub, archive;
        const char *message;  // null: accepted
    } cases[] = {
        {FakeStub(1000), "This is no archive at all.\n", "is not an LHA archive"},
        {FakeStub(1000), "", "is not an LHA archive"},
        {FakeStub(1000), badSum, "is not an LHA archive"},
        {FakeStub(1000), big.substr(0, big.size() - 100), "big.txt is cut short"},
        {FakeStub(1000), good.substr(0, good.size() - 10), "damaged member header"},
        {FakeStub(1000), good + "junk", nullptr},
        {FakeStub(65537), good, "65537 bytes"},
        {notPe, good, "not a Windows program"},
        {decoy, good, "would not find the archive"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message ? c.message : "accepted");
        remove(Path("out.exe").c_str());
        RunResult r = Make(c.stub, c.archive);
        EXPECT_EQ(r.exitCode, c.message ? 1 : 0) << Describe(r);
        EXPECT_EQ(Exists(Path("out.exe")), !c.message);
        if (c.message) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
    }
}

TEST_F(MakeSealTest, SealWithoutArchive)
{
    std::string plain = FakeStub(5000);
    Write("plain.exe", plain);
    RunResult r = Cli({"seal", Path("plain.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no LHA archive"), std::string::npos) << r.err;
    EXPECT_EQ(Read(Path("plain.exe")), plain);
}

}  // namespace
