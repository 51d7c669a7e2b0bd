// Cancel in the progress dialog, run in-process so that the cancel lands
// on a chosen output block: the member being decoded is removed, earlier
// ones stay, nothing more is asked, and the run ends with 1. Answered No,
// the member is written completely.
#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"
#include "tests/run_in_process.h"

namespace {

class CancelTest : public CliTest {
protected:
    // The whole run on `file`, answering from `answers`, cancelling at the
    // n-th pump.
    int Run(const std::string &file, const std::string &answers, int cancelAt, std::string &said)
    {
        FILE *input = fmemopen((void *)answers.data(), answers.size() + (answers.empty() ? 1 : 0), "r");
        int code = RunInProcess(file, root + "/out", input, said, cancelAt);
        fclose(input);
        return code;
    }

    std::string WriteArchive(const std::string &bytes) { return Write("a.lzh", bytes); }
};

const char kReally[] = "Warning: Do you really want to cancel?";
const char kGoOn[] = "Do you want to cancel extracting?";

TEST_F(CancelTest, StoredMemberCancelledYesAndNo)
{
    std::string big(2 << 20, 'b');
    for (size_t i = 0; i < big.size(); i += 4096)
        big[i] = (char)i;
    std::string file = WriteArchive(lzh::Archive(
        {lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", big), lzh::Stored("c.txt", "c")}));
    std::string said;
    // a.txt pumps once; the 5th pump is inside big.bin.
    EXPECT_EQ(Run(file, "y\n", 5, said), 1);
    EXPECT_NE(said.find(kReally), std::string::npos) << said;
    EXPECT_EQ(said.find(kGoOn), std::string::npos) << said;
    EXPECT_EQ(Read(root + "/out/a.txt"), "a");
    EXPECT_FALSE(Exists(root + "/out/big.bin"));
    EXPECT_FALSE(Exists(root + "/out/c.txt"));

    ASSERT_EQ(system(("rm -rf '" + root + "/out'").c_str()), 0);
    EXPECT_EQ(Run(file, "n\n", 5, said), 0);
    EXPECT_NE(said.find(kReally), std::string::npos) << said;
    EXPECT_EQ(Read(root + "/out/big.bin"), big);
    EXPECT_EQ(Read(root + "/out/c.txt"), "c");
}

// A cancel inside a compressing decoder leaves through the block flush.
TEST_F(CancelTest, CompressedMemberCancelledInTheMiddle)
{
    std::string data = CORVANE_TEST_DATA;
    int blocksBefore = 0;
    std::vector<std::string> before;
    for (const ManifestEntry &m : ReadManifest(data, "lh5-l1.lzh")) {
        if (m.path == "mixed.bin")
            break;
        blocksBefore += (int)((Read(data + "/inputs/" + m.input).size() + 65535) / 65536);
        before.push_back(m.path);
    }
    ASSERT_FALSE(before.empty()) << "test archives missing";
    std::string said;
    EXPECT_EQ(Run(data + "/lh5-l1.lzh", "y\n", blocksBefore + 10, said), 1);
    EXPECT_NE(said.find(kReally), std::string::npos) << said;
    EXPECT_EQ(said.find("Error"), std::string::npos) << said;
    for (const std::string &p : before)
        EXPECT_TRUE(Exists(root + "/out/" + p)) << p;
    EXPECT_FALSE(Exists(root + "/out/mixed.bin"));
}

}  // namespace
