// What corvane-sfx needs of the operating system beyond standard C++, with
// one implementation per system (tools/posix/, tools/windows/) picked by the
// build. Paths, names and arguments are UTF-8 throughout.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "platform/host.h"

// The command line in UTF-8 (Windows hands it over in UTF-16).
void GetUtf8Arguments(int *argc, char ***argv);

// The characters that end a path component ("/", and on Windows "\" too).
extern const char kPathSeparators[];

struct PathStatus {
    bool isDirectory;
    bool isFile;          // a regular file
    bool readOnly;        // the owner may not write it
    int64_t mtime;        // seconds since 1970, UTC
    uint64_t size;        // of a file
    std::string identity; // the same for two paths of one directory
};

// Symbolic links are followed. On failure *error says why.
bool QueryPath(const std::string &path, PathStatus *status, std::string *error);
// The names in a directory, "." and ".." left out, in no particular order.
bool ListDirectory(const std::string &path, std::vector<std::string> *names, std::string *error);

FILE *OpenFile(const char *path, const char *mode);

// The bytes of a file to be read through once, as many as it holds when it
// is opened: mapped into memory where the system does that, else read into
// `copy`. A mapped file that is cut short before its bytes are read ends the
// program with a message naming it.
struct FileBytes {
    const uint8_t *data = nullptr;
    size_t size = 0;
    std::vector<uint8_t> copy; // the bytes, when they were read
    void *mapping = nullptr;   // the mapping, when they were mapped
};

// Fails with *error when the file cannot be read, or tooLarge set when it
// holds more than `limit` bytes.
bool OpenFileBytes(const char *path, size_t limit, FileBytes *bytes, bool *tooLarge,
                   std::string *error);
void CloseFileBytes(FileBytes *bytes);
void RemoveFile(const char *path);
// Executable for whoever may read it, where a file system has such a bit
// (a Windows program on a Linux share or under Wine).
void MarkExecutable(const char *path);

// Broken-down local time of a Unix time, the offset of that very instant
// (daylight saving time included). False when it is out of range.
bool LocalTimeOf(int64_t unixTime, struct tm *local);

// UTF-8 to code page 437. On failure *refused is the code point the code
// page lacks, -1 for text that is not UTF-8, or kNoConverter.
enum { kNoConverter = -2 };
bool ConvertToCodePage437(const std::string &utf8, std::string *oem, int32_t *refused);

// The extractor's side.

// A file as the extractor's own CreateFileA takes it. Prints why not.
bool ExtractorPath(const char *file, char *path, size_t size);
// The self-extractor's whole run on `file`. `target` answers the target
// dialog; `answers` (ending with a null textStart) answer the questions
// ahead, and then nothing at all is read. Both may be null.
int RunExtractorOn(const char *file, const char *target, HostAnswer *answers);
