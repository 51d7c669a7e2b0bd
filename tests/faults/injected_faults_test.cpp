// Faults injected under the extractor, in-process: every allocation of a
// run failing in turn, dialogs that cannot be created, and drives whose
// free sectors do not fit 32 bits. The stand-in's GlobalAlloc,
// CreateDialogParamA and GetDiskFreeSpaceA are wrapped at link time (see
// CMakeLists.txt); each wrapper passes the call on unless a test says
// otherwise.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "shell/shell.h"
#include "tests/lzh_builder.h"

namespace fs = std::filesystem;

namespace {

int allocationsSeen;    // since the run started
std::vector<size_t> allocationSizes;
int failAllocation;     // 1-based number of the allocation that fails; 0: none
uintptr_t failDialog;   // template id whose creation fails; 0: none
bool fakeDisk;
DWORD fakeSectorsPerCluster, fakeBytesPerSector, fakeFreeClusters;

}  // namespace

extern "C" {
HGLOBAL __real__Z11GlobalAllocjm(UINT flags, size_t bytes);
HGLOBAL __wrap__Z11GlobalAllocjm(UINT flags, size_t bytes)
{
    allocationSizes.push_back(bytes);
    if (++allocationsSeen == failAllocation)
        return nullptr;
    return __real__Z11GlobalAllocjm(flags, bytes);
}

HWND __real__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(
    HINSTANCE instance, LPCSTR templ, HWND parent, DLGPROC proc, LPARAM param);
HWND __wrap__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(
    HINSTANCE instance, LPCSTR templ, HWND parent, DLGPROC proc, LPARAM param)
{
    if (failDialog && (uintptr_t)templ == failDialog)
        return nullptr;
    return __real__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(
        instance, templ, parent, proc, param);
}

BOOL __real__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(LPCSTR root, LPDWORD spc, LPDWORD bps,
                                                LPDWORD freeClusters, LPDWORD total);
BOOL __wrap__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(LPCSTR root, LPDWORD spc, LPDWORD bps,
                                                LPDWORD freeClusters, LPDWORD total)
{
    if (!fakeDisk)
        return __real__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(root, spc, bps, freeClusters, total);
    *spc = fakeSectorsPerCluster;
    *bps = fakeBytesPerSector;
    *freeClusters = fakeFreeClusters;
    *total = 0xFFFFFFFFu;
    return TRUE;
}
}

namespace {

const char kNoMemory[] = "Error: Not enough memory.";
const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kSpace[] = "Warning: There is not enough space on the data carrier.";

int Occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::string ReadAll(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class InjectedFaults : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/corvane-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        failAllocation = 0;
        failDialog = 0;
        fakeDisk = false;
    }

    void TearDown() override
    {
        failAllocation = 0;
        failDialog = 0;
        fakeDisk = false;
        HostSetConsoleInput(nullptr);
        std::error_code e;
        fs::remove_all(root, e);
    }

    std::string Out() const { return root + "/out"; }

    std::string WriteArchive(const std::string &bytes)
    {
        std::string path = root + "/a.lzh";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // The whole run in this process; what it said is left in `said`.
    int Run(const std::string &file, std::string answers, std::string &said)
    {
        if (answers.empty())
            answers = "\n";  // an empty line, then the end: No
        FILE *input = fmemopen((void *)answers.data(), answers.size(), "r");
        HostSetConsoleInput(input);
        HostSetModulePath(file.c_str());
        HostSetTargetAnswer(Out().c_str());
        std::string log = root + "/said.txt";
        fflush(stderr);
        int saved = dup(2);
        FILE *capture = fopen(log.c_str(), "w");
        dup2(fileno(capture), 2);
        runState = RunState();
        allocationsSeen = 0;
        allocationSizes.clear();
        int code = RunSelfExtractor();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        fclose(capture);
        HostSetConsoleInput(nullptr);
        fclose(input);
        said = ReadAll(log);
        return code;
    }
};

// ---- Dialogs.

TEST_F(InjectedFaults, DialogsThatCannotBeCreatedEndTheRunWithAMessage)
{
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("a.txt", "a")}));
    std::string said;
    failDialog = 102;
    EXPECT_EQ(Run(file, "", said), 1);
    EXPECT_EQ(said, "Error: Cannot open the dialog window.\n");
    EXPECT_FALSE(fs::exists(Out()));

    failDialog = 103;
    EXPECT_EQ(Run(file, "", said), 1);
    EXPECT_EQ(said, "Error: Cannot open the progress window.\n");
    EXPECT_FALSE(fs::exists(Out()));
}

// ---- Allocations: the member paths, and the text of the replace question.

TEST_F(InjectedFaults, EveryFailedAllocationIsReportedAndLeavesOnlyWholeFiles)
{
    std::string file = WriteArchive(lzh::Archive({lzh::Directory("d\\"), lzh::Stored("d\\a.txt", "a"),
                                                  lzh::Stored("b.txt", "new"),
                                                  lzh::Stored("c.txt", "c")}));
    auto prepare = [&] {
        std::error_code e;
        fs::remove_all(Out(), e);
        fs::create_directories(Out());
        std::ofstream(Out() + "/b.txt") << "old";
    };
    // A run without faults: how many allocations there are to fail.
    std::string said;
    prepare();
    ASSERT_EQ(Run(file, "y\n", said), 0) << said;
    int total = allocationsSeen;
    ASSERT_GE(total, 7) << "two paths per member and the replace question";
    // The replace question's text: the path and 100 bytes more.
    char existing[MAX_PATH];
    ASSERT_TRUE(HostPathFromUnix((Out() + "/b.txt").c_str(), existing, sizeof existing));
    int question = 0;
    for (size_t i = 0; i < allocationSizes.size(); i++)
        if (allocationSizes[i] == strlen(existing) + 100)
            question = (int)i + 1;
    ASSERT_NE(question, 0);

    for (int k = 1; k <= total; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total));
        prepare();
        failAllocation = k;
        // Yes to the replace question when it is asked, Yes to stop after
        // the failed member when that is asked.
        int code = Run(file, "y\ny\n", said);
        EXPECT_EQ(code, 1) << said;
        EXPECT_EQ(Occurrences(said, kNoMemory), 1) << said;
        EXPECT_EQ(Occurrences(said, "Error: "), 1) << said;
        // A member path that cannot be made ends the run at once; the
        // question text that cannot be made fails its member only: the
        // existing file is kept and the user decides, as after any
        // failed member (Yes here).
        EXPECT_EQ(Occurrences(said, kGoOn), k == question ? 1 : 0) << said;
        if (k == question) {
            EXPECT_EQ(ReadAll(Out() + "/b.txt"), "old");
        }
        // Whatever is there is whole.
        std::error_code e;
        for (const auto &item : fs::recursive_directory_iterator(Out(), e)) {
            if (item.is_directory())
                continue;
            std::string name = fs::relative(item.path(), Out()).generic_string();
            std::string bytes = ReadAll(item.path().string());
            std::set<std::string> whole = name == "b.txt" ? std::set<std::string>{"old", "new"}
                                          : name == "d/a.txt" ? std::set<std::string>{"a"}
                                          : name == "c.txt"   ? std::set<std::string>{"c"}
                                                              : std::set<std::string>{};
            EXPECT_TRUE(whole.count(bytes)) << name << ": " << bytes;
        }
    }
}

// ---- The free-space check in 64 bits.

class FreeSpace : public InjectedFaults {
protected:
    void Disk(DWORD sectorsPerCluster, DWORD bytesPerSector, DWORD freeClusters)
    {
        fakeDisk = true;
        fakeSectorsPerCluster = sectorsPerCluster;
        fakeBytesPerSector = bytesPerSector;
        fakeFreeClusters = freeClusters;
    }
};

lzh::Member Claimed(const std::string &name, uint32_t originalSize)
{
    lzh::Member m = lzh::Stored(name, "x");
    m.originalSize = originalSize;
    return m;
}

TEST_F(FreeSpace, MoreThan2To32FreeSectorsIsPlenty)
{
    // 2^30 clusters of 8 sectors: 2^33 sectors, which 32 bits would wrap to 0.
    Disk(8, 512, 0x40000000u);
    std::string said;
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("a.txt", std::string(5000, 'a'))}));
    EXPECT_EQ(Run(file, "", said), 0) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 0) << said;
    EXPECT_EQ(ReadAll(Out() + "/a.txt"), std::string(5000, 'a'));

    // Claimed sizes of nearly 8 GiB in all fit as well; the members then
    // fail on their own (their data is one byte).
    file = WriteArchive(lzh::Archive({Claimed("b.bin", 0xF0000000u), Claimed("c.bin", 0xF0000000u)}));
    EXPECT_EQ(Run(file, "n\nn\n", said), 0) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 0) << said;
    EXPECT_EQ(Occurrences(said, "Error: The archive is damaged."), 2) << said;
}

TEST_F(FreeSpace, SizesAddUpWithoutWrapping)
{
    // 0xFFFFFF00 + 0x200 would wrap to 256 bytes, one sector; the sum
    // saturates at 4 GiB - 1 instead, and 1000 free sectors are too few.
    Disk(1, 512, 1000);
    std::string said;
    std::string file = WriteArchive(lzh::Archive({Claimed("a.bin", 0xFFFFFF00u), Claimed("b.bin", 0x200)}));
    EXPECT_EQ(Run(file, "n\n", said), 1) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 1) << said;
    EXPECT_FALSE(fs::exists(Out() + "/a.bin"));
    EXPECT_FALSE(fs::exists(Out() + "/b.bin"));
}

TEST_F(FreeSpace, FullDiskWarnsUnknownSectorSizeSkipsTheCheck)
{
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("a.txt", "a")}));
    std::string said;
    Disk(8, 512, 0);
    EXPECT_EQ(Run(file, "y\n", said), 0) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 1) << said;
    EXPECT_EQ(ReadAll(Out() + "/a.txt"), "a");

    Disk(8, 0, 0);
    fs::remove_all(Out());
    EXPECT_EQ(Run(file, "", said), 0) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 0) << said;

    // Directories alone need nothing, even on a full disk.
    Disk(8, 512, 0);
    file = WriteArchive(lzh::Archive({lzh::Directory("d\\")}));
    EXPECT_EQ(Run(file, "", said), 0) << said;
    EXPECT_EQ(Occurrences(said, kSpace), 0) << said;
    EXPECT_TRUE(fs::is_directory(Out() + "/d"));
}

}  // namespace
