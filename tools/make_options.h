// What `corvane-sfx make` was asked to do, read from its command line and
// from SOURCE_DATE_EPOCH.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

#include "tools/archive_writer.h"

// The i686 stub of this build, used without --stub (generated from
// build/win32/corvane-stub.exe; empty when the build had no mingw-w64).
extern const unsigned char defaultStub[];
extern const size_t defaultStubSize;

struct MakeRequest {
    const char *stubPath = 0; // null: the stub built into the tool
    const char *outPath = 0;
    bool archiveOnly = false; // write the new archive alone, no stub
    std::vector<std::string> inputs;
    ArchiveOptions archive;
};

// False when the command ends here: after --help (*exitCode 0) or a usage
// error, which has been printed (*exitCode 2).
bool ParseMakeOptions(int argc, char **argv, MakeRequest *request, int *exitCode);
