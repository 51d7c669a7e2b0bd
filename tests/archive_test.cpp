// The archive access layer in-process: the input stream, the header
// reader's normalisation, target paths, the progress figure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "archive/archive.h"
#include "decode/decode.h"
#include "platform/host.h"
#include "extract/extract.h"
#include "tests/lzh_builder.h"

namespace {

class ArchiveFile : public ::testing::Test {
protected:
    std::string path;

    void Open(const std::string &bytes)
    {
        char tmpl[] = "/tmp/corvane-archive-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        close(fd);
        path = tmpl;
        char win[1024];
        ASSERT_TRUE(HostPathFromUnix(tmpl, win, sizeof win));
        runState = RunState();
        ResetArchiveInput();
        archiveInput.archiveFile = CreateFileA(win, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, 0);
        ASSERT_NE(archiveInput.archiveFile, INVALID_HANDLE_VALUE);
        archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    }

    void TearDown() override
    {
        if (!path.empty()) {
            CloseHandle(archiveInput.archiveFile);
            unlink(path.c_str());
        }
    }

    static std::string Str(const uint8_t *p, int32_t n) { return std::string((const char *)p, (size_t)n); }
};

std::string Counting(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i * 13 + (i >> 8));
    return s;
}

// Reads through the buffer, back within it, past it and straddling its
// end deliver the file's bytes; failures go to the caller alone, which says
// what they mean.
TEST_F(ArchiveFile, ReadsSeeksAndTheirFailures)
{
    std::string data = Counting(3000);
    Open(data);
    uint8_t buf[1024];
    ASSERT_TRUE(ReadArchive(buf, 512));
    EXPECT_EQ(Str(buf, 512), data.substr(0, 512));
    ASSERT_TRUE(SeekArchive(-7, 1));
    ASSERT_TRUE(ReadArchive(buf, 7));
    EXPECT_EQ(Str(buf, 7), data.substr(505, 7));
    ASSERT_TRUE(ReadArchive(buf, 513));
    EXPECT_EQ(Str(buf, 513), data.substr(512, 513));
    ASSERT_TRUE(ReadArchive(buf, 500));
    ASSERT_TRUE(ReadArchive(buf, 30));
    EXPECT_EQ(Str(buf, 30), data.substr(1525, 30));

    ASSERT_TRUE(SeekArchive(2980, 0));
    EXPECT_EQ(ReadArchive(buf, 21), 0);  // 20 bytes remain
    ASSERT_TRUE(SeekArchive(2500, 0));
    EXPECT_EQ(ReadArchive(buf, 600), 0);  // a direct read, 500 bytes remain
    EXPECT_EQ(SeekArchive(4000, 0), 1);  // beyond the end: the seek itself succeeds
    EXPECT_EQ(ReadArchive(buf, 1), 0);
    ResetArchiveInput();
    EXPECT_EQ(SeekArchive(-5, 0), 0);
    EXPECT_EQ(runState.failed, 0);
}

TEST_F(ArchiveFile, HeaderNormalisation)
{
    lzh::Member noCrc = lzh::Stored("docs/readme.txt", "abc", 0);
    noCrc.withCrc = false;
    lzh::Member dir1 = lzh::Directory("docs/sub/", 1);
    lzh::Member dir2 = lzh::Directory("", 2);
    dir2.name = "";
    dir2.directory = "docs\\sub\\";
    lzh::Member attrs = lzh::Stored("a.txt", "x", 1);
    attrs.extra.push_back(std::string("\x40\x23", 2));
    lzh::Member foreign = lzh::Stored("b.txt", "x", 2);
    foreign.os = 'U';
    foreign.extra.push_back(std::string("\x40\x23", 2));
    Open(lzh::Archive({noCrc, dir1, dir2, attrs, foreign}));

    MemberNames names;
    MemberHeader *h = ReadMemberHeader(&names);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Str(names.directory, names.directoryLength), "docs/");
    EXPECT_EQ(Str(names.name, names.nameLength), "readme.txt");
    EXPECT_EQ(expectedCrc, 0xFFFFFFFFu);
    ASSERT_TRUE(SeekArchive((int32_t)h->packedSize, 1));

    for (int level = 1; level <= 2; level++) {
        h = ReadMemberHeader(&names);
        ASSERT_NE(h, nullptr) << level;
        EXPECT_EQ(h->level, level);
        EXPECT_EQ(Str(names.directory, names.directoryLength), level == 1 ? "docs/" : "docs\\");
        EXPECT_EQ(Str(names.name, names.nameLength), "sub");
        ASSERT_TRUE(SeekArchive((int32_t)h->packedSize, 1));
    }

    // Level 1: packedSize counts only data once the extensions are taken
    // out; the attribute extension counts for MS-DOS headers only.
    h = ReadMemberHeader(&names);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ((uint32_t)h->packedSize, 1u);  // a copy: the record is packed
    EXPECT_EQ(h->attribute, 0x23);
    EXPECT_EQ(names.headerLength, (int32_t)lzh::Header(attrs).size());
    ASSERT_TRUE(SeekArchive(1, 1));
    h = ReadMemberHeader(&names);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->attribute, 0x20);
    ASSERT_TRUE(SeekArchive(1, 1));
    EXPECT_EQ(ReadMemberHeader(&names), nullptr);
    EXPECT_EQ(names.damaged, 0);
}

TEST(TargetPath, ComponentsAreCleanedAndJoined)
{
    runState = RunState();
    strcpy(runState.targetDir, "C:\\Out\\");
    runState.targetDirLength = 7;
    auto compose = [](const std::string &p) {
        char *s = ComposeTargetPath((const uint8_t *)p.data(), (int32_t)p.size());
        std::string r = s ? s : "(null)";
        FreeBlock(s);
        return r;
    };
    EXPECT_EQ(compose("docs/readme.txt"), "C:\\Out\\docs\\readme.txt");
    EXPECT_EQ(compose(""), "C:\\Out\\NONAME");
    EXPECT_EQ(compose("/"), "C:\\Out\\NONAME");
    EXPECT_EQ(compose("../../notes.txt"), "C:\\Out\\NONAME\\NONAME\\notes.txt");
    EXPECT_EQ(compose("c:/data.txt"), "C:\\Out\\c_\\data.txt");
    EXPECT_EQ(compose("a//b"), "C:\\Out\\a\\NONAME\\b");
    EXPECT_EQ(compose("a/b/"), "C:\\Out\\a\\b");
    EXPECT_EQ(compose("a/b//"), "C:\\Out\\a\\b\\NONAME");
    EXPECT_EQ(compose("name. . ."), "C:\\Out\\name");
    EXPECT_EQ(compose(" .profile"), "C:\\Out\\ .profile");
    EXPECT_EQ(compose("a\x07?b\x7f"), "C:\\Out\\a__b\x7f");
    EXPECT_EQ(compose("in\\name"), "C:\\Out\\in_name");
    EXPECT_EQ(compose("con"), "C:\\Out\\con");
    EXPECT_EQ(compose("\x81"), "C:\\Out\\\xfc");
}

TEST(Progress, PositionInThousandths)
{
    EXPECT_EQ(ProgressPosition(0, 0), 0);
    EXPECT_EQ(ProgressPosition(5, 0), 0);
    EXPECT_EQ(ProgressPosition(999999, 2000000), 499);
    EXPECT_EQ(ProgressPosition(1000000, 2000000), 500);
    EXPECT_EQ(ProgressPosition(3, 2), 1000);
    EXPECT_EQ(ProgressPosition(2000000, 2000000), 1000);
    // Beyond 2 GiB the sizes still count as unsigned and stay in range.
    EXPECT_EQ(ProgressPosition((int32_t)0x90000000u, (int32_t)0xF0000000u), 600);
    EXPECT_EQ(ProgressPosition((int32_t)0xF0000000u, (int32_t)0x90000000u), 1000);
}

}  // namespace
