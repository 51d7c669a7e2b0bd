// Faults injected in-process by wrapping the stand-in's GlobalAlloc,
// CreateDialogParamA and GetDiskFreeSpaceA at link time.
#include <string.h>

#include <set>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

namespace fs = std::filesystem;

namespace {

std::vector<size_t> allocations;  // the sizes asked for since the run started
size_t failAllocation;            // 1-based number of the allocation that fails; 0: none
uintptr_t failDialog;             // template id whose creation fails; 0: none
DWORD fakeDisk[3];                // sectors per cluster, bytes per sector, free clusters

}  // namespace

extern "C" {
HGLOBAL __real__Z11GlobalAllocjm(UINT flags, size_t bytes);
HGLOBAL __wrap__Z11GlobalAllocjm(UINT flags, size_t bytes)
{
    allocations.push_back(bytes);
    return allocations.size() == failAllocation ? nullptr : __real__Z11GlobalAllocjm(flags, bytes);
}

HWND __real__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);
HWND __wrap__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(HINSTANCE instance, LPCSTR templ, HWND parent, DLGPROC proc, LPARAM param)
{
    return (uintptr_t)templ == failDialog ? nullptr : __real__Z18CreateDialogParamAP14PlatformModulePKcP14PlatformWindowPFlS4_jmlEl(instance, templ, parent, proc, param);
}

BOOL __real__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(LPCSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);
BOOL __wrap__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(LPCSTR root, LPDWORD spc, LPDWORD bps, LPDWORD freeClusters, LPDWORD total)
{
    if (!fakeDisk[0])
        return __real__Z17GetDiskFreeSpaceAPKcPjS1_S1_S1_(root, spc, bps, freeClusters, total);
    *spc = fakeDisk[0], *bps = fakeDisk[1], *freeClusters = fakeDisk[2], *total = 0xFFFFFFFFu;
    return TRUE;
}
}

namespace {

class InjectedFaults : public CliTest {
protected:
    void TearDown() override
    {
        failAllocation = failDialog = 0;
        fakeDisk[0] = 0;
        CliTest::TearDown();
    }

    int Run(const std::vector<lzh::Member> &members, const std::string &answers, std::string &said)
    {
        allocations.clear();
        return RunInProcess(Write("a.lzh", lzh::Archive(members)), answers, said);
    }
};

TEST_F(InjectedFaults, DialogsThatCannotBeCreatedEndTheRunWithAMessage)
{
    const std::map<uintptr_t, std::string> said = {{102, "Error: Cannot open the dialog window.\n"},
                                                   {103, "Error: Cannot open the progress window.\n"}};
    for (const auto &[dialog, message] : said) {
        failDialog = dialog;
        std::string text;
        EXPECT_EQ(Run({lzh::Stored("a.txt", "a")}, "", text), 1);
        EXPECT_EQ(text, message);
        EXPECT_FALSE(Exists(Path("out")));
    }
}

TEST_F(InjectedFaults, EveryFailedAllocationIsReportedAndLeavesOnlyWholeFiles)
{
    const std::vector<lzh::Member> members = {lzh::Directory("d\\"), lzh::Stored("d\\a.txt", "a"),
                                              lzh::Stored("b.txt", "new"), lzh::Stored("c.txt", "c")};
    const std::map<std::string, std::set<std::string>> whole = {
        {"d/a.txt", {"a"}}, {"b.txt", {"old", "new"}}, {"c.txt", {"c"}}};
    auto prepare = [&] {
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "' && mkdir '" + Path("out") + "'").c_str()), 0);
        Write("out/b.txt", "old");
    };
    // A clean run counts the allocations and finds the replace question's text.
    std::string said;
    prepare();
    ASSERT_EQ(Run(members, "y\n", said), 0) << said;
    size_t total = allocations.size(), question = 0;
    char existing[MAX_PATH];
    ASSERT_TRUE(HostPathFromUnix(Path("out/b.txt").c_str(), existing, sizeof existing));
    for (size_t i = 0; i < total; i++)
        question = allocations[i] == strlen(existing) + 100 ? i + 1 : question;
    ASSERT_NE(question, 0u);

    for (failAllocation = 1; failAllocation <= total; failAllocation++) {
        SCOPED_TRACE("allocation " + std::to_string(failAllocation) + " of " + std::to_string(total));
        prepare();
        EXPECT_EQ(Run(members, "y\ny\n", said), 1) << said;
        // Only the question's text fails its member alone; a path ends the run.
        bool isQuestion = failAllocation == question;
        ExpectSaid(said, {{kNoMemory, 1}, {"Error: ", 1}, {kGoOn, isQuestion}});
        EXPECT_TRUE(!isQuestion || Read(Path("out/b.txt")) == "old") << "b.txt kept";
        for (const auto &item : fs::recursive_directory_iterator(Path("out"))) {
            std::string name = fs::relative(item.path(), Path("out")).generic_string();
            EXPECT_TRUE(item.is_directory() || (whole.count(name) && whole.at(name).count(Read(item.path()))))
                << name;
        }
    }
}

lzh::Member Claimed(const std::string &name, uint32_t originalSize)
{
    lzh::Member m = lzh::Stored(name, "x");
    m.originalSize = originalSize;
    return m;
}

TEST_F(InjectedFaults, FreeSpaceIsCountedIn64Bits)
{
    const struct {
        const char *what;
        DWORD disk[3];
        std::vector<lzh::Member> members;
        const char *answers;
        int exitCode, spaceWarnings, damaged, entries;
    } cases[] = {
        {"2^33 sectors", {8, 512, 0x40000000}, {lzh::Stored("a.txt", std::string(5000, 'a'))}, "", 0, 0, 0, 1},
        {"8 GiB claimed", {8, 512, 0x40000000}, {Claimed("b", 0xF0000000), Claimed("c", 0xF0000000)}, "n\nn\n", 0, 0, 2, 0},
        {"sum saturates", {1, 512, 1000}, {Claimed("a", 0xFFFFFF00), Claimed("b", 0x200)}, "n\n", 1, 1, 0, 0},
        {"full disk, Yes", {8, 512, 0}, {lzh::Stored("a.txt", "a")}, "y\n", 0, 1, 0, 1},
        {"sector size 0: no check", {8, 0, 0}, {lzh::Stored("a.txt", "a")}, "", 0, 0, 0, 1},
        {"directories need nothing", {8, 512, 0}, {lzh::Directory("d\\")}, "", 0, 0, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        memcpy(fakeDisk, c.disk, sizeof fakeDisk);
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
        std::string said;
        EXPECT_EQ(Run(c.members, c.answers, said), c.exitCode) << said;
        ExpectSaid(said, {{kSpace, c.spaceWarnings}, {kDamaged, c.damaged}});
        EXPECT_EQ(CountEntries(Path("out")), c.entries);
    }
}

}  // namespace
