// Commands of corvane-sfx that build self-extracting files. Each takes the
// arguments after its own name and returns the process exit code.
#pragma once

// make [--stub STUB] -o OUT.exe ARCHIVE.lzh
// make [--stub STUB] -o OUT.exe [--method M] [--level L] [--mtime T] PATH...
// make --archive-only OUT.lzh [--method M] [--level L] [--mtime T] PATH...
int CommandMake(int argc, char **argv);
// seal FILE
int CommandSeal(int argc, char **argv);
