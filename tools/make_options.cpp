#include "tools/make_options.h"

#include <stdlib.h>
#include <string.h>

#include "tools/cli.h"

enum { kStub = 256, kArchiveOnly, kMethod, kLevel, kMtime, kBest };

static const CommandOption makeOptions[] = {
    {"output", 'o', "OUT.exe", "the self-extracting file to write"},
    {"stub", kStub, "STUB", "the stub to put in front (default: the i686 stub\nbuilt into this tool)"},
    {"archive-only", kArchiveOnly, "OUT.lzh", "write only the new archive, without a stub"},
    {"method", kMethod, "lh5|lh6|lh0", "how file members are packed (default lh5; a member\nthat does not shrink is stored as lh0)"},
    {"level", kLevel, "0|1|2", "the header level (default 2)"},
    {"mtime", kMtime, "SECONDS", "stamp every member with this time (seconds since\n1970, UTC) instead of its own"},
    {"best", kBest, 0, "pack smaller (about 4% for lh6) and several times\nslower: the parse of least cost"},
    {0, 0, 0, 0},
};

const CommandInfo makeCommand = {
    "make",
    "[OPTIONS] -o OUT.exe PATH...\n"
    "[--stub STUB] -o OUT.exe ARCHIVE.lzh\n"
    "--archive-only OUT.lzh [OPTIONS] PATH...",
    "Packs the files and directories named into a new LHA archive (names in\n"
    "code page 437) and writes it behind the stub, sealed; or seals a ready\n"
    "archive (one input named *.lzh or *.lha, or that reads as one) as it is.\n"
    "A directory becomes a member with everything below it; written DIR/, only\n"
    "its contents go in. The same inputs give the same bytes. Where\n"
    "SOURCE_DATE_EPOCH is set and --mtime is not given, no member is stamped\n"
    "later than it.",
    makeOptions,
};

// The reproducible-builds convention: a build stamps nothing later than the
// time of its sources.
static bool ClampToSourceDate(ArchiveOptions *options)
{
    const char *epoch = getenv("SOURCE_DATE_EPOCH");
    if (options->fixedTime || !epoch || !*epoch)
        return true;
    if (!ParseNumber(epoch, 0, 0xFFFFFFFFLL, &options->clampMtime)) {
        UsageError(&makeCommand, std::string("SOURCE_DATE_EPOCH expects seconds since 1970 "
                                             "(0 to 4294967295), not \"") + epoch + "\"");
        return false;
    }
    options->clampTime = true;
    return true;
}

bool ParseMakeOptions(int argc, char **argv, MakeRequest *request, int *exitCode)
{
    request->archive.showProgress = true;
    OptionParser parser;
    StartOptions(&parser, &makeCommand, argc, argv);
    *exitCode = kExitUsage;
    const char *value;
    int64_t number;
    for (int key; (key = NextOption(&parser, &value)) != 0;) {
        switch (key) {
        case 'o':
            request->outPath = value;
            break;
        case kStub:
            request->stubPath = value;
            break;
        case kArchiveOnly:
            request->archiveOnly = true;
            request->outPath = value;
            break;
        case kMethod:
            if (strcmp(value, "lh0") == 0)
                request->archive.method = 0;
            else if (strcmp(value, "lh5") == 0)
                request->archive.method = 5;
            else if (strcmp(value, "lh6") == 0)
                request->archive.method = 6;
            else {
                BadValue(&parser, key, value, "lh5, lh6 or lh0");
                return false;
            }
            break;
        case kLevel:
            if (!ParseNumber(value, 0, 2, &number)) {
                BadValue(&parser, key, value, "0, 1 or 2");
                return false;
            }
            request->archive.level = (int)number;
            break;
        case kMtime:
            if (!ParseNumber(value, 0, 0xFFFFFFFFLL, &number)) {
                BadValue(&parser, key, value, "seconds since 1970 (0 to 4294967295)");
                return false;
            }
            request->archive.fixedTime = true;
            request->archive.fixedMtime = number;
            break;
        case kBest:
            request->archive.best = true;
            break;
        default:
            *exitCode = CommandExit(key);
            return false;
        }
    }
    for (const char *operand : Operands(&parser))
        request->inputs.push_back(operand);
    if (!request->outPath) {
        UsageError(&makeCommand, "no output file: give -o OUT.exe or --archive-only OUT.lzh");
        return false;
    }
    if (request->inputs.empty()) {
        UsageError(&makeCommand, "no input: give an archive, or files and directories to pack");
        return false;
    }
    return ClampToSourceDate(&request->archive);
}
