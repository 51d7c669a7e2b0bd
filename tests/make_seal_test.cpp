#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

namespace {

const size_t kPeOffset = 0x80;
const size_t kCheckSumField = kPeOffset + 24 + 64;

// PE headers up to the CheckSum field, in filler without stray candidates.
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
    const std::pair<size_t, std::string> cases[] = {
        {1000, SampleArchive()}, {1024, SampleArchive()}, {65536, SampleArchive()}, {700, std::string(1, '\0')}};
    for (const auto &[stubSize, archive] : cases) {
        SCOPED_TRACE(stubSize);
        std::string stub = FakeStub(stubSize);
        ASSERT_EQ(Make(stub, archive).exitCode, 0);
        std::string sfx = Read(Path("out.exe"));
        size_t at = (stubSize + 511) / 512 * 512;
        ASSERT_EQ(sfx.size(), at + archive.size());
        EXPECT_EQ(sfx.substr(at), archive);
        EXPECT_EQ(sfx.substr(stubSize, at - stubSize), std::string(at - stubSize, '\0'));
        EXPECT_EQ(sfx.substr(0, kCheckSumField), stub.substr(0, kCheckSumField));
        EXPECT_EQ(sfx.substr(kCheckSumField + 4, stubSize - kCheckSumField - 4), stub.substr(kCheckSumField + 4));
        EXPECT_NE(std::filesystem::status(Path("out.exe")).permissions() & std::filesystem::perms::owner_exec,
                  std::filesystem::perms::none);

        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
        RunResult x = Extract(Path("out.exe"));
        EXPECT_EQ(x.exitCode, 0) << Describe(x);
        EXPECT_EQ(Read(Path("out/docs/guide.txt")), archive.size() > 1 ? std::string(3000, 'g') : "");
        EXPECT_EQ(CountEntries(Path("out")), archive.size() > 1 ? 4 : 0);
    }
}

TEST_F(MakeSealTest, RefusesArchivesAndStubsThatWouldNotWork)
{
    std::vector<lzh::Member> odd = {lzh::Stored("fine.txt", "ok"), lzh::Stored("new.txt", "seven"),
                                    lzh::Stored("odd/thing.bin", "x", 1), lzh::Stored("two.txt", "2")};
    odd[1].method = "-lh7-", odd[2].method = "-pm2-", odd[3].method = "-lh2-";
    RunResult r = Make(FakeStub(1000), lzh::Archive(odd));
    EXPECT_EQ(r.exitCode, 1);
    for (const char *named : {"new.txt (-lh7-)", "odd/thing.bin (-pm2-)", "two.txt (-lh2-)"})
        EXPECT_NE(r.err.find(named), std::string::npos) << named << " in: " << r.err;
    EXPECT_EQ(r.err.find("fine.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Path("out.exe")));

    std::string good = SampleArchive();
    std::string big = lzh::Archive({lzh::Stored("big.txt", std::string(3000, 'b'))});
    std::string badSum = good, notPe = FakeStub(2000), decoy = FakeStub(3000);
    badSum[1] ^= 1;  // the first header's checksum
    notPe[kPeOffset] = 'X';
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
        r = Make(c.stub, c.archive);
        EXPECT_EQ(r.exitCode, c.message ? 1 : 0) << Describe(r);
        EXPECT_EQ(Exists(Path("out.exe")), !c.message);
        EXPECT_TRUE(!c.message || r.err.find(c.message) != std::string::npos) << r.err;
    }
    r = Cli({"seal", Write("plain.exe", FakeStub(5000))});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no LHA archive"), std::string::npos) << r.err;
    EXPECT_EQ(Read(Path("plain.exe")), FakeStub(5000));
}

// A signature leaves the CheckSum field out, where `seal` puts the XOR sum right.
TEST_F(MakeSealTest, SignedSelfExtractorIsResealedAndStillVerifies)
{
    if (FindOnPath("osslsigncode").empty() || FindOnPath("openssl").empty())
        GTEST_SKIP() << "osslsigncode or openssl missing";
    auto shell = [&](const std::string &command) { return RunShell("cd '" + root + "' && " + command + " >/dev/null 2>&1"); };
    ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=Throwaway"), 0);
    RunResult r = Cli({"make", "-o", Path("sfx.exe"), Write("payload.txt", "signed payload\n")});
    if (r.exitCode != 0 && r.err.find("no stub of its own") != std::string::npos)
        GTEST_SKIP() << "built without the Windows stub";
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    ASSERT_EQ(shell("osslsigncode sign -certs cert.pem -key key.pem -in sfx.exe -out signed.exe"), 0);
    r = Cli({"seal", Path("signed.exe")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(shell("osslsigncode verify -CAfile cert.pem signed.exe"), 0) << "the signature must survive the reseal";
    r = Cli({"extract", Path("signed.exe"), "-d", Path("after")});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Read(Path("after/payload.txt")), "signed payload\n");
}

}  // namespace
