// corvane-sfx: the extractor's own code on the host, plus the tools that
// build self-extracting files.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/host.h"
#include "shell/shell.h"
#include "tools/commands.h"
#include "tools/members.h"

static const char usage[] =
    "usage: corvane-sfx COMMAND ...\n"
    "\n"
    "  extract FILE [-d DIR]   run the self-extractor's whole sequence on FILE (a\n"
    "                          self-extracting file or a plain .lzh); -d answers the\n"
    "                          target-directory dialog with DIR, else it is asked\n"
    "  list FILE               one line per member: method, sizes, CRC, time,\n"
    "                          attributes, path\n"
    "  test FILE               decode every member and check its CRC; write nothing\n"
    "  make [--stub STUB] -o OUT.exe ARCHIVE.lzh\n"
    "                          a self-extracting file: the stub (by default the one\n"
    "                          built in), sealed and padded, then the archive\n"
    "  make [--stub STUB] -o OUT.exe [--method lh5|lh6|lh0] [--level 0|1|2]\n"
    "       [--mtime UNIX_SECONDS] PATH...\n"
    "                          the same with a new archive of the files and\n"
    "                          directories named (a directory written DIR/ gives\n"
    "                          its contents only); --mtime stamps every member\n"
    "                          alike, for reproducible builds. Defaults: lh5,\n"
    "                          level 2, the files' own times\n"
    "  make --archive-only OUT.lzh [options] PATH...\n"
    "                          only the new archive, without a stub\n"
    "  seal FILE               restore the stub's XOR seal, e.g. after code signing\n"
    "  --help                  this text\n"
    "\n"
    "Exit codes: 0 success, 1 failure (as the self-extractor's own), 2 usage.\n";

static int UsageError(const char *what)
{
    fprintf(stderr, "corvane-sfx: %s\n\n%s", what, usage);
    return 2;
}

// The file must be there and readable: the stub itself would end silently
// with nothing done, which helps nobody on a command line.
static bool CheckReadable(const char *file)
{
    if (access(file, R_OK) == 0)
        return true;
    fprintf(stderr, "corvane-sfx: cannot read %s: %s\n", file, strerror(errno));
    return false;
}

static int Extract(int argc, char **argv)
{
    const char *file = 0;
    const char *target = 0;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "-d") == 0) {
            if (++i == argc)
                return UsageError("-d needs a directory");
            target = argv[i];
        } else if (argv[i][0] == '-' && argv[i][1]) {
            return UsageError("unknown option for extract");
        } else if (!file) {
            file = argv[i];
        } else {
            return UsageError("extract takes one file");
        }
    }
    if (!file)
        return UsageError("extract needs a file");
    if (!CheckReadable(file))
        return 1;
    HostSetModulePath(file);
    if (target)
        HostSetTargetAnswer(target);
    return RunSelfExtractor();
}

static int OneFile(int argc, char **argv, int (*command)(const char *))
{
    if (argc != 1 || (argv[0][0] == '-' && argv[0][1]))
        return UsageError("expected exactly one file");
    if (!CheckReadable(argv[0]))
        return 1;
    return command(argv[0]);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return UsageError("no command");
    const char *command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (strcmp(command, "extract") == 0)
        return Extract(argc - 2, argv + 2);
    if (strcmp(command, "list") == 0)
        return OneFile(argc - 2, argv + 2, CommandList);
    if (strcmp(command, "test") == 0)
        return OneFile(argc - 2, argv + 2, CommandTest);
    if (strcmp(command, "make") == 0)
        return CommandMake(argc - 2, argv + 2);
    if (strcmp(command, "seal") == 0)
        return CommandSeal(argc - 2, argv + 2);
    return UsageError("unknown command");
}
