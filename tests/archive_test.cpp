#include <unistd.h>

#include "archive/archive.h"
#include "extract/extract.h"
#include "tests/cli_fixture.h"

namespace {

// Failures go to the caller alone, which says what they mean.
TEST_F(CliTest, ArchiveReadsSeeksAndTheirFailures)
{
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 13 + (i >> 8));
    char win[1024];
    ASSERT_TRUE(HostPathFromUnix(Write("a.lzh", data).c_str(), win, sizeof win));
    runState = RunState();
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(win, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    ASSERT_NE(archiveInput.archiveFile, INVALID_HANDLE_VALUE);
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    uint8_t buf[1024];
    auto read = [&](int32_t n) { return ReadArchive(buf, n) ? std::string((const char *)buf, (size_t)n) : "(failed)"; };
    EXPECT_EQ(read(512), data.substr(0, 512));
    ASSERT_TRUE(SeekArchive(-7, 1));
    EXPECT_EQ(read(7), data.substr(505, 7));
    EXPECT_EQ(read(513), data.substr(512, 513));
    EXPECT_EQ(read(500), data.substr(1025, 500));
    EXPECT_EQ(read(30), data.substr(1525, 30));
    ASSERT_TRUE(SeekArchive(2980, 0));
    EXPECT_EQ(read(21), "(failed)");  // 20 bytes remain
    ASSERT_TRUE(SeekArchive(2500, 0));
    EXPECT_EQ(read(600), "(failed)");  // a direct read, 500 bytes remain
    EXPECT_EQ(SeekArchive(4000, 0), 1);  // beyond the end: the seek itself succeeds
    EXPECT_EQ(read(1), "(failed)");
    ResetArchiveInput();
    EXPECT_EQ(SeekArchive(-5, 0), 0);
    EXPECT_EQ(runState.failed, 0);
    CloseHandle(archiveInput.archiveFile);
}

TEST(Progress, PositionInThousandthsAlsoBeyond2GiB)
{
    const int32_t cases[][3] = {{0, 0, 0},           {5, 0, 0},          {999999, 2000000, 499},
                                {1000000, 2000000, 500}, {3, 2, 1000}, {2000000, 2000000, 1000},
                                {(int32_t)0x90000000u, (int32_t)0xF0000000u, 600},
                                {(int32_t)0xF0000000u, (int32_t)0x90000000u, 1000}};
    for (const auto &c : cases)
        EXPECT_EQ(ProgressPosition(c[0], c[1]), c[2]) << c[0] << " of " << c[1];
}

}  // namespace
