// `extract`, `list` and `test`: the command lines around the extractor's
// own run and walks.
//
// A scripted extraction reads nothing from standard input: the options give
// every question of the run its answer ahead, at the console's message
// boxes, and the extractor asks and decides exactly as it does on Windows.
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"
#include "tools/cli.h"
#include "tools/members.h"
#include "tools/system.h"

enum { kOverwrite = 256, kKeepGoing, kIgnoreFreeSpace, kRunSetup };

static const CommandOption extractOptions[] = {
    {"directory", 'd', "DIR", "extract into DIR (answers the target-directory\ndialog; without it that dialog asks)"},
    {"yes", 'y', 0, "replace existing files without asking (the same as\n--overwrite=all)"},
    {"skip-existing", 'n', 0, "keep existing files (the same as --overwrite=none)"},
    {"overwrite", kOverwrite, "all|none", "all: replace existing files, none: keep them"},
    {"keep-going", kKeepGoing, 0, "after a member failed, go on with the next one\n(default: stop); the exit code is still 1"},
    {"ignore-free-space", kIgnoreFreeSpace, 0, "extract even when the target drive has too little\nfree space (default: stop)"},
    {"run-setup", kRunSetup, 0, "start SETUP.EXE after a flawless run (default: never)"},
    {0, 0, 0, 0},
};

const CommandInfo extractCommand = {
    "extract",
    "[OPTIONS] FILE",
    "Runs the self-extractor's whole sequence on FILE (a self-extracting file\n"
    "or a plain .lzh): target directory, free-space check, every member with\n"
    "its CRC, time and attributes, the setup offer. Questions read one answer\n"
    "line each from standard input (y, n, c; the end of input counts as No).\n"
    "Any of -y, -n, --overwrite, --keep-going, --ignore-free-space and\n"
    "--run-setup makes the run scripted: then nothing is read from standard\n"
    "input, every question takes its answer from the options or its default,\n"
    "and without -d the proposed target directory is taken.",
    extractOptions,
};

static const CommandOption noOptions[] = {{0, 0, 0, 0}};

const CommandInfo listCommand = {
    "list",
    "FILE",
    "One line per member of FILE: method, packed and original size, CRC,\n"
    "time, attributes (d, a, s, h, r) and path.",
    noOptions,
};

const CommandInfo testCommand = {
    "test",
    "FILE",
    "Decodes every file member of FILE and checks its CRC; writes nothing.\n"
    "Prints one line per member and a count of good and failed ones.",
    noOptions,
};

// What a scripted run answers, before the options change it. The texts are
// the starts of the extractor's own questions.
enum { kReplace, kLowSpace, kStopAfterFailure, kConfirmCancel, kStartSetup };
static HostAnswer scriptedAnswers[] = {
    {"Do you want to replace the file", IDNO, 0},
    {"There is not enough space", IDNO, 0},
    {"Do you want to cancel extracting?", IDYES, 0},
    {"Do you really want to cancel?", IDYES, 0},
    {"Do you want to execute setup now?", IDNO, 0},
    {0, 0, 0},
};

int CommandExtract(int argc, char **argv)
{
    OptionParser parser;
    StartOptions(&parser, &extractCommand, argc, argv);
    const char *target = 0;
    bool scripted = false;
    const char *value;
    for (int key; (key = NextOption(&parser, &value)) != 0;) {
        switch (key) {
        case 'd':
            target = value;
            continue;
        case 'y':
            scriptedAnswers[kReplace].answer = IDYES;
            break;
        case 'n':
            scriptedAnswers[kReplace].answer = IDNO;
            break;
        case kOverwrite:
            if (strcmp(value, "all") != 0 && strcmp(value, "none") != 0)
                return BadValue(&parser, key, value, "all or none");
            scriptedAnswers[kReplace].answer = value[0] == 'a' ? IDYES : IDNO;
            break;
        case kKeepGoing:
            scriptedAnswers[kStopAfterFailure].answer = IDNO;
            break;
        case kIgnoreFreeSpace:
            scriptedAnswers[kLowSpace].answer = IDYES;
            break;
        case kRunSetup:
            scriptedAnswers[kStartSetup].answer = IDYES;
            break;
        default:
            return CommandExit(key);
        }
        scripted = true;
    }
    std::vector<const char *> operands = Operands(&parser);
    if (operands.size() != 1)
        return UsageError(&extractCommand, operands.empty() ? "no file to extract"
                                                            : "expected exactly one file");
    if (!CheckReadable(operands[0]))
        return kExitFailure;
    int exitCode = RunExtractorOn(operands[0], target, scripted ? scriptedAnswers : nullptr);
    // Going on after a failure clears the run's failure flag; a script
    // still has to learn that a member is missing.
    if (scriptedAnswers[kStopAfterFailure].answer == IDNO && scriptedAnswers[kStopAfterFailure].asked)
        exitCode = kExitFailure;
    return exitCode;
}

int CommandListFile(int argc, char **argv)
{
    return RunOnOneFile(&listCommand, argc, argv, CommandList);
}

int CommandTestFile(int argc, char **argv)
{
    return RunOnOneFile(&testCommand, argc, argv, CommandTest);
}
