// Runs a command-line program as a child process, feeds it a given standard
// input and collects its standard output, standard error and exit code: the
// way the end-to-end tests drive corvane-sfx as a user at a terminal would.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char **environ;

struct CliResult {
    int exitCode = -1;      // the child's exit status; -1 if it did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    bool timedOut = false;  // killed after the time limit
    std::string out, err;
};

struct CliOptions {
    std::string input;             // all of the child's standard input
    std::vector<std::string> env;  // "NAME=value", replacing or extending the inherited ones
    int timeoutSeconds = 120;      // a prompt looping at the end of input fails, not hangs
};

// How the run ended and what it said on stderr, for test messages.
inline std::string Describe(const CliResult &r)
{
    std::string s = r.timedOut ? "timed out"
                    : r.signal ? "killed by signal " + std::to_string(r.signal)
                               : "exit code " + std::to_string(r.exitCode);
    return s + "; stderr:\n" + r.err;
}

// The child's input and outputs are unlinked files, not pipes: nothing can
// block on a full pipe, no SIGPIPE reaches the test, and a grandchild that
// keeps an output open (a Wine server) cannot hold up the end of the run.
inline int CliTempFile(const std::string &contents)
{
    char name[] = "/tmp/corvane-cli-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0 && (unlink(name) != 0 || write(fd, contents.data(), contents.size()) < 0 ||
                    lseek(fd, 0, SEEK_SET) != 0))
        close(fd), fd = -1;
    return fd;
}

inline std::string CliReadBack(int fd)
{
    std::string text;
    char buffer[16384];
    ssize_t n;
    for (lseek(fd, 0, SEEK_SET); fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, (size_t)n);
    close(fd);
    return text;
}

inline CliResult RunCli(const std::vector<std::string> &args, const CliOptions &options = {})
{
    CliResult result;
    // Everything the child needs is made before fork: the test binary may
    // have threads, so only async-signal-safe calls may follow it.
    std::vector<std::string> env = options.env;
    for (char **e = environ; *e; e++) {
        std::string name = std::string(*e).substr(0, std::string(*e).find('=') + 1);
        if (std::none_of(env.begin(), env.begin() + (long)options.env.size(),
                         [&](const std::string &o) { return o.compare(0, name.size(), name) == 0; }))
            env.push_back(*e);
    }
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int in = CliTempFile(options.input), out = CliTempFile(""), err = CliTempFile("");
    pid_t pid = args.empty() || in < 0 || out < 0 || err < 0 ? -1 : fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    pid_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (pid > 0 && (done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (!result.timedOut && std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        usleep(200);
    }
    if (done > 0 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (done > 0 && WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    close(in);
    result.out = CliReadBack(out);
    result.err = CliReadBack(err);
    if (pid <= 0)
        result.err = "cannot start " + (args.empty() ? std::string("nothing") : args[0]);
    return result;
}

// The full name of a program found through PATH, or "" if there is none.
inline std::string FindOnPath(const std::string &program)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t at = 0, end; at <= dirs.size(); at = end + 1) {
        end = std::min(dirs.find(':', at), dirs.size());
        std::string candidate = dirs.substr(at, end - at) + "/" + program;
        if (end > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}
