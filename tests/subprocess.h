// Runs a program with given standard input and collects its output and
// exit code, for tests that drive corvane-sfx as a user would.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline RunResult RunProgram(const std::vector<std::string> &args, const std::string &input = "",
                            const std::vector<std::string> &env = {})
{
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty())
        close(in[1]), in[1] = -1;
    RunResult r;
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    int open = 2;
    while (open > 0) {
        int n = in[1] >= 0 ? 3 : 2;
        if (poll(fds, n, -1) < 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t k = read(fds[i].fd, buf, sizeof buf);
            if (k <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, (size_t)k);
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t k = write(in[1], input.data() + written, input.size() - written);
            if (k > 0)
                written += (size_t)k;
            if (k <= 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
                fds[2].fd = -1;
            }
        }
    }
    if (in[1] >= 0)
        close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}
