// Runs a command-line program as a child process, feeds it a given standard
// input and collects its standard output, standard error and exit code: the
// way the end-to-end tests drive corvane-sfx as a user at a terminal would.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

struct CliResult {
    int exitCode = -1;      // the child's exit status; -1 if it did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    bool timedOut = false;  // killed after the time limit
    std::string out;
    std::string err;
};

struct CliOptions {
    // Written to the child's standard input, which is then closed. Empty:
    // standard input is /dev/null.
    std::string input;
    // "NAME=value" entries that replace or extend the inherited environment.
    std::vector<std::string> env;
    // A child that answers no question in time is killed: a prompt that
    // loops on end of input must fail a test, not hang it.
    int timeoutSeconds = 120;
};

// One line for test messages: how the run ended and what it said on stderr.
inline std::string Describe(const CliResult &r)
{
    std::string s = r.timedOut ? "timed out"
                    : r.signal ? "killed by signal " + std::to_string(r.signal)
                               : "exit code " + std::to_string(r.exitCode);
    return s + "; stderr:\n" + r.err;
}

inline std::vector<std::string> MergedEnvironment(const std::vector<std::string> &overrides)
{
    std::vector<std::string> merged;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &o : overrides)
            if (o.compare(0, name.size() + 1, name + "=") == 0)
                replaced = true;
        if (!replaced)
            merged.push_back(entry);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

namespace run_cli_detail {

inline double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

inline void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace run_cli_detail

inline CliResult RunCli(const std::vector<std::string> &args, const CliOptions &options = {})
{
    using namespace run_cli_detail;
    CliResult result;
    if (args.empty())
        return result;

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed (the test binary may have threads).
    std::vector<std::string> envStrings = MergedEnvironment(options.env);
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : envStrings)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.input.empty()) {
        in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else if (pipe2(in, O_CLOEXEC) != 0) {
        in[0] = -1;
    }
    if (in[0] < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.err = std::string("cannot create pipes: ") + strerror(errno);
        for (int *fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            CloseFd(*fd);
        return result;
    }

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(argv[0], argv.data(), envp.data());
        static const char failed[] = "exec failed\n";
        ssize_t ignored = write(2, failed, sizeof failed - 1);
        (void)ignored;
        _exit(127);
    }
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);
    if (pid < 0) {
        result.err = std::string("cannot fork: ") + strerror(errno);
        for (int *fd : {&in[1], &out[0], &err[0]})
            CloseFd(*fd);
        return result;
    }

    // A child that exits without reading all of its input must not kill the
    // test process with SIGPIPE: block it here and swallow what is raised.
    sigset_t pipeSet, oldMask;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);

    if (in[1] >= 0)
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    double deadline = Now() + options.timeoutSeconds;
    while (out[0] >= 0 || err[0] >= 0) {
        pollfd fds[3];
        int n = 0;
        for (int fd : {out[0], err[0]})
            if (fd >= 0)
                fds[n++] = {fd, POLLIN, 0};
        if (in[1] >= 0)
            fds[n++] = {in[1], POLLOUT, 0};
        double left = deadline - Now();
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, n, (int)(left * 1000) + 1);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n && ready > 0; i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in[1]) {
                ssize_t k = write(in[1], options.input.data() + written, options.input.size() - written);
                if (k > 0)
                    written += k;
                if (k < 0 && errno != EAGAIN)
                    CloseFd(in[1]);
                if (written == options.input.size())
                    CloseFd(in[1]);
                continue;
            }
            char buffer[16384];
            ssize_t k = read(fds[i].fd, buffer, sizeof buffer);
            std::string &sink = fds[i].fd == out[0] ? result.out : result.err;
            if (k > 0) {
                sink.append(buffer, k);
            } else if (k == 0 || errno != EINTR) {
                CloseFd(fds[i].fd == out[0] ? out[0] : err[0]);
            }
        }
    }
    for (int *fd : {&in[1], &out[0], &err[0]})
        CloseFd(*fd);

    // The child may close its outputs and still run: the limit holds here too.
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (Now() > deadline && !result.timedOut) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        usleep(done == 0 ? 1000 : 0);
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);

    if (!sigismember(&pendingBefore, SIGPIPE)) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE)) {
            timespec zero = {0, 0};
            sigtimedwait(&pipeSet, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return result;
}
