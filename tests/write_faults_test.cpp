// Writing that fails for reasons outside the archive: target paths longer
// than Windows takes them, directories and files that cannot be changed,
// and a target directory that disappears in the middle of the run. Each
// gives its own message (or none, where creating a file fails), the
// question after a failed member, and leaves no half-written file.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/host.h"
#include "shell/shell.h"
#include "tests/lzh_builder.h"
#include "tests/run_cli.h"

namespace fs = std::filesystem;

namespace {

const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kCannotWrite[] = "Error: Cannot write the file.";
const char kCannotCreate[] = "Error: Cannot create the directory.";

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

class WriteFaults : public ::testing::Test {
protected:
    std::string root;
    std::vector<std::string> immutable;

    void SetUp() override
    {
        char tmpl[] = "/tmp/corvane-writes-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }

    void TearDown() override
    {
        for (const std::string &path : immutable)
            Chattr("-i", path);
        HostSetConsoleInput(nullptr);
        std::error_code e;
        for (const auto &item : fs::recursive_directory_iterator(root, e))
            fs::permissions(item.path(), fs::perms::owner_all, fs::perm_options::add, e);
        fs::remove_all(root, e);
    }

    std::string Out() const { return root + "/out"; }

    static bool Chattr(const char *flag, const std::string &path)
    {
        std::string cmd = std::string("chattr ") + flag + " '" + path + "' 2>/dev/null";
        return system(cmd.c_str()) == 0;
    }

    // A file or directory that nobody, root included, may change; false
    // where the file system or the user cannot do that.
    bool MakeImmutable(const std::string &path)
    {
        if (!Chattr("+i", path))
            return false;
        immutable.push_back(path);
        return true;
    }

    std::string WriteArchive(const std::string &bytes)
    {
        std::string path = root + "/a.lzh";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    CliResult Extract(const std::string &file, const std::string &answers)
    {
        CliOptions options;
        options.input = answers;
        options.timeoutSeconds = 60;
        return RunCli({CORVANE_SFX, "extract", file, "-d", Out()}, options);
    }

    // The target directory as the extractor writes it: a Z: path with a
    // trailing backslash.
    std::string TargetDir() const
    {
        char win[4096];
        EXPECT_TRUE(HostPathFromUnix(Out().c_str(), win, sizeof win));
        return std::string(win) + "\\";
    }
};

// ---- Over-long paths.

TEST_F(WriteFaults, PathsOfMoreThan259CharactersAreRefusedWhole)
{
    size_t room = 259 - TargetDir().size();  // member path characters that still fit
    ASSERT_GT(room, 110u);
    ASSERT_LT(room + 1, 234u) << "a level 0 name holds 233 bytes";
    auto path = [](size_t length, char c) {
        return std::string(100, c) + "\\" + std::string(length - 101, c);
    };
    std::string fits = path(room, 'f');
    std::string tooLong = path(room + 1, 'l');
    std::string dirFits = path(room, 'g') + "\\";
    std::string dirTooLong = path(room + 1, 'm') + "\\";
    std::string file = WriteArchive(lzh::Archive({
        lzh::Stored(fits, "fits"),
        lzh::Stored(tooLong, "too long"),
        lzh::Directory(dirFits),
        lzh::Directory(dirTooLong),
        lzh::Stored("after.txt", "after"),
    }));
    CliResult r = Extract(file, "n\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotWrite), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 2) << r.err;
    std::string f = std::string(100, 'f') + "/" + std::string(room - 101, 'f');
    EXPECT_EQ(ReadAll(Out() + "/" + f), "fits");
    EXPECT_TRUE(fs::is_directory(Out() + "/" + std::string(100, 'g') + "/" + std::string(room - 101, 'g')));
    // Nothing of the refused members, not even the directories in front.
    EXPECT_FALSE(fs::exists(Out() + "/" + std::string(100, 'l')));
    EXPECT_FALSE(fs::exists(Out() + "/" + std::string(100, 'm')));
    EXPECT_EQ(ReadAll(Out() + "/after.txt"), "after");

    // Yes after the refusal stops the run there.
    fs::remove_all(Out());
    r = Extract(WriteArchive(lzh::Archive({lzh::Stored(tooLong, "x"), lzh::Stored("b.txt", "b")})), "y\n");
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotWrite), 1) << r.err;
    EXPECT_FALSE(fs::exists(Out() + "/b.txt"));
}

// ---- Directories and files that cannot be changed.

TEST_F(WriteFaults, ReadOnlyDirectoryTakesNewFilesAsOnWindows)
{
    // Windows ignores the read-only flag of a directory when files are
    // created in it; so does the host, for root. (Other users are stopped
    // by the permission bits, which have no Windows counterpart here.)
    if (geteuid() != 0)
        GTEST_SKIP() << "permission bits stop non-root users";
    fs::create_directories(Out() + "/ro");
    chmod((Out() + "/ro").c_str(), 0555);
    CliResult r = Extract(WriteArchive(lzh::Archive({lzh::Stored("ro/f.txt", "f")})), "");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(ReadAll(Out() + "/ro/f.txt"), "f");
}

TEST_F(WriteFaults, DirectoryThatCannotBeWritten)
{
    fs::create_directories(Out() + "/locked");
    if (!MakeImmutable(Out() + "/locked"))
        GTEST_SKIP() << "chattr +i is not available here";
    std::string file = WriteArchive(lzh::Archive({
        lzh::Stored("locked/f.txt", "f"),     // the file cannot be created: no message
        lzh::Directory("locked\\sub\\"),      // the directory cannot be created
        lzh::Stored("locked/new/g.txt", "g"),  // nor the one in front of a file
        lzh::Stored("free.txt", "free"),
    }));
    CliResult r = Extract(file, "n\nn\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 3) << r.err;
    EXPECT_TRUE(fs::is_empty(Out() + "/locked"));
    EXPECT_EQ(ReadAll(Out() + "/free.txt"), "free");
}

TEST_F(WriteFaults, ExistingFileThatCannotBeReplaced)
{
    // A file that is in use, as far as writing goes: the replace question
    // comes, Yes clears its attributes (which fails without a word), and
    // creating it fails without a message of its own.
    fs::create_directories(Out());
    std::ofstream(Out() + "/busy.txt") << "in use";
    if (!MakeImmutable(Out() + "/busy.txt"))
        GTEST_SKIP() << "chattr +i is not available here";
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("busy.txt", "replacement"),
                                                  lzh::Stored("next.txt", "next")}));
    CliResult r = Extract(file, "y\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, "Warning: Do you want to replace the file"), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 1) << r.err;
    EXPECT_EQ(ReadAll(Out() + "/busy.txt"), "in use");
    EXPECT_EQ(ReadAll(Out() + "/next.txt"), "next");

    // Cancel in the replace question, then Yes: the run ends there.
    r = Extract(file, "c\ny\n");
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(ReadAll(Out() + "/busy.txt"), "in use");
}

// ---- The target directory disappears during the run.
//
// The run is held at a question, deterministically: the answers come from
// a stream whose first read removes the target directory. In-process, so
// that the question can be the progress dialog's own, in the middle of a
// member.

class VanishingTarget : public WriteFaults {
protected:
    struct Hook {
        std::function<void()> action;
        std::string answers;
        size_t at = 0;
    };

    static ssize_t ReadHook(void *cookie, char *buffer, size_t size)
    {
        Hook *hook = (Hook *)cookie;
        if (hook->action) {
            hook->action();
            hook->action = nullptr;
        }
        size_t n = std::min(size, hook->answers.size() - hook->at);
        memcpy(buffer, hook->answers.data() + hook->at, n);
        hook->at += n;
        return (ssize_t)n;
    }

    int Run(const std::string &file, Hook &hook, int cancelAt, std::string &said)
    {
        cookie_io_functions_t io = {ReadHook, nullptr, nullptr, nullptr};
        FILE *input = fopencookie(&hook, "r", io);
        HostSetConsoleInput(input);
        HostSetModulePath(file.c_str());
        HostSetTargetAnswer(Out().c_str());
        HostCancelAfterBlocks(cancelAt);
        std::string log = root + "/said.txt";
        fflush(stderr);
        int saved = dup(2);
        FILE *capture = fopen(log.c_str(), "w");
        dup2(fileno(capture), 2);
        runState = RunState();
        int code = RunSelfExtractor();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        fclose(capture);
        HostCancelAfterBlocks(0);
        HostSetConsoleInput(nullptr);
        fclose(input);
        said = ReadAll(log);
        return code;
    }

    void RemoveTarget()
    {
        std::error_code e;
        fs::remove_all(Out(), e);
    }

    std::string big = std::string(200000, 'b');
};

TEST_F(VanishingTarget, WhileAMemberIsWritten)
{
    // Cancel is pressed after the first output block of big.bin; while
    // "Do you really want to cancel?" waits, the target goes, and the
    // answer is No. The open file is written to its end, but it cannot be
    // given its attributes where it was: "Cannot write the file.", and no
    // trace of it. The next member makes the target again.
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", big),
                                                  lzh::Stored("z.txt", "z")}));
    Hook hook{[this] { RemoveTarget(); }, "n\nn\n"};
    std::string said;
    // The first pump follows a.txt's only block, the second big.bin's first.
    EXPECT_EQ(Run(file, hook, 2, said), 0) << said;
    EXPECT_EQ(Occurrences(said, "Warning: Do you really want to cancel?"), 1) << said;
    EXPECT_EQ(Occurrences(said, kCannotWrite), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 1) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(fs::exists(Out() + "/a.txt"));
    EXPECT_FALSE(fs::exists(Out() + "/big.bin"));
    EXPECT_EQ(ReadAll(Out() + "/z.txt"), "z");
}

TEST_F(VanishingTarget, BeforeAMemberIsCreated)
{
    // The replace question holds the run; the target goes; Yes. Creating
    // the file fails with no message of its own, the user goes on, and
    // the next member makes the target again.
    fs::create_directories(Out() + "/sub");
    std::ofstream(Out() + "/sub/f.txt") << "old";
    std::string file = WriteArchive(lzh::Archive({lzh::Stored("sub/f.txt", "new"),
                                                  lzh::Stored("sub/g.txt", "g")}));
    Hook hook{[this] { RemoveTarget(); }, "y\nn\n"};
    std::string said;
    EXPECT_EQ(Run(file, hook, 0, said), 0) << said;
    EXPECT_EQ(Occurrences(said, "Warning: Do you want to replace the file"), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 0) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(fs::exists(Out() + "/sub/f.txt"));
    EXPECT_EQ(ReadAll(Out() + "/sub/g.txt"), "g");
}

}  // namespace
