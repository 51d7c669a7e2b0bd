// Option parsing and help texts shared by the commands of corvane-sfx.
#include "tools/cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/system.h"

static const CommandOption helpOption = {"help", 'h', 0, "this text"};

static std::string OptionName(const CommandOption &o)
{
    std::string name = std::string("--") + o.name;
    if (o.key < 256)
        name = std::string("-") + (char)o.key + "/" + name;
    return name;
}

static const CommandOption *FindOption(const CommandInfo *command, int key)
{
    if (key == helpOption.key)
        return &helpOption;
    for (const CommandOption *o = command->options; o->name; o++)
        if (o->key == key)
            return o;
    return 0;
}

void StartOptions(OptionParser *parser, const CommandInfo *command, int argc, char **argv)
{
    parser->command = command;
    parser->argc = argc;
    parser->argv = argv;
    parser->longs.clear();
    // ':' first: a missing value is told apart from an unknown option.
    parser->shorts = ":";
    for (const CommandOption *o = command->options;; o++) {
        const CommandOption &entry = o->name ? *o : helpOption;
        parser->longs.push_back({entry.name, entry.value ? required_argument : no_argument, 0,
                                 entry.key});
        if (entry.key < 256) {
            parser->shorts += (char)entry.key;
            if (entry.value)
                parser->shorts += ':';
        }
        if (!o->name)
            break;
    }
    parser->longs.push_back({0, 0, 0, 0});
    optind = 0; // glibc: start afresh, also after an earlier command's parse
    opterr = 0;
}

int NextOption(OptionParser *parser, const char **value)
{
    int key = getopt_long(parser->argc, parser->argv, parser->shorts.c_str(),
                          parser->longs.data(), 0);
    *value = optarg;
    if (key == -1)
        return 0;
    const CommandOption *known = FindOption(parser->command, key == ':' || key == '?' ? optopt : key);
    if (key == ':') {
        UsageError(parser->command, OptionName(*known) + " needs a value: " + known->value);
        return kOptionError;
    }
    if (key == '?') {
        if (known && !known->value)
            UsageError(parser->command, OptionName(*known) + " takes no value");
        else if (optopt)
            UsageError(parser->command, std::string("unknown option -") + (char)optopt);
        else
            UsageError(parser->command, std::string("unknown option ") + parser->argv[optind - 1]);
        return kOptionError;
    }
    if (key == helpOption.key) {
        PrintCommandHelp(parser->command);
        return kHelpShown;
    }
    return key;
}

std::vector<const char *> Operands(const OptionParser *parser)
{
    std::vector<const char *> operands;
    for (int i = optind; i < parser->argc; i++)
        operands.push_back(parser->argv[i]);
    return operands;
}

int CommandExit(int result)
{
    return result == kHelpShown ? 0 : kExitUsage;
}

static void PrintUsageLines(FILE *out, const CommandInfo *command)
{
    const char *prefix = "usage: ";
    for (const char *line = command->synopsis; *line;) {
        const char *end = strchr(line, '\n');
        size_t n = end ? (size_t)(end - line) : strlen(line);
        fprintf(out, "%scorvane-sfx %s %.*s\n", prefix, command->name, (int)n, line);
        prefix = "       ";
        line += n + (end ? 1 : 0);
    }
}

int UsageError(const CommandInfo *command, const std::string &what)
{
    fprintf(stderr, "corvane-sfx %s: %s\n", command->name, what.c_str());
    PrintUsageLines(stderr, command);
    fprintf(stderr, "Try 'corvane-sfx %s --help'.\n", command->name);
    return kExitUsage;
}

int BadValue(const OptionParser *parser, int key, const char *value, const char *expected)
{
    return UsageError(parser->command, OptionName(*FindOption(parser->command, key)) + " expects " +
                                           expected + ", not \"" + value + "\"");
}

void PrintCommandHelp(const CommandInfo *command)
{
    PrintUsageLines(stdout, command);
    printf("\n%s\n\nOptions:\n", command->description);
    for (const CommandOption *o = command->options;; o++) {
        const CommandOption &entry = o->name ? *o : helpOption;
        std::string left = entry.key < 256 ? std::string("-") + (char)entry.key + ", " : "    ";
        left += std::string("--") + entry.name;
        if (entry.value)
            left += std::string("=") + entry.value;
        // A long left column pushes its text onto a line of its own.
        if (left.size() > 24)
            printf("  %s\n%28s", left.c_str(), "");
        else
            printf("  %-24s  ", left.c_str());
        for (const char *c = entry.help; *c; c++) {
            if (*c == '\n')
                printf("\n%28s", "");
            else
                putchar(*c);
        }
        putchar('\n');
        if (!o->name)
            break;
    }
}

bool ParseNumber(const char *text, int64_t low, int64_t high, int64_t *number)
{
    if (!*text)
        return false;
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*end || errno || v < low || v > high)
        return false;
    *number = v;
    return true;
}

// The stub itself would end silently with nothing done on a file it cannot
// read, which helps nobody on a command line.
bool CheckReadable(const char *file)
{
    FILE *f = OpenFile(file, "rb");
    if (!f) {
        fprintf(stderr, "corvane-sfx: cannot read %s: %s\n", file, strerror(errno));
        return false;
    }
    fclose(f);
    return true;
}

int RunOnOneFile(const CommandInfo *command, int argc, char **argv, int (*run)(const char *))
{
    OptionParser parser;
    StartOptions(&parser, command, argc, argv);
    const char *value;
    int key = NextOption(&parser, &value);
    if (key != 0)
        return CommandExit(key);
    std::vector<const char *> operands = Operands(&parser);
    if (operands.size() != 1)
        return UsageError(command, "expected exactly one file");
    if (!CheckReadable(operands[0]))
        return kExitFailure;
    return run(operands[0]);
}
