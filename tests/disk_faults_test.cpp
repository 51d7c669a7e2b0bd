// A target on a small file system: the free-space warning and the writes
// that fail when the disk is full. Needs root for the tmpfs mount; skipped
// where that is not allowed.
#include <sys/mount.h>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

namespace {

class SmallDiskTest : public CliTest {
protected:
    std::string disk;

    void SetUp() override
    {
        CliTest::SetUp();
        disk = Path("disk");
        mkdir(disk.c_str(), 0755);
        if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        mounted = true;
    }

    void TearDown() override
    {
        if (mounted)
            umount(disk.c_str());
        CliTest::TearDown();
    }

    RunResult ExtractTo(const std::string &file, const std::string &answers)
    {
        return Cli({"extract", file, "-d", disk + "/out"}, answers);
    }

    bool mounted = false;
};

const char kSpace[] =
    "Warning: There is not enough space on the data carrier.\nDo you want extract the archive anyway?";

TEST_F(SmallDiskTest, SpaceWarningNoStopsBeforeAnything)
{
    std::string big(600 * 1024, 'b');
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("small.txt", "s"),
                                                      lzh::Stored("big.bin", big)}));
    RunResult r = ExtractTo(file, "n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, kSpace), 1) << r.err;
    EXPECT_FALSE(Exists(disk + "/out"));

    // Scripted, with the opposite answer on stdin left unread: the default
    // stops the same way; --ignore-free-space goes on until the disk is full.
    r = Cli({"extract", file, "-d", disk + "/out", "-n"}, "y\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, std::string(kSpace) + " [y/n] n\n"), 1) << r.err;
    EXPECT_FALSE(Exists(disk + "/out"));
    r = Cli({"extract", file, "-d", disk + "/out", "--ignore-free-space"}, "n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, std::string(kSpace) + " [y/n] y\n"), 1) << r.err;
    EXPECT_EQ(Read(disk + "/out/small.txt"), "s");
}

TEST_F(SmallDiskTest, FullDiskFailsTheMemberAndRemovesIt)
{
    std::string big(600 * 1024, 'b');
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("small.txt", "s"),
                                                      lzh::Stored("big.bin", big),
                                                      lzh::Stored("after.txt", "a")}));
    // Yes to the warning, No to "cancel extracting?": the run goes on.
    RunResult r = ExtractTo(file, "y\nn\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: Cannot write the file."), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Warning: Do you want to cancel extracting?"), 1) << r.err;
    EXPECT_EQ(Read(disk + "/out/small.txt"), "s");
    EXPECT_FALSE(Exists(disk + "/out/big.bin"));
    EXPECT_EQ(Read(disk + "/out/after.txt"), "a");
}

TEST_F(SmallDiskTest, EnoughSpaceAsksNothing)
{
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("f.bin", std::string(100000, 'f'))}));
    RunResult r = ExtractTo(file, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
    EXPECT_EQ(Read(disk + "/out/f.bin").size(), 100000u);
}

}  // namespace
