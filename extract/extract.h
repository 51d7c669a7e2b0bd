// Extraction: the two passes over the members and the output files.
#pragma once
#include "archive/archive.h"

extern HANDLE outputFile;

void ExtractArchive(void);
int EnsureDirectory(char *path, int isFilePath, int probeOnly);
void WriteMemberFile(char *targetPath, const MemberHeader *header);
