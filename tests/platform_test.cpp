// The Linux stand-in for Win32: what the extractor relies on that the
// end-to-end tests do not pin down.
#include <signal.h>
#include <string.h>
#include <sys/xattr.h>

#include <tuple>

#include "platform/win32.h"
#include "tests/cli_fixture.h"

namespace {

// A scratch directory that is the current one while the test runs.
class PlatformTest : public CliTest {
protected:
    std::string winRoot, savedCwd;  // winRoot: root as a Z: path

    void SetUp() override
    {
        CliTest::SetUp();
        savedCwd = std::filesystem::current_path();
        std::filesystem::current_path(root);
        winRoot = "Z:" + root;
        std::replace(winRoot.begin(), winRoot.end(), '/', '\\');
    }
    void TearDown() override
    {
        std::filesystem::current_path(savedCwd);
        CliTest::TearDown();
    }
    std::string Win(const std::string &relative) const { return winRoot + "\\" + relative; }
    static HANDLE Open(const char *name, DWORD access, DWORD disposition)
    {
        return CreateFileA(name, access, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
    }
};

// Feeds the console reader from a string for as long as it lives.
struct ConsoleInput {
    std::string text;
    FILE *stream = fmemopen(&text[0], text.size() - 1, "r");
    explicit ConsoleInput(const std::string &lines) : text(lines + '\0') { HostSetConsoleInput(stream); }
    ~ConsoleInput() { HostSetConsoleInput(nullptr), fclose(stream); }
};

TEST_F(PlatformTest, FullPathNamesResolveLikeWin32)
{
    const struct { const char *name; std::string expected; } cases[] = {
        {"Out", winRoot + "\\Out"}, {"Out\\", winRoot + "\\Out\\"}, {".\\a\\..\\b", winRoot + "\\b"},
        {"\\x", "Z:\\x"}, {"/x/y/", "Z:\\x\\y\\"}, {"Z:\\a\\..\\b\\.\\c", "Z:\\b\\c"},
        {"z:\\a\\\\b", "Z:\\a\\b"}, {"Z:\\..\\..", "Z:\\"}, {"Z:", winRoot}, {"Z:sub", winRoot + "\\sub"},
        {"c:/x/../Program Files/", "C:\\Program Files\\"}, {"name. .", winRoot + "\\name"}, {"", "<fails>"},
    };
    char buffer[MAX_PATH];
    for (const auto &c : cases) {
        DWORD n = GetFullPathNameA(c.name, sizeof buffer, buffer, nullptr);
        EXPECT_EQ(n ? std::string(buffer, n) : "<fails>", c.expected) << "for \"" << c.name << "\"";
    }

    // Too small a buffer: the size needed, terminator counted.
    std::string expected = winRoot + "\\dir\\file.txt";
    std::string exact(expected.size() + 1, '?');
    EXPECT_EQ(GetFullPathNameA("dir\\file.txt", (DWORD)exact.size() - 1, &exact[0], nullptr), exact.size());
    EXPECT_EQ(GetFullPathNameA("dir\\file.txt", (DWORD)exact.size(), &exact[0], nullptr), expected.size());
    EXPECT_STREQ(exact.c_str(), expected.c_str());
}

TEST_F(PlatformTest, CurrentDirectoryAndHostPathsAreOnDriveZ)
{
    char buffer[MAX_PATH];
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0777), 0);
    for (const auto &[name, current] :
         {std::pair<const char *, std::string>{".", winRoot}, {"sub", Win("sub")}, {"Z:\\", "Z:\\"}}) {
        ASSERT_TRUE(SetCurrentDirectoryA(name));
        EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), current.size());
        EXPECT_EQ(buffer, current);
    }
    EXPECT_STREQ(getcwd(buffer, sizeof buffer), "/");
    for (const char *refused : {"Z:\\no\\such\\dir", "C:\\", ""})
        EXPECT_FALSE(SetCurrentDirectoryA(refused)) << refused;
    ASSERT_EQ(chdir(root.c_str()), 0);

    // Only names given to Win32 lose a trailing dot; other drives have no Linux path.
    ASSERT_TRUE(HostPathFromUnix("x.", buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer), Win("x."));
    EXPECT_FALSE(HostPathToUnix("C:\\a", buffer, sizeof buffer));
}

TEST_F(PlatformTest, ReadsSeeksAndFailuresLikeWin32)
{
    std::string bytes;
    for (int i = 0; i < 2000; i++)
        bytes += (char)(i * 7);
    Write("data.bin", bytes);
    HANDLE in = Open("data.bin", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(in, nullptr), bytes.size());
    EXPECT_EQ(SetFilePointer(in, 1000, nullptr, FILE_BEGIN), 1000u);
    EXPECT_EQ(SetFilePointer(in, -10, nullptr, FILE_CURRENT), 990u);
    char chunk[16];
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(in, chunk, sizeof chunk, &done, nullptr));
    EXPECT_EQ(std::string(chunk, done), bytes.substr(990, 16));
    EXPECT_EQ(SetFilePointer(in, -5, nullptr, FILE_END), bytes.size() - 5);
    for (DWORD left : {5u, 0u})  // a read across the end stops at it, then succeeds with nothing
        EXPECT_TRUE(ReadFile(in, chunk, sizeof chunk, &done, nullptr) && done == left);
    EXPECT_EQ(SetFilePointer(in, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(SetFilePointer(in, 0x7FFFFFFF, nullptr, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(SetFilePointer(in, 0x7FFFFFFF, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_EQ(SetFilePointer(in, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER)
        << "a position beyond 32 bits needs the high part";
    EXPECT_TRUE(CloseHandle(in));
    HANDLE out = Open(Win("data.bin").c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ(GetFileSize(out, nullptr), 0u) << "CREATE_ALWAYS truncates";
    EXPECT_TRUE(CloseHandle(out));

    // An existing directory is a failure.
    const std::pair<std::string, BOOL> directories[] = {
        {"dir", TRUE}, {"dir", FALSE}, {Win("dir\\deeper\\"), TRUE}, {"missing\\child", FALSE}, {"C:\\dir", FALSE}};
    for (const auto &[name, made] : directories)
        EXPECT_EQ(CreateDirectoryA(name.c_str(), nullptr), made) << name;
    EXPECT_EQ(GetFileAttributesA("dir\\deeper"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Open("absent.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("dir", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    for (const char *name : {"dir", "C:\\x.txt", "nodir\\x.txt"})
        EXPECT_EQ(Open(name, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE) << name;
    EXPECT_FALSE(DeleteFileA("dir")) << "DeleteFileA does not remove directories";
}

TEST_F(PlatformTest, PathsLongerThanWindowsTakesAreRefusedWithItsCodes)
{
    // A directory leaves room for an 8.3 name, the current one for a backslash.
    enum Call { File, Directory, Current };
    const struct { Call call; size_t length; DWORD error; } cases[] = {
        {File, 259, 0},      {File, 260, ERROR_PATH_NOT_FOUND},
        {Directory, 247, 0}, {Directory, 248, ERROR_FILENAME_EXCED_RANGE},
        {Current, 258, 0},   {Current, 259, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto &c : cases) {
        std::string last(c.length - winRoot.size() - 1, "fdc"[c.call]);
        if (c.call == Current) {
            ASSERT_EQ(mkdir((root + "/" + last).c_str(), 0777), 0);
        }
        std::string name = Win(last);
        SetLastError(0);
        BOOL done = c.call == File        ? CloseHandle(Open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS))
                    : c.call == Directory ? CreateDirectoryA(name.c_str(), nullptr)
                                          : SetCurrentDirectoryA(name.c_str());
        EXPECT_EQ(done, c.error == 0) << c.length;
        EXPECT_EQ(GetLastError(), c.error) << c.length;
        EXPECT_EQ(GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES, c.error == 0 || c.call == Current);
    }
    std::string dots;
    while (dots.size() < MAX_PATH)
        dots += ".\\";
    EXPECT_EQ(GetFileAttributesA((dots + "f").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(PlatformTest, AttributesReadOnlyRefusesWritingAndDeletion)
{
    Write("locked.txt", "keep me");
    ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat("locked.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only clears every write bit";
    EXPECT_EQ(GetFileAttributesA("locked.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
    for (DWORD disposition : {CREATE_ALWAYS, OPEN_EXISTING})
        EXPECT_EQ(Open("locked.txt", GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA("locked.txt"));
    EXPECT_TRUE(CloseHandle(Open("locked.txt", GENERIC_READ, OPEN_EXISTING))) << "reading is allowed";
    ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("locked.txt"));
    EXPECT_FALSE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_NORMAL));

    // Hidden, system and archive live in an extended attribute; a replaced file starts without.
    Write("flags.txt", "x");
    if (setxattr("flags.txt", "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here";
    ASSERT_TRUE(SetFileAttributesA("flags.txt", FILE_ATTRIBUTE_ARCHIVE | 0x18));  // directory, volume: ignored
    EXPECT_EQ(GetFileAttributesA("flags.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesA("flags.txt", FILE_ATTRIBUTE_HIDDEN));
    CloseHandle(Open("flags.txt", GENERIC_WRITE, CREATE_ALWAYS));
    EXPECT_EQ(GetFileAttributesA("flags.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
}

class TimeZoneTest : public ::testing::TestWithParam<const char *> {
protected:
    const char *saved = getenv("TZ");
    std::string savedTz = saved ? saved : "";
    void SetUp() override { setenv("TZ", GetParam(), 1), tzset(); }
    void TearDown() override { saved ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ"), tzset(); }
};

uint64_t Ticks(const FILETIME &ft) { return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime; }

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, uint64_t plus = 0)
{
    SYSTEMTIME st = {year, month, 0, day, hour, minute, second, 0};
    FILETIME ft = {};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    uint64_t ticks = Ticks(ft) + plus;
    return FILETIME{(DWORD)ticks, (DWORD)(ticks >> 32)};
}

const uint64_t hour = 36000000000ull;  // in 100 ns ticks

TEST_P(TimeZoneTest, SystemAndDosTimes)
{
    EXPECT_EQ(Ticks(Utc(1601, 1, 1, 0, 0, 0)), 0u);
    EXPECT_EQ(Ticks(Utc(1970, 1, 1, 0, 0, 0)), 11644473600ull * 10000000);
    EXPECT_EQ(Ticks(Utc(2000, 3, 1, 0, 0, 0)) - Ticks(Utc(2000, 2, 28, 0, 0, 0)), 48 * hour);
    FILETIME ft;
    const SYSTEMTIME refused[] = {{2021, 4, 0, 31, 0, 0, 0, 0}, {1900, 2, 0, 29, 0, 0, 0, 0},
                                  {2021, 4, 0, 1, 24, 0, 0, 0}, {2021, 4, 0, 1, 0, 0, 60, 0}};
    for (const SYSTEMTIME &st : refused)
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;

    // Every month of a few years, 29 February where there is one, there and back.
    for (int year : {1980, 1999, 2024, 2107}) {
        for (int month = 1; month <= 12; month++) {
            int day = month == 2 && year % 4 == 0 ? 29 : 28;
            WORD date = (WORD)((year - 1980) << 9 | month << 5 | day), date2 = 0, time2 = 0;
            WORD time = (WORD)((month + 10) << 11 | (month * 4) << 5 | 29);
            ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft)) << year << "-" << month;
            EXPECT_EQ(Ticks(ft), Ticks(Utc(year, month, day, month + 10, month * 4, 58)));
            ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date2, &time2));
            EXPECT_TRUE(date2 == date && time2 == time) << year << "-" << month;
        }
    }
    WORD date, time;
    FILETIME odd = Utc(2010, 6, 15, 12, 30, 59);
    ASSERT_TRUE(FileTimeToDosDateTime(&odd, &date, &time));
    EXPECT_EQ(time & 31, 29) << "odd seconds round down to the even second";
    for (FILETIME outside : {Utc(1979, 12, 31, 23, 59, 59), Utc(2108, 1, 1, 0, 0, 0)})
        EXPECT_FALSE(FileTimeToDosDateTime(&outside, &date, &time));
    const WORD badStamps[][2] = {{0, 0},           {0 << 5 | 1, 0},  {13 << 5 | 1, 0},       {1 << 5 | 0, 0},
                                 {2 << 5 | 30, 0}, {4 << 5 | 31, 0}, {1 << 5 | 1, 24 << 11}, {1 << 5 | 1, 60 << 5},
                                 {1 << 5 | 1, 30}};
    for (const auto &bad : badStamps)
        EXPECT_FALSE(DosDateTimeToFileTime(bad[0], bad[1], &ft)) << bad[0] << " " << bad[1];
}

TEST_P(TimeZoneTest, LocalTimeFollowsTheZoneAtThatInstant)
{
    bool berlin = strcmp(GetParam(), "UTC") != 0;
    uint64_t winter = berlin ? hour : 0, summer = berlin ? 2 * hour : 0;
    const std::tuple<FILETIME, uint64_t, bool> cases[] = {
        {Utc(2021, 1, 15, 12, 0, 0), winter, false},           {Utc(2021, 7, 15, 12, 0, 0, 1234567), summer, false},
        {Utc(2021, 3, 28, 0, 59, 59), winter, false},          {Utc(2021, 3, 28, 1, 0, 0), summer, false},
        {Utc(2021, 10, 31, 0, 59, 59), summer, berlin},        {Utc(2021, 10, 31, 1, 0, 0), winter, berlin}};
    for (const auto &[utc, shift, recurs] : cases) {
        FILETIME local, back;
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(Ticks(local) - Ticks(utc), shift);
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
        EXPECT_TRUE(recurs || Ticks(back) == Ticks(utc)) << "unambiguous local times convert back";
    }
    // 02:30 does not exist in spring (read as 03:30) and happens twice in autumn.
    FILETIME skipped = Utc(2021, 3, 28, 2, 30, 0), twice = Utc(2021, 10, 31, 2, 30, 0), utc;
    ASSERT_TRUE(LocalFileTimeToFileTime(&skipped, &utc));
    EXPECT_EQ(Ticks(utc), Ticks(Utc(2021, 3, 28, berlin ? 1 : 2, 30, 0)));
    ASSERT_TRUE(LocalFileTimeToFileTime(&twice, &utc));
    EXPECT_TRUE(Ticks(utc) == Ticks(Utc(2021, 10, 31, berlin ? 0 : 2, 30, 0)) ||
                Ticks(utc) == Ticks(Utc(2021, 10, 31, berlin ? 1 : 2, 30, 0)));
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeZoneTest, ::testing::Values("UTC", "Europe/Berlin"));

TEST(PlatformText, OemNamesBecomeAnsi)
{
    const unsigned char oem[] = {'A', 'z', 0x81, 0x8E, 0x99, 0x9A, 0xE1, 0x82, 0xA4, 0x7F};
    const unsigned char ansi[] = {'A', 'z', 0xFC, 0xC4, 0xD6, 0xDC, 0xDF, 0xE9, 0xF1, 0x7F};
    char text[sizeof oem];
    memcpy(text, oem, sizeof oem);
    ASSERT_TRUE(OemToCharBuffA(text, text, sizeof oem));  // in place, as the extractor does
    EXPECT_EQ(memcmp(text, ansi, sizeof ansi), 0);
    // No OEM byte becomes a control character or a path separator.
    for (int c = 0x80; c <= 0xFF; c++) {
        char in = (char)c, out;
        OemToCharBuffA(&in, &out, 1);
        EXPECT_TRUE((unsigned char)out >= 0x20 && out != '\\' && out != '/') << std::hex << c;
    }
}

TEST(PlatformConsole, MessageBoxesAskUntilAnswered)
{
    const struct { UINT flags; const char *input; int answer; } cases[] = {
        {MB_YESNO, "  YES \n", IDYES},      {MB_YESNO, "maybe\nc\nn\n", IDNO}, {MB_YESNO, "what\n", IDNO},
        {MB_YESNOCANCEL, "c\r\n", IDCANCEL}, {MB_YESNOCANCEL, "y", IDYES},     {MB_YESNOCANCEL, "", IDNO},
        {MB_OK | MB_ICONHAND, "y\n", IDOK},  // reads nothing: the Yes goes to the next box
    };
    for (const auto &c : cases) {
        ConsoleInput input(c.input);
        testing::internal::CaptureStderr();
        EXPECT_EQ(MessageBoxA(nullptr, "Replace?", "Warning", c.flags), c.answer) << c.input;
        if (c.answer == IDOK) {
            EXPECT_EQ(MessageBoxA(nullptr, "Go on?", "Warning", MB_YESNO), IDYES);
        }
        testing::internal::GetCapturedStderr();
    }
    ConsoleInput input("maybe\ny\n");
    testing::internal::CaptureStderr();
    MessageBoxA(nullptr, "Cannot write\nthe file.", "Error", MB_OK | MB_ICONHAND);
    MessageBoxA(nullptr, "Go on?", "Warning", MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Cannot write\nthe file.\n"
                          "Warning: Go on? [y/n] maybe\nWarning: Go on? [y/n] y\n");
}

INT_PTR CALLBACK ProposingProc(HWND window, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG) {
        SendDlgItemMessageA(window, 1001, EM_LIMITTEXT, 20, 0);
        SendDlgItemMessageA(window, 1001, WM_SETTEXT, 0, (LPARAM) "Z:\\proposal");
    }
    return TRUE;
}

TEST(PlatformDialog, TargetPromptTurnsAnswersIntoButtons)
{
    HWND dialog = CreateDialogParamA(nullptr, MAKEINTRESOURCE(102), nullptr, ProposingProc, 0);
    ASSERT_NE(dialog, nullptr);
    ConsoleInput input("\nOut\\new\n  \nan-overlong-directory-name\n");
    testing::internal::CaptureStderr();
    // Each line clicks Extract (a blank one keeps the text), the end of input Cancel.
    const char *const texts[] = {"Z:\\proposal", "Out\\new", "Out\\new", "an-overlong-director", nullptr, nullptr};
    MSG msg;
    char text[MAX_PATH];
    for (const char *expected : texts) {
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.hwnd, dialog);
        EXPECT_EQ(msg.message, (UINT)WM_COMMAND);
        EXPECT_EQ(msg.wParam, expected ? 1002u : (WPARAM)IDCANCEL);
        SendDlgItemMessageA(dialog, 1001, WM_GETTEXT, sizeof text, (LPARAM)text);
        EXPECT_STREQ(text, expected ? expected : "an-overlong-director");
    }
    EXPECT_EQ(SendDlgItemMessageA(dialog, 1001, WM_GETTEXT, 8, (LPARAM)text), 7);
    EXPECT_STREQ(text, "an-over") << "cut to the buffer, terminated";
    PostQuitMessage(0);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE) << "the quit is taken once";
    std::string prompts = testing::internal::GetCapturedStderr();
    EXPECT_EQ(prompts.find("Target directory [Z:\\proposal]: "), 0u) << prompts;
    EXPECT_NE(prompts.find("Target directory [Out\\new]: "), std::string::npos) << prompts;
    EXPECT_TRUE(DestroyWindow(dialog));
}

TEST(PlatformDialog, ProgressLinesAndCtrlCWhileTheProgressDialogLives)
{
    struct sigaction before, after;
    sigaction(SIGINT, nullptr, &before);
    HWND progress = CreateDialogParamA(nullptr, MAKEINTRESOURCE(103), nullptr, ProposingProc, 0);
    testing::internal::CaptureStdout();
    SendDlgItemMessageA(progress, 1005, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\first.txt");
    for (int pos = 0; pos <= 421; pos += 20)
        SendDlgItemMessageA(progress, 1005, PBM_SETPOS, (WPARAM)pos, 0);
    EXPECT_EQ(SendDlgItemMessageA(progress, 1005, PBM_SETPOS, 421, 0), 420);
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\docs\\readme.txt");
    SendDlgItemMessageA(progress, 1005, PBM_SETPOS, 5000, 0);
    SendDlgItemMessageA(progress, 1006, WM_SETTEXT, 0, (LPARAM) "Z:\\out\\last");

    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    raise(SIGINT);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, progress);
    EXPECT_EQ(msg.wParam, (WPARAM)IDCANCEL) << "Ctrl-C is the Cancel button";
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "one cancel, once";
    DestroyWindow(progress);
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "the previous handling is back";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "   0.0%  Z:\\out\\first.txt\n"
                          "  42.1%  Z:\\out\\docs\\readme.txt\n"
                          " 100.0%  Z:\\out\\last\n")
        << "no progress figures on a file, and positions stay in range";
}

}  // namespace
