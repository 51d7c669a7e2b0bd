// Scratch folders, and corvane-sfx run as a child or inside the test process.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/host.h"
#include "shell/shell.h"

extern char **environ;

struct CliResult {
    int exitCode = -1;      // -1 if the child did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    bool timedOut = false;  // killed after the time limit
    std::string out, err;
};
using RunResult = CliResult;

struct CliOptions {
    std::string input;             // all of the child's standard input
    std::vector<std::string> env;  // "NAME=value", in place of the inherited NAME
    int timeoutSeconds = 120;      // a prompt looping at the end of input fails, not hangs
};

inline std::string Describe(const CliResult &r)
{
    return (r.timedOut ? "timed out" : r.signal ? "killed by signal " + std::to_string(r.signal)
                                                : "exit code " + std::to_string(r.exitCode)) +
           "; stderr:\n" + r.err;
}

// Unlinked files, not pipes: a grandchild keeping an output open (a Wine
// server) cannot hold up the end of the run.
inline int CliTempFile(const std::string &contents)
{
    char name[] = "/tmp/corvane-cli-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0 && (unlink(name) != 0 || write(fd, contents.data(), contents.size()) < 0 || lseek(fd, 0, SEEK_SET)))
        close(fd), fd = -1;
    return fd;
}

inline std::string CliReadBack(int fd)
{
    std::string text;
    char buffer[16384];
    for (ssize_t n = lseek(fd, 0, SEEK_SET); fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, (size_t)n);
    close(fd);
    return text;
}

inline CliResult RunCli(const std::vector<std::string> &args, const CliOptions &options = {})
{
    CliResult result;
    // The test binary may have threads: only async-signal-safe calls after fork.
    std::vector<std::string> env = options.env;
    for (char **e = environ; *e; e++)
        if (std::none_of(options.env.begin(), options.env.end(), [&](const std::string &o) {
                return o.compare(0, o.find('=') + 1, *e, o.find('=') + 1) == 0;
            }))
            env.push_back(*e);
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr), envp.push_back(nullptr);
    int in = CliTempFile(options.input), out = CliTempFile(""), err = CliTempFile(""), status = 0;
    pid_t pid = args.empty() || in < 0 || out < 0 || err < 0 ? -1 : fork(), done = 0;
    if (pid == 0) {
        dup2(in, 0), dup2(out, 1), dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (pid > 0 && (done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (!result.timedOut && std::chrono::steady_clock::now() > deadline)
            result.timedOut = true, kill(pid, SIGKILL);
        usleep(200);
    }
    result.exitCode = done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = done > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    close(in);
    result.out = CliReadBack(out);
    result.err = pid > 0 ? CliReadBack(err) : "cannot start " + (args.empty() ? std::string("nothing") : args[0]);
    return result;
}

inline std::string FindOnPath(const std::string &program)
{
    std::string found = RunCli({"/bin/sh", "-c", "command -v \"$0\"", program}).out;
    return found.substr(0, found.find('\n'));
}

inline int Occurrences(const std::string &hay, const std::string &needle)
{
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

// The extractor's messages as the console shows them.
const char kDamaged[] = "Error: The archive is damaged.";
const char kStubDamaged[] = "Error: The self-extracting archive is damaged.";
const char kNotFound[] = "Error: Cannot find the LHA archive.";
const char kRefused[] = "Error: Version not supported.";
const char kNoMemory[] = "Error: Not enough memory.";
const char kCannotWrite[] = "Error: Cannot write the file.";
const char kCannotCreate[] = "Error: Cannot create the directory.";
const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kReally[] = "Warning: Do you really want to cancel?";
const char kReplace[] = "Warning: Do you want to replace the file";
const char kSpace[] = "Warning: There is not enough space on the data carrier.\nDo you want extract the archive anyway?";
const char kExecute[] = "Execute: Do you want to execute setup now?";

// Each message shown exactly as often as given.
inline void ExpectSaid(const std::string &said, const std::map<std::string, int> &times)
{
    for (const auto &[message, n] : times)
        EXPECT_EQ(Occurrences(said, message), n) << message << " in:\n" << said;
}

class CliTest : public ::testing::Test {
public:
    std::string root;

    void SetUp() override
    {
        setenv("TZ", "Europe/Berlin", 1), tzset();  // the zone that Cli() gives the tool
        char tmpl[] = "/tmp/corvane-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { EXPECT_EQ(RunShell("chmod -R u+w '" + root + "' 2>/dev/null; rm -rf '" + root + "'"), 0); }

    static int RunShell(const std::string &command) { return system(command.c_str()); }
    std::string Path(const std::string &name) const { return root + "/" + name; }
    void Remove(const std::string &name) const { RunShell("chmod -R u+w '" + Path(name) + "' 2>/dev/null; rm -rf '" + Path(name) + "'"); }
    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }
    static std::string Read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static bool Exists(const std::string &path)
    {
        std::error_code e;
        return std::filesystem::exists(std::filesystem::symlink_status(path, e));
    }
    static bool IsDirectory(const std::string &path)
    {
        std::error_code e;
        return std::filesystem::is_directory(path, e);
    }
    static int CountEntries(const std::string &path)
    {
        std::error_code e;
        auto all = std::filesystem::recursive_directory_iterator(path, e);
        return e ? 0 : (int)std::distance(begin(all), end(all));
    }

    RunResult Cli(const std::vector<std::string> &args, const std::string &input = "",
                  const std::vector<std::string> &env = {})
    {
        std::vector<std::string> all = {CORVANE_SFX}, vars = {"TZ=Europe/Berlin"};
        all.insert(all.end(), args.begin(), args.end());
        vars.insert(vars.end(), env.begin(), env.end());
        return RunCli(all, {input, vars, 60});
    }
    RunResult Extract(const std::string &file, const std::string &answers = "", const std::vector<std::string> &env = {})
    {
        return Cli({"extract", file, "-d", Path("out")}, answers, env);
    }

    // The self-extractor in this process, into out/: answers (or `input`),
    // Cancel at the n-th pump; the message boxes go to `said`.
    int RunInProcess(const std::string &file, const std::string &answers, std::string &said,
                     int cancelAfterBlocks = 0, FILE *input = nullptr)
    {
        std::string text = answers + '\n', to = Path("out");
        FILE *own = input ? nullptr : fmemopen(&text[0], text.size(), "r");
        HostSetConsoleInput(input ? input : own);
        HostSetModulePath(file.c_str());
        HostSetTargetAnswer(to.c_str());
        HostCancelAfterBlocks(cancelAfterBlocks);
        runState = RunState();
        testing::internal::CaptureStderr();
        int code = RunSelfExtractor();
        said = testing::internal::GetCapturedStderr();
        HostCancelAfterBlocks(0);
        HostSetConsoleInput(nullptr);
        if (own)
            fclose(own);
        return code;
    }
};
