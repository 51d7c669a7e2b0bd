// A distributor signs the self-extractor: the signature changes two fields
// of the stub's PE header and appends a certificate table. `seal` puts the
// stub's XOR sum right through the CheckSum field, which the signature
// does not cover, so the file verifies and extracts again.
#include "tests/cli_fixture.h"

namespace {

bool Have(const char *tool)
{
    return system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(CliTest, SignedSelfExtractorIsResealedAndStillVerifies)
{
    if (!Have("osslsigncode") || !Have("openssl"))
        GTEST_SKIP() << "osslsigncode or openssl missing";
    std::string sh = "cd '" + root + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem"
                     " -out cert.pem -days 2 -subj /CN=Throwaway >/dev/null 2>&1";
    ASSERT_EQ(system(sh.c_str()), 0);
    Write("payload.txt", "signed payload\n");
    RunResult r = Cli({"make", "-o", Path("sfx.exe"), Path("payload.txt")});
    if (r.exitCode != 0 && r.err.find("no stub of its own") != std::string::npos)
        GTEST_SKIP() << "built without the Windows stub";
    ASSERT_EQ(r.exitCode, 0) << Describe(r);

    sh = "cd '" + root + "' && osslsigncode sign -certs cert.pem -key key.pem -in sfx.exe"
         " -out signed.exe >/dev/null 2>&1";
    ASSERT_EQ(system(sh.c_str()), 0);
    r = Cli({"extract", Path("signed.exe"), "-d", Path("before")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Error: The self-extracting archive is damaged."), std::string::npos) << r.err;

    r = Cli({"seal", Path("signed.exe")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    sh = "cd '" + root + "' && osslsigncode verify -CAfile cert.pem signed.exe >/dev/null 2>&1";
    EXPECT_EQ(system(sh.c_str()), 0) << "the signature must survive the reseal";
    r = Cli({"extract", Path("signed.exe"), "-d", Path("after")});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Read(Path("after/payload.txt")), "signed payload\n");
}

}  // namespace
