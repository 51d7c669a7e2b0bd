// The Linux stand-in for Win32: the behaviour the extractor relies on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/win32.h"

namespace {

// A scratch directory that is also the current directory while the test
// runs, so that relative and root-relative names land inside it.
class PlatformTest : public ::testing::Test {
protected:
    std::string root;     // Linux path of the scratch directory
    std::string winRoot;  // the same as a Z: path
    std::string savedCwd;

    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        savedCwd = cwd;
        char tmpl[] = "/tmp/corvane-platform-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        ASSERT_EQ(chdir(root.c_str()), 0);
        winRoot = "Z:" + root;
        for (char &c : winRoot)
            if (c == '/')
                c = '\\';
    }

    void TearDown() override
    {
        ASSERT_EQ(chdir(savedCwd.c_str()), 0);
        std::string cmd = "chmod -R u+w '" + root + "' 2>/dev/null; rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << root;
    }

    std::string Win(const std::string &relative) const { return winRoot + "\\" + relative; }
    std::string Unix(const std::string &relative) const { return root + "/" + relative; }

    void WriteUnix(const std::string &relative, const std::string &bytes)
    {
        std::ofstream(Unix(relative), std::ios::binary) << bytes;
    }

    std::string ReadUnix(const std::string &relative)
    {
        std::ifstream in(Unix(relative), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static std::string FullPath(const char *name)
    {
        char buffer[MAX_PATH];
        DWORD n = GetFullPathNameA(name, sizeof buffer, buffer, nullptr);
        return n ? std::string(buffer, n) : "<fails>";
    }
};

// Collects what is written to fd 1 or 2 while it lives.
class CapturedOutput {
public:
    explicit CapturedOutput(int fd) : fd(fd)
    {
        fflush(fd == 1 ? stdout : stderr);
        char tmpl[] = "/tmp/corvane-capture-XXXXXX";
        file = mkstemp(tmpl);
        unlink(tmpl);
        saved = dup(fd);
        dup2(file, fd);
    }
    ~CapturedOutput() { Text(); }

    std::string Text()
    {
        if (saved >= 0) {
            fflush(fd == 1 ? stdout : stderr);
            dup2(saved, fd);
            close(saved);
            saved = -1;
            lseek(file, 0, SEEK_SET);
            char buffer[4096];
            ssize_t n;
            while ((n = read(file, buffer, sizeof buffer)) > 0)
                text.append(buffer, (size_t)n);
            close(file);
        }
        return text;
    }

private:
    int fd, file, saved;
    std::string text;
};

// Feeds the console reader from a string for as long as it lives.
class ConsoleInput {
public:
    explicit ConsoleInput(const std::string &lines) : text(lines)
    {
        stream = fmemopen(text.empty() ? (void *)"" : &text[0], text.size(), "r");
        HostSetConsoleInput(stream);
    }
    ~ConsoleInput()
    {
        HostSetConsoleInput(nullptr);
        fclose(stream);
    }

private:
    std::string text;
    FILE *stream;
};

// ---- Paths ----

TEST_F(PlatformTest, FullPathNamesResolveLikeWin32)
{
    const struct {
        const char *name;
        std::string expected;
    } cases[] = {
        {"Out", winRoot + "\\Out"},
        {"Out\\", winRoot + "\\Out\\"},
        {".\\a\\..\\b", winRoot + "\\b"},
        {"a/b/c", winRoot + "\\a\\b\\c"},
        {"\\x", "Z:\\x"},
        {"/x/y/", "Z:\\x\\y\\"},
        {"Z:\\a\\..\\b\\.\\c", "Z:\\b\\c"},
        {"z:\\a\\\\b", "Z:\\a\\b"},
        {"Z:\\..\\..", "Z:\\"},
        {"Z:\\", "Z:\\"},
        {"Z:", winRoot},
        {"Z:sub", winRoot + "\\sub"},
        {"C:\\x\\..\\y", "C:\\y"},
        {"c:/Program Files/", "C:\\Program Files\\"},
        {"name. .", winRoot + "\\name"},
        {"", "<fails>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FullPath(c.name), c.expected) << "for \"" << c.name << "\"";
}

TEST_F(PlatformTest, FullPathNameReportsNeededSizeAndFilePart)
{
    std::string expected = winRoot + "\\dir\\file.txt";
    char small[8];
    EXPECT_EQ(GetFullPathNameA("dir\\file.txt", sizeof small, small, nullptr),
              expected.size() + 1);
    std::vector<char> exact(expected.size() + 1);
    LPSTR filePart = nullptr;
    EXPECT_EQ(GetFullPathNameA("dir\\file.txt", (DWORD)exact.size(), exact.data(), &filePart),
              expected.size());
    EXPECT_STREQ(exact.data(), expected.c_str());
    EXPECT_STREQ(filePart, "file.txt");
    char buffer[MAX_PATH];
    EXPECT_GT(GetFullPathNameA("dir\\", sizeof buffer, buffer, &filePart), 0u);
    EXPECT_EQ(filePart, nullptr);
}

TEST_F(PlatformTest, CurrentDirectoryIsDriveZ)
{
    char buffer[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), winRoot.size());
    EXPECT_EQ(buffer, winRoot);
    EXPECT_EQ(GetCurrentDirectoryA(3, buffer), winRoot.size() + 1);

    ASSERT_EQ(mkdir(Unix("sub").c_str(), 0777), 0);
    ASSERT_TRUE(SetCurrentDirectoryA("sub"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), Unix("sub"));
    ASSERT_TRUE(SetCurrentDirectoryA("Z:\\"));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 3u);
    EXPECT_STREQ(buffer, "Z:\\");

    EXPECT_FALSE(SetCurrentDirectoryA(Win("missing").c_str()));
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\"));
    EXPECT_FALSE(SetCurrentDirectoryA(""));
}

TEST_F(PlatformTest, HostPathsMapBothWays)
{
    char out[MAX_PATH];
    ASSERT_TRUE(HostPathToUnix("Z:\\a\\b", out, sizeof out));
    EXPECT_STREQ(out, "/a/b");
    ASSERT_TRUE(HostPathToUnix("rel\\x", out, sizeof out));
    EXPECT_EQ(std::string(out), Unix("rel/x"));
    EXPECT_FALSE(HostPathToUnix("C:\\a", out, sizeof out));
    EXPECT_FALSE(HostPathToUnix("Z:\\a\\b", out, 4));

    ASSERT_TRUE(HostPathFromUnix("/", out, sizeof out));
    EXPECT_STREQ(out, "Z:\\");
    ASSERT_TRUE(HostPathFromUnix("/a/./b/../c", out, sizeof out));
    EXPECT_STREQ(out, "Z:\\a\\c");
    // Linux names may end in a dot; only names given to Win32 lose it.
    ASSERT_TRUE(HostPathFromUnix("x.", out, sizeof out));
    EXPECT_EQ(std::string(out), Win("x."));
    EXPECT_FALSE(HostPathFromUnix("/abc", out, 5));
}

// ---- Files ----

TEST_F(PlatformTest, FilesRoundTripThroughHandles)
{
    HANDLE out = CreateFileA(Win("data.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    std::string bytes;
    for (int i = 0; i < 70000; i++)
        bytes += (char)(i * 7);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(out, bytes.data(), (DWORD)bytes.size(), &done, nullptr));
    EXPECT_EQ(done, bytes.size());
    EXPECT_TRUE(CloseHandle(out));
    EXPECT_EQ(ReadUnix("data.bin"), bytes);

    HANDLE in = CreateFileA("data.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(in, nullptr), bytes.size());
    EXPECT_EQ(SetFilePointer(in, 1000, nullptr, FILE_BEGIN), 1000u);
    EXPECT_EQ(SetFilePointer(in, -10, nullptr, FILE_CURRENT), 990u);
    char chunk[16];
    ASSERT_TRUE(ReadFile(in, chunk, sizeof chunk, &done, nullptr));
    EXPECT_EQ(done, sizeof chunk);
    EXPECT_EQ(std::string(chunk, sizeof chunk), bytes.substr(990, 16));
    EXPECT_EQ(SetFilePointer(in, -5, nullptr, FILE_END), bytes.size() - 5);
    ASSERT_TRUE(ReadFile(in, chunk, sizeof chunk, &done, nullptr));
    EXPECT_EQ(done, 5u) << "a read across the end stops at it";
    ASSERT_TRUE(ReadFile(in, chunk, sizeof chunk, &done, nullptr));
    EXPECT_EQ(done, 0u) << "at the end: success with nothing read";

    EXPECT_EQ(SetFilePointer(in, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(SetFilePointer(in, 0x7FFFFFFF, nullptr, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(SetFilePointer(in, 0x7FFFFFFF, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_EQ(SetFilePointer(in, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER)
        << "a position beyond 32 bits needs the high part";
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(in, 2, &high, FILE_CURRENT), 0u);
    EXPECT_EQ(high, 1);
    EXPECT_TRUE(CloseHandle(in));
}

TEST_F(PlatformTest, CreateAlwaysTruncatesAndOpenExistingNeedsAFile)
{
    WriteUnix("old.txt", "previous contents");
    HANDLE h = CreateFileA("old.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    DWORD done;
    ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
    CloseHandle(h);
    EXPECT_EQ(ReadUnix("old.txt"), "new");

    EXPECT_EQ(CreateFileA("absent.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    ASSERT_EQ(mkdir(Unix("dir").c_str(), 0777), 0);
    EXPECT_EQ(CreateFileA("dir", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("dir", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("C:\\x.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("nodir\\x.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(PlatformTest, DirectoriesAndDeletion)
{
    EXPECT_TRUE(CreateDirectoryA("made", nullptr));
    EXPECT_FALSE(CreateDirectoryA("made", nullptr)) << "an existing directory is a failure";
    EXPECT_TRUE(CreateDirectoryA(Win("made\\deeper\\").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA("missing\\child", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\made", nullptr));
    EXPECT_EQ(GetFileAttributesA("made\\deeper"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);

    WriteUnix("gone.txt", "x");
    EXPECT_EQ(GetFileAttributesA("gone.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA("gone.txt"));
    EXPECT_EQ(GetFileAttributesA("gone.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(DeleteFileA("gone.txt"));
    EXPECT_FALSE(DeleteFileA("made")) << "DeleteFileA does not remove directories";
}

TEST_F(PlatformTest, ReadOnlyFilesRefuseWritingAndDeletion)
{
    WriteUnix("locked.txt", "keep me");
    ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat(Unix("locked.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only clears every write bit";
    EXPECT_EQ(GetFileAttributesA("locked.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(CreateFileA("locked.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("locked.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA("locked.txt"));
    EXPECT_EQ(ReadUnix("locked.txt"), "keep me");
    HANDLE reader = CreateFileA("locked.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "reading a read-only file is allowed";
    CloseHandle(reader);

    ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_NORMAL));
    ASSERT_EQ(stat(Unix("locked.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(GetFileAttributesA("locked.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA("locked.txt"));
    EXPECT_FALSE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_NORMAL));
}

TEST_F(PlatformTest, HiddenSystemAndArchiveBitsKeptWhereTheFileSystemCan)
{
    WriteUnix("flags.txt", "x");
    if (setxattr(Unix("flags.txt").c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here";
    removexattr(Unix("flags.txt").c_str(), "user.probe");

    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesA("flags.txt", 0x27));
    EXPECT_EQ(GetFileAttributesA("flags.txt"), kept | FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesA("flags.txt", FILE_ATTRIBUTE_ARCHIVE | 0x18))
        << "directory and volume bits of a file are ignored";
    EXPECT_EQ(GetFileAttributesA("flags.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesA("flags.txt", FILE_ATTRIBUTE_HIDDEN));
    HANDLE h = CreateFileA("flags.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("flags.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL)
        << "a replaced file starts without attributes";
}

TEST_F(PlatformTest, LastWriteTimeAndTheNullOutput)
{
    HANDLE h = CreateFileA("stamped.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SYSTEMTIME st = {};
    st.wYear = 2001;
    st.wMonth = 9;
    st.wDay = 9;
    st.wHour = 1;
    st.wMinute = 46;
    st.wSecond = 40;  // Unix time 1000000000
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
    struct stat info;
    ASSERT_EQ(stat(Unix("stamped.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);

    HANDLE null = HostNullOutput();
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(null, "abc", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_TRUE(SetFileTime(null, nullptr, nullptr, &ft));
    EXPECT_TRUE(CloseHandle(null));
    EXPECT_TRUE(WriteFile(null, "abc", 3, &done, nullptr)) << "closing it changes nothing";
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST_F(PlatformTest, DiskFreeSpaceFitsThirtyTwoBits)
{
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                  &totalClusters));
    EXPECT_EQ(bytesPerSector, 512u);
    EXPECT_GE(sectorsPerCluster, 1u);
    EXPECT_LE(freeClusters, totalClusters);
    struct statvfs vfs;
    ASSERT_EQ(statvfs(".", &vfs), 0);
    double reported = (double)totalClusters * sectorsPerCluster * bytesPerSector;
    double actual = (double)vfs.f_blocks * vfs.f_frsize;
    EXPECT_NEAR(reported, actual, sectorsPerCluster * 512.0);
    EXPECT_TRUE(GetDiskFreeSpaceA("Z:\\", &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                  &totalClusters));
    EXPECT_FALSE(GetDiskFreeSpaceA("C:\\", &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                   &totalClusters));
}

// ---- Time ----

class TimeZoneTest : public ::testing::TestWithParam<const char *> {
protected:
    std::string savedTz;
    bool hadTz = false;

    void SetUp() override
    {
        const char *tz = getenv("TZ");
        hadTz = tz != nullptr;
        savedTz = tz ? tz : "";
        setenv("TZ", GetParam(), 1);
        tzset();
    }
    void TearDown() override
    {
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

uint64_t Ticks(const FILETIME &ft)
{
    return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks)
{
    FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    return ft;
}

FILETIME Utc(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME st = {};
    st.wYear = (WORD)year;
    st.wMonth = (WORD)month;
    st.wDay = (WORD)day;
    st.wHour = (WORD)hour;
    st.wMinute = (WORD)minute;
    st.wSecond = (WORD)second;
    FILETIME ft = {};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

const uint64_t hour = 36000000000ull;  // in 100 ns ticks

TEST_P(TimeZoneTest, SystemTimeCountsFrom1601)
{
    EXPECT_EQ(Ticks(Utc(1601, 1, 1, 0, 0, 0)), 0u);
    // The Unix epoch, 11644473600 seconds after the FILETIME epoch.
    EXPECT_EQ(Ticks(Utc(1970, 1, 1, 0, 0, 0)), 116444736000000000ull);
    EXPECT_EQ(Ticks(Utc(2000, 3, 1, 0, 0, 0)) - Ticks(Utc(2000, 2, 28, 0, 0, 0)), 48 * hour)
        << "2000 is a leap year";
    EXPECT_EQ(Ticks(Utc(1900, 3, 1, 0, 0, 0)) - Ticks(Utc(1900, 2, 28, 0, 0, 0)), 24 * hour)
        << "1900 is not";
    SYSTEMTIME bad = {};
    bad.wYear = 2021;
    bad.wMonth = 4;
    bad.wDay = 31;
    FILETIME ft;
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    bad.wDay = 1;
    bad.wHour = 24;
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
}

TEST_P(TimeZoneTest, DosStampsRoundTrip)
{
    // Every month of a few years, odd minutes and the largest even second.
    for (int year : {1980, 1999, 2024, 2107}) {
        for (int month = 1; month <= 12; month++) {
            WORD date = (WORD)((year - 1980) << 9 | month << 5 | (month == 2 ? 29 : 28));
            if (month == 2 && year % 4 != 0)
                date = (WORD)(date - 1);
            WORD time = (WORD)((month + 10) << 11 | (month * 4) << 5 | 29);
            FILETIME ft;
            ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft)) << year << "-" << month;
            WORD date2 = 0, time2 = 0;
            ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date2, &time2));
            EXPECT_EQ(date2, date);
            EXPECT_EQ(time2, time);
        }
    }
    FILETIME odd = Utc(2010, 6, 15, 12, 30, 59);
    WORD date, time;
    ASSERT_TRUE(FileTimeToDosDateTime(&odd, &date, &time));
    EXPECT_EQ(time & 31, 29) << "odd seconds round down to the even second";
    FILETIME before = Utc(1979, 12, 31, 23, 59, 59);
    FILETIME after = Utc(2108, 1, 1, 0, 0, 0);
    EXPECT_FALSE(FileTimeToDosDateTime(&before, &date, &time));
    EXPECT_FALSE(FileTimeToDosDateTime(&after, &date, &time));

    FILETIME ft;
    EXPECT_FALSE(DosDateTimeToFileTime((WORD)(1 << 5 | 0), 0, &ft)) << "day 0";
    EXPECT_FALSE(DosDateTimeToFileTime((WORD)(13 << 5 | 1), 0, &ft)) << "month 13";
    EXPECT_FALSE(DosDateTimeToFileTime((WORD)(1 << 5 | 1), (WORD)(24 << 11), &ft)) << "hour 24";
    EXPECT_FALSE(DosDateTimeToFileTime((WORD)(1 << 5 | 1), 30, &ft)) << "second 60";
}

TEST_P(TimeZoneTest, LocalTimeFollowsTheZoneAtThatInstant)
{
    bool berlin = strcmp(GetParam(), "UTC") != 0;
    uint64_t winterShift = berlin ? hour : 0, summerShift = berlin ? 2 * hour : 0;
    struct {
        FILETIME utc;
        uint64_t shift;
        bool twiceLocally;  // its local time also occurs an hour apart
    } cases[] = {
        {Utc(2021, 1, 15, 12, 0, 0), winterShift, false},
        {Utc(2021, 7, 15, 12, 0, 0), summerShift, false},
        // Summer time begins at 01:00 UTC on the last Sunday of March...
        {Utc(2021, 3, 28, 0, 59, 59), winterShift, false},
        {Utc(2021, 3, 28, 1, 0, 0), summerShift, false},
        // ...and ends at 01:00 UTC on the last Sunday of October.
        {Utc(2021, 10, 31, 0, 59, 59), summerShift, berlin},
        {Utc(2021, 10, 31, 1, 0, 0), winterShift, berlin},
    };
    for (const auto &c : cases) {
        FILETIME local, back;
        ASSERT_TRUE(FileTimeToLocalFileTime(&c.utc, &local));
        EXPECT_EQ(Ticks(local) - Ticks(c.utc), c.shift);
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
        if (!c.twiceLocally) {
            EXPECT_EQ(Ticks(back), Ticks(c.utc)) << "unambiguous local times convert back";
        }
    }

    FILETIME subSecond = FromTicks(Ticks(Utc(2021, 7, 1, 0, 0, 0)) + 1234567), local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&subSecond, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(subSecond)) << "fractions of a second survive";

    if (!berlin)
        return;
    // 02:30 on the spring day does not exist: it is read as 03:30 summer time.
    FILETIME skipped = Utc(2021, 3, 28, 2, 30, 0), utc;
    ASSERT_TRUE(LocalFileTimeToFileTime(&skipped, &utc));
    EXPECT_EQ(Ticks(utc), Ticks(Utc(2021, 3, 28, 1, 30, 0)));
    // 02:30 on the autumn day happens twice: either one is right.
    FILETIME twice = Utc(2021, 10, 31, 2, 30, 0);
    ASSERT_TRUE(LocalFileTimeToFileTime(&twice, &utc));
    EXPECT_TRUE(Ticks(utc) == Ticks(Utc(2021, 10, 31, 0, 30, 0)) ||
                Ticks(utc) == Ticks(Utc(2021, 10, 31, 1, 30, 0)));
}

TEST_P(TimeZoneTest, MemberStampBecomesTheFileTime)
{
    // What the extractor does with a member's stamp: DOS local time to
    // UTC, then onto the file; the file shows the same wall-clock time.
    WORD date = (WORD)((2019 - 1980) << 9 | 8 << 5 | 20), time = (WORD)(14 << 11 | 5 << 5 | 10);
    FILETIME local, utc;
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    time_t seconds = (time_t)(Ticks(utc) / 10000000 - 11644473600ll);
    struct tm wall;
    ASSERT_NE(localtime_r(&seconds, &wall), nullptr);
    EXPECT_EQ(wall.tm_year + 1900, 2019);
    EXPECT_EQ(wall.tm_mon + 1, 8);
    EXPECT_EQ(wall.tm_mday, 20);
    EXPECT_EQ(wall.tm_hour, 14);
    EXPECT_EQ(wall.tm_min, 5);
    EXPECT_EQ(wall.tm_sec, 20);
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeZoneTest, ::testing::Values("UTC", "Europe/Berlin"));

// ---- Text, heap and module ----

TEST(PlatformText, OemNamesBecomeAnsi)
{
    const unsigned char oem[] = {'A', 'z', 0x81, 0x8E, 0x99, 0x9A, 0xE1, 0x82, 0xA4, 0x7F};
    const unsigned char ansi[] = {'A', 'z', 0xFC, 0xC4, 0xD6, 0xDC, 0xDF, 0xE9, 0xF1, 0x7F};
    char out[sizeof oem];
    ASSERT_TRUE(OemToCharBuffA((const char *)oem, out, sizeof oem));
    EXPECT_EQ(memcmp(out, ansi, sizeof ansi), 0);

    char inPlace[sizeof oem];
    memcpy(inPlace, oem, sizeof oem);
    ASSERT_TRUE(OemToCharBuffA(inPlace, inPlace, sizeof oem));
    EXPECT_EQ(memcmp(inPlace, ansi, sizeof ansi), 0);

    // No OEM byte turns into a control character or a path separator of its
    // own making: box drawing and the like become plain ASCII look-alikes.
    for (int c = 0x80; c <= 0xFF; c++) {
        char in = (char)c, converted;
        OemToCharBuffA(&in, &converted, 1);
        unsigned char u = (unsigned char)converted;
        EXPECT_GE(u, 0x20) << std::hex << c;
        EXPECT_NE(u, '\\') << std::hex << c;
        EXPECT_NE(u, '/') << std::hex << c;
    }
}

TEST(PlatformText, CaseInsensitiveCompare)
{
    EXPECT_EQ(lstrcmpiA("SETUP.EXE", "setup.exe"), 0);
    EXPECT_EQ(lstrcmpiA("Setup.Exe", "SETUP.EXE"), 0);
    EXPECT_LT(lstrcmpiA("setup.ex", "SETUP.EXE"), 0);
    EXPECT_GT(lstrcmpiA("SETUP.EXF", "setup.exe"), 0);
    EXPECT_LT(lstrcmpiA("a", "B"), 0);
    EXPECT_NE(lstrcmpiA("\xFC", "\xDC"), 0) << "only ASCII letters fold";
}

TEST(PlatformModule, OwnFileIsReportedOnDriveZ)
{
    char saved[MAX_PATH], savedUnix[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, saved, sizeof saved), 0u);
    ASSERT_TRUE(HostPathToUnix(saved, savedUnix, sizeof savedUnix));

    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    HostSetModulePath("/nonexistent/dir/tools.exe");
    const char *expected = "Z:\\nonexistent\\dir\\tools.exe";
    char buffer[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), buffer, sizeof buffer),
              strlen(expected));
    EXPECT_STREQ(buffer, expected);
    char small[8];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_STREQ(small, "Z:\\none") << "truncated and terminated";

    HostSetModulePath(savedUnix);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), strlen(saved));
}

TEST(PlatformModule, HeapAndShellAllocator)
{
    unsigned char *block = (unsigned char *)GlobalAlloc(0x40, 64);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(block[i], 0);
    EXPECT_EQ(GlobalFree(block), nullptr);
    void *empty = GlobalAlloc(GMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    GlobalFree(empty);

    BROWSEINFOA bi = {};
    EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr);
    char path[MAX_PATH] = "x";
    EXPECT_FALSE(SHGetPathFromIDListA(nullptr, path));
    IMalloc *shellMalloc = nullptr;
    ASSERT_EQ(SHGetMalloc(&shellMalloc), 0);
    ASSERT_NE(shellMalloc, nullptr);
    shellMalloc->Free(nullptr);
    shellMalloc->Release();
    IMalloc *again = nullptr;
    EXPECT_EQ(SHGetMalloc(&again), 0);
    EXPECT_EQ(again, shellMalloc) << "still usable after Release";
}

TEST_F(PlatformTest, ShellExecuteReportsWhatItCannotStart)
{
    WriteUnix("readme.txt", "x");
    CapturedOutput err(2);
    HINSTANCE ok = ShellExecuteA(nullptr, "open", Win("readme.txt").c_str(), "",
                                 winRoot.c_str(), SW_SHOWNORMAL);
    HINSTANCE missing = ShellExecuteA(nullptr, "open", Win("absent.exe").c_str(), "",
                                      winRoot.c_str(), SW_SHOWNORMAL);
    std::string text = err.Text();
    EXPECT_GT((uintptr_t)ok, 32u);
    EXPECT_LE((uintptr_t)missing, 32u);
    EXPECT_EQ(text, "Would start: " + Win("readme.txt") + " (in " + winRoot + ")\n");
}

// ---- Message boxes ----

TEST(PlatformConsole, MessageBoxesAskUntilAnswered)
{
    struct {
        UINT flags;
        const char *input;
        int answer;
    } cases[] = {
        {MB_YESNO, "y\n", IDYES},
        {MB_YESNO, "  YES \n", IDYES},
        {MB_YESNO, "No\n", IDNO},
        {MB_YESNO, "maybe\nc\nn\n", IDNO},  // Cancel is no button of a Yes/No box
        {MB_YESNO, "", IDNO},
        {MB_YESNO, "what\n", IDNO},  // the input ends before an answer
        {MB_YESNOCANCEL, "Cancel\n", IDCANCEL},
        {MB_YESNOCANCEL, "c\r\n", IDCANCEL},
        {MB_YESNOCANCEL, "y", IDYES},
        {MB_YESNOCANCEL, "", IDNO},
    };
    for (const auto &c : cases) {
        ConsoleInput input(c.input);
        CapturedOutput err(2);
        EXPECT_EQ(MessageBoxA(nullptr, "Replace?", "Warning", c.flags | MB_ICONQUESTION),
                  c.answer)
            << "input \"" << c.input << "\"";
    }

    ConsoleInput input("maybe\ny\n");
    CapturedOutput err(2);
    MessageBoxA(nullptr, "Go on?", "Warning", MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(err.Text(), "Warning: Go on? [y/n] maybe\nWarning: Go on? [y/n] y\n");
}

TEST(PlatformConsole, OkBoxesOnlyReport)
{
    ConsoleInput input("y\n");
    CapturedOutput err(2);
    EXPECT_EQ(MessageBoxA(nullptr, "Cannot write\nthe file.", "Error", MB_OK | MB_ICONHAND), IDOK);
    EXPECT_EQ(err.Text(), "Error: Cannot write\nthe file.\n");
    CapturedOutput err2(2);
    EXPECT_EQ(MessageBoxA(nullptr, "Second?", "Warning", MB_YESNO), IDYES)
        << "the OK box read no input";
}

// ---- Dialogs and messages ----

struct DialogLog {
    std::vector<UINT> messages;
    std::vector<WPARAM> wParams;
    LPARAM initParam = 0;
    HWND initWindow = nullptr;
};
DialogLog dialogLog;

INT_PTR CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    dialogLog.messages.push_back(message);
    dialogLog.wParams.push_back(wParam);
    if (message == WM_INITDIALOG) {
        dialogLog.initParam = lParam;
        dialogLog.initWindow = window;
        SendDlgItemMessageA(window, 1001, EM_LIMITTEXT, 20, 0);
        SendDlgItemMessageA(window, 1001, WM_SETTEXT, 0, (LPARAM) "Z:\\proposal");
    }
    return TRUE;
}

class PlatformDialog : public ::testing::Test {
protected:
    void SetUp() override { dialogLog = DialogLog(); }
    void TearDown() override
    {
        HostSetTargetAnswer(nullptr);
        HostCancelAfterBlocks(0);
    }

    static std::string EditText(HWND dialog)
    {
        char text[MAX_PATH];
        SendDlgItemMessageA(dialog, 1001, WM_GETTEXT, sizeof text, (LPARAM)text);
        return text;
    }
};

TEST_F(PlatformDialog, CreationInitialisesSynchronously)
{
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCE(102), nullptr,
                                     RecordingProc, 1234);
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(dialogLog.messages.size(), 1u);
    EXPECT_EQ(dialogLog.messages[0], (UINT)WM_INITDIALOG);
    EXPECT_EQ(dialogLog.initParam, 1234);
    EXPECT_EQ(dialogLog.initWindow, dialog);

    char text[8];
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1001, WM_GETTEXT, sizeof text, (LPARAM)text), 7);
    EXPECT_STREQ(text, "Z:\\prop");
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1001, WM_GETTEXT, 0, (LPARAM)text), 0);

    RECT rect;
    ASSERT_TRUE(GetWindowRect(dialog, &rect));
    int w = rect.right - rect.left, h = rect.bottom - rect.top;
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
    ASSERT_TRUE(MoveWindow(dialog, 10, 20, w, h, FALSE));
    ASSERT_TRUE(GetWindowRect(dialog, &rect));
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.bottom, 20 + h);
    EXPECT_GE(GetSystemMetrics(SM_CXSCREEN), w);
    EXPECT_GE(GetSystemMetrics(SM_CYSCREEN), h);

    EXPECT_TRUE(DestroyWindow(dialog));
    EXPECT_FALSE(GetWindowRect(dialog, &rect));
    EXPECT_FALSE(DestroyWindow(dialog));
}

TEST_F(PlatformDialog, TargetPromptTurnsAnswersIntoButtons)
{
    HWND dialog = CreateDialogParamA(nullptr, MAKEINTRESOURCE(102), nullptr, RecordingProc, 0);
    ConsoleInput input("\nOut\\new\n  \nan-overlong-directory-name\n");
    CapturedOutput err(2);
    MSG msg;

    // An empty line keeps the proposal.
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, dialog);
    EXPECT_EQ(msg.message, (UINT)WM_COMMAND);
    EXPECT_EQ(msg.wParam, 1002u);
    EXPECT_EQ(EditText(dialog), "Z:\\proposal");

    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 1002u);
    EXPECT_EQ(EditText(dialog), "Out\\new");

    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(EditText(dialog), "Out\\new") << "a blank line keeps the text too";

    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(EditText(dialog), "an-overlong-director") << "cut at the edit limit of 20";

    // The end of the input cancels, every time it is asked.
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.wParam, (WPARAM)IDCANCEL);
    }
    std::string text = err.Text();
    EXPECT_EQ(text.find("Target directory [Z:\\proposal]: "), 0u) << text;
    EXPECT_NE(text.find("Target directory [Out\\new]: "), std::string::npos) << text;
    DestroyWindow(dialog);
}

TEST_F(PlatformDialog, GivenTargetAnswerIsTakenFirst)
{
    HWND dialog = CreateDialogParamA(nullptr, MAKEINTRESOURCE(102), nullptr, RecordingProc, 0);
    HostSetTargetAnswer("Z:\\given");
    ConsoleInput input("typed\n");
    CapturedOutput err(2);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 1002u);
    EXPECT_EQ(EditText(dialog), "Z:\\given");
    EXPECT_EQ(err.Text(), "") << "the given answer is taken silently";

    CapturedOutput err2(2);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(EditText(dialog), "typed") << "later prompts read the input";
    DestroyWindow(dialog);
}

TEST_F(PlatformDialog, QuitEndsTheLoopOnceAndMessagesReachTheProcedure)
{
    HWND dialog = CreateDialogParamA(nullptr, MAKEINTRESOURCE(102), nullptr, RecordingProc, 0);
    ConsoleInput input("x\n");
    CapturedOutput err(2);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_TRUE(IsDialogMessageA(dialog, &msg));
    ASSERT_EQ(dialogLog.messages.size(), 2u);
    EXPECT_EQ(dialogLog.messages[1], (UINT)WM_COMMAND);
    EXPECT_EQ(dialogLog.wParams[1], 1002u);
    EXPECT_EQ(DispatchMessageA(&msg), TRUE);
    EXPECT_EQ(dialogLog.messages.size(), 3u);
    EXPECT_FALSE(TranslateMessage(&msg));

    HWND other = CreateDialogParamA(nullptr, MAKEINTRESOURCE(103), nullptr, RecordingProc, 0);
    EXPECT_FALSE(IsDialogMessageA(other, &msg)) << "the message is not the other dialog's";
    DestroyWindow(other);

    PostQuitMessage(0);
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE) << "the quit is taken once";
    EXPECT_EQ(msg.wParam, (WPARAM)IDCANCEL);
    DestroyWindow(dialog);
}

TEST_F(PlatformDialog, CancelAfterBlocksActsAsCtrlC)
{
    HWND progress = CreateDialogParamA(nullptr, MAKEINTRESOURCE(103), nullptr, RecordingProc, 0);
    HostCancelAfterBlocks(3);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, progress);
    EXPECT_EQ(msg.message, (UINT)WM_COMMAND);
    EXPECT_EQ(msg.wParam, (WPARAM)IDCANCEL);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "one cancel, once";
    DestroyWindow(progress);
}

TEST_F(PlatformDialog, CtrlCIsCancelOnlyWhileTheProgressDialogLives)
{
    struct sigaction before;
    sigaction(SIGINT, nullptr, &before);
    HWND progress = CreateDialogParamA(nullptr, MAKEINTRESOURCE(103), nullptr, RecordingProc, 0);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    raise(SIGINT);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, progress);
    EXPECT_EQ(msg.wParam, (WPARAM)IDCANCEL);
    DestroyWindow(progress);

    struct sigaction after;
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "the previous handling is back";
}

TEST_F(PlatformDialog, ProgressLinesGoToStandardOutput)
{
    HWND progress = CreateDialogParamA(nullptr, MAKEINTRESOURCE(103), nullptr, RecordingProc, 0);
    CapturedOutput out(1);
    EXPECT_EQ(SendDlgItemMessageA(progress, 1005, PBM_SETRANGE, 0, MAKELPARAM(0, 1000)),
              MAKELPARAM(0, 100));
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\first.txt");
    for (int pos = 0; pos <= 421; pos += 20)
        SendDlgItemMessageA(progress, 1005, PBM_SETPOS, (WPARAM)pos, 0);
    EXPECT_EQ(SendDlgItemMessageA(progress, 1005, PBM_SETPOS, 421, 0), 420);
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\docs\\readme.txt");
    SendDlgItemMessageA(progress, 1005, PBM_SETPOS, 5000, 0);
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\last");
    DestroyWindow(progress);
    EXPECT_EQ(out.Text(), "   0.0%  Z:\\out\\first.txt\n"
                          "  42.1%  Z:\\out\\docs\\readme.txt\n"
                          " 100.0%  Z:\\out\\last\n")
        << "no progress figures on a file, and positions stay in range";
}

}  // namespace
