// Commands of corvane-sfx that build self-extracting files. Each takes the
// arguments after its own name and returns the process exit code.
#pragma once

// make [--stub STUB] -o OUT.exe ARCHIVE.lzh
int CommandMake(int argc, char **argv);
// seal FILE
int CommandSeal(int argc, char **argv);
