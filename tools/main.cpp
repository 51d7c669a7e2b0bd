// corvane-sfx: the extractor's own code on the host, plus the tools that
// build self-extracting files.
#include <stdio.h>
#include <string.h>

#include "core/core.h"
#include "tools/cli.h"
#include "tools/make_options.h"
#include "tools/seal.h"
#include "tools/system.h"

static const struct {
    const CommandInfo *info;
    int (*run)(int argc, char **argv);
} commands[] = {
    {&extractCommand, CommandExtract}, {&listCommand, CommandListFile},
    {&testCommand, CommandTestFile},   {&makeCommand, CommandMake},
    {&sealCommand, CommandSeal},
};

static void PrintOverview(FILE *out)
{
    fputs("usage: corvane-sfx COMMAND [OPTIONS] ...\n"
          "       corvane-sfx --version | --help\n\nCommands:\n", out);
    for (const auto &c : commands) {
        const char *synopsis = c.info->synopsis;
        fprintf(out, "  %s %.*s\n", c.info->name, (int)strcspn(synopsis, "\n"), synopsis);
    }
    fputs("\n'corvane-sfx COMMAND --help' describes a command and its options.\n"
          "Exit codes: 0 success, 1 failure (as the self-extractor's own), 2 usage.\n",
          out);
}

static int PrintVersion()
{
    printf("corvane-sfx %s\n", CORVANE_VERSION);
    size_t sealed = (defaultStubSize + ARCHIVE_ALIGNMENT - 1) / ARCHIVE_ALIGNMENT * ARCHIVE_ALIGNMENT;
    if (defaultStubSize)
        printf("built-in stub: i686, %zu bytes sealed\n", sealed);
    else
        printf("built-in stub: none (built without mingw-w64; make needs --stub)\n");
    return 0;
}

int main(int argc, char **argv)
{
    GetUtf8Arguments(&argc, &argv);
    // The packer, the sealing and list and test count on the CRC table from
    // the start (the stub builds it only once extraction starts; on Linux a
    // constructor has built it already).
    BuildCrcTable();
    if (argc < 2) {
        fputs("corvane-sfx: no command\n", stderr);
        PrintOverview(stderr);
        return kExitUsage;
    }
    const char *command = argv[1];
    bool help = strcmp(command, "help") == 0;
    if (help && argc > 2)
        command = argv[2]; // "help make" is "make --help"
    else if (help || strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        PrintOverview(stdout);
        return 0;
    }
    if (strcmp(command, "--version") == 0 || strcmp(command, "-V") == 0)
        return PrintVersion();
    for (const auto &c : commands) {
        if (strcmp(command, c.info->name) != 0)
            continue;
        if (help) {
            PrintCommandHelp(c.info);
            return 0;
        }
        return c.run(argc - 1, argv + 1);
    }
    fprintf(stderr, "corvane-sfx: unknown command \"%s\"\n", command);
    PrintOverview(stderr);
    return kExitUsage;
}
