// The command line of corvane-sfx: each command's options in one table,
// from which getopt_long's arguments, the command's --help and the error
// messages are all made, so that no option can be parsed but undocumented.
#pragma once
#include <getopt.h>
#include <stdint.h>

#include <string>
#include <vector>

enum {
    kExitFailure = 1, // as the self-extractor's own failure
    kExitUsage = 2,
    kHelpShown = -2,  // NextOption: --help was asked for and printed
    kOptionError = -1 // NextOption: a message naming the option was printed
};

// One option. `key` is its short letter, or a number from 256 up for one
// that has only a long name; `value` names what it takes (null: a flag).
struct CommandOption {
    const char *name;
    int key;
    const char *value;
    const char *help; // "\n" continues it on the next line
};

struct CommandInfo {
    const char *name;
    const char *synopsis;       // the usage lines after "corvane-sfx NAME", "\n" between
    const char *description;    // what the command does, one paragraph or more
    const CommandOption *options; // ends with a null name; --help is always added
};

struct OptionParser {
    const CommandInfo *command;
    int argc;
    char **argv;
    std::vector<struct option> longs;
    std::string shorts;
};

// argv[0] is the command's name; the options may come anywhere among the
// operands, and "--" ends them.
void StartOptions(OptionParser *parser, const CommandInfo *command, int argc, char **argv);

// The key of the next option, with its value in *value; 0 when the options
// are over (the operands are then Operands()); kHelpShown or kOptionError
// when the command must end (CommandExit gives the exit code).
int NextOption(OptionParser *parser, const char **value);
std::vector<const char *> Operands(const OptionParser *parser);
int CommandExit(int result);

// "corvane-sfx COMMAND: WHAT", the command's usage lines and a pointer to
// its --help on standard error; returns kExitUsage.
int UsageError(const CommandInfo *command, const std::string &what);

// The same for an option's bad value: names the option, the value and
// what was expected.
int BadValue(const OptionParser *parser, int key, const char *value, const char *expected);

void PrintCommandHelp(const CommandInfo *command);

// A decimal number within [low, high], nothing else.
bool ParseNumber(const char *text, int64_t low, int64_t high, int64_t *number);

// Prints "corvane-sfx: cannot read FILE: reason" unless the file is readable.
bool CheckReadable(const char *file);

// A command of one readable file and no options of its own: `run` on it,
// or the usage error.
int RunOnOneFile(const CommandInfo *command, int argc, char **argv, int (*run)(const char *));

// The commands (each takes its arguments from its own name on and returns
// the exit code) and their descriptions.
extern const CommandInfo extractCommand, listCommand, testCommand, makeCommand, sealCommand;
int CommandExtract(int argc, char **argv);
int CommandListFile(int argc, char **argv);
int CommandTestFile(int argc, char **argv);
int CommandMake(int argc, char **argv);
int CommandSeal(int argc, char **argv);
