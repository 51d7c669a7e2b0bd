// Writing that fails for reasons outside the archive: target paths longer
// than Windows takes them, a directory and a file that cannot be changed,
// and a target directory that disappears in the middle of the run. Each
// gives its own message (or none, where creating a file fails), the
// question after a failed member, and leaves no half-written file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/run_in_process.h"

namespace {

const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kReplace[] = "Warning: Do you want to replace the file";
const char kCannotWrite[] = "Error: Cannot write the file.";
const char kCannotCreate[] = "Error: Cannot create the directory.";

class WriteFaults : public CliTest {
protected:
    std::vector<std::string> immutable;

    void TearDown() override
    {
        for (const std::string &path : immutable)
            Chattr("-i", path);
        CliTest::TearDown();
    }

    static bool Chattr(const char *flag, const std::string &path)
    {
        return system(("chattr " + std::string(flag) + " '" + path + "' 2>/dev/null").c_str()) == 0;
    }

    // A file or directory that nobody, root included, may change; false
    // where the file system or the user cannot make one.
    bool MakeImmutable(const std::string &path)
    {
        return Chattr("+i", path) && (immutable.push_back(path), true);
    }

    std::string Out() const { return Path("out"); }
};

TEST_F(WriteFaults, PathsJustInsideAndJustOutsideWhatWindowsTakes)
{
    // 259 characters for a file, 247 for a directory (Windows keeps room
    // for an 8.3 name in it). Past those, the creation itself fails, as on
    // Windows: a file with no message, a directory with its own.
    char target[4096];
    ASSERT_TRUE(HostPathFromUnix(Out().c_str(), target, sizeof target));
    size_t room = 258 - strlen(target);  // member path characters behind "TARGET\"
    ASSERT_GT(room, 110u);
    ASSERT_LT(room + 1, 234u) << "a level 0 name holds 233 bytes";
    auto path = [](size_t length, char c, const char *separator) {
        return std::string(100, c) + separator + std::string(length - 101, c);
    };
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored(path(room, 'f', "\\"), "fits"),
                                                     lzh::Stored(path(room + 1, 'l', "\\"), "too long"),
                                                     lzh::Directory(path(room - 12, 'g', "\\") + "\\"),
                                                     lzh::Directory(path(room - 11, 'm', "\\") + "\\"),
                                                     lzh::Stored("after.txt", "after")}));
    RunResult r = Extract(file, "n\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 2) << r.err;
    EXPECT_EQ(Read(Out() + "/" + path(room, 'f', "/")), "fits");
    EXPECT_TRUE(IsDirectory(Out() + "/" + path(room - 12, 'g', "/")));
    // What was made in front of the refused members stays, empty.
    EXPECT_TRUE(IsDirectory(Out() + "/" + std::string(100, 'l')));
    EXPECT_TRUE(IsDirectory(Out() + "/" + std::string(100, 'm')));
    EXPECT_EQ(CountEntries(Out()), 7);
    EXPECT_EQ(Read(Out() + "/after.txt"), "after");
}

TEST_F(WriteFaults, DirectoryAndFileThatCannotBeChanged)
{
    // The locked directory takes nothing; the busy file is one in use, as
    // far as writing goes: Yes to replacing it clears its attributes (which
    // fails without a word), and creating it fails without a message.
    ASSERT_EQ(system(("mkdir -p '" + Out() + "/locked'").c_str()), 0);
    Write("out/busy.txt", "in use");
    if (!MakeImmutable(Out() + "/locked") || !MakeImmutable(Out() + "/busy.txt"))
        GTEST_SKIP() << "chattr +i is not available here";
    std::string file = Write("a.lzh", lzh::Archive({
                                          lzh::Stored("locked/f.txt", "f"),      // no message
                                          lzh::Directory("locked\\sub\\"),       // cannot create
                                          lzh::Stored("locked/new/g.txt", "g"),  // cannot create either
                                          lzh::Stored("busy.txt", "replacement"),
                                          lzh::Stored("free.txt", "free"),
                                      }));
    RunResult r = Extract(file, "n\nn\nn\ny\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, kReplace), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 4) << r.err;
    EXPECT_EQ(CountEntries(Out() + "/locked"), 0);
    EXPECT_EQ(Read(Out() + "/busy.txt"), "in use");
    EXPECT_EQ(Read(Out() + "/free.txt"), "free");
}

// ---- The target directory disappears during the run, in-process, held
// at a question: the answers come from a stream whose first read removes
// the target. So the question can be the progress dialog's own, in the
// middle of a member.

struct Hook {
    std::function<void()> action;
    std::string answers;
};

ssize_t ReadHook(void *cookie, char *buffer, size_t size)
{
    Hook *hook = (Hook *)cookie;
    if (hook->action)
        std::exchange(hook->action, nullptr)();
    size_t n = std::min(size, hook->answers.size());
    memcpy(buffer, hook->answers.data(), n);
    hook->answers.erase(0, n);
    return (ssize_t)n;
}

TEST_F(WriteFaults, TargetRemovedWhileAMemberIsWrittenOrBeforeOneIsCreated)
{
    auto removeTarget = [this] { ASSERT_EQ(system(("rm -rf '" + Out() + "'").c_str()), 0); };
    auto run = [&](const std::string &archive, const std::string &answers, int cancelAfter) {
        Hook hook{removeTarget, answers};
        FILE *input = fopencookie(&hook, "r", {ReadHook, nullptr, nullptr, nullptr});
        std::string said;
        EXPECT_EQ(RunInProcess(Write("a.lzh", archive), Out(), input, said, cancelAfter), 0) << said;
        fclose(input);
        return said;
    };
    // Cancel after big.bin's first block (the first pump follows a.txt);
    // while "Do you really want to cancel?" waits, the target goes, and the
    // answer is No. The open file is written to its end but cannot be given
    // its attributes where it was: "Cannot write the file.", and no trace
    // of it. The next member makes the target again.
    std::string said = run(lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", std::string(200000, 'b')),
                                         lzh::Stored("z.txt", "z")}),
                           "n\nn\n", 2);
    EXPECT_EQ(Occurrences(said, "Warning: Do you really want to cancel?"), 1) << said;
    EXPECT_EQ(Occurrences(said, kCannotWrite), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 1) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(Exists(Out() + "/a.txt"));
    EXPECT_FALSE(Exists(Out() + "/big.bin"));
    EXPECT_EQ(Read(Out() + "/z.txt"), "z");

    // The replace question holds the run; the target goes; Yes. Creating
    // the file fails with no message of its own, the user goes on, and the
    // next member makes the target again.
    ASSERT_EQ(system(("mkdir -p '" + Out() + "/sub'").c_str()), 0);
    Write("out/sub/f.txt", "old");
    said = run(lzh::Archive({lzh::Stored("sub/f.txt", "new"), lzh::Stored("sub/g.txt", "g")}), "y\nn\n", 0);
    EXPECT_EQ(Occurrences(said, kReplace), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 0) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(Exists(Out() + "/sub/f.txt"));
    EXPECT_EQ(Read(Out() + "/sub/g.txt"), "g");
}

}  // namespace
