// A scratch directory per test and a way to run corvane-sfx in it.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/run_cli.h"

using RunResult = CliResult;

class CliTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/corvane-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }

    void TearDown() override
    {
        // Read-only files and directories must not outlive the test.
        std::string cmd = "chmod -R u+w '" + root + "' 2>/dev/null; rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << root;
    }

    std::string Path(const std::string &name) const { return root + "/" + name; }

    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string Read(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    static bool Exists(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    static bool IsDirectory(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    // Number of entries below `path`, recursively (0 when it does not exist).
    static int CountEntries(const std::string &path)
    {
        std::string cmd = "find '" + path + "' -mindepth 1 2>/dev/null | wc -l";
        FILE *p = popen(cmd.c_str(), "r");
        int n = 0;
        if (p && fscanf(p, "%d", &n) != 1)
            n = -1;
        if (p)
            pclose(p);
        return n;
    }

    RunResult Cli(const std::vector<std::string> &args, const std::string &input = "",
                  const std::vector<std::string> &env = {})
    {
        std::vector<std::string> all = {CORVANE_SFX};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<std::string> fullEnv = {"TZ=Europe/Berlin"};
        fullEnv.insert(fullEnv.end(), env.begin(), env.end());
        CliOptions options;
        options.input = input;
        options.env = fullEnv;
        options.timeoutSeconds = 60;
        return RunCli(all, options);
    }

    // `extract FILE -d ROOT/out` with the given answers on stdin.
    RunResult Extract(const std::string &file, const std::string &answers = "",
                      const std::vector<std::string> &env = {})
    {
        return Cli({"extract", file, "-d", Path("out")}, answers, env);
    }
};

// How many times `needle` occurs in `hay`.
inline int Occurrences(const std::string &hay, const std::string &needle)
{
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}
