// Extraction: the two passes over the members, the output files and
// directories, and the progress bar they move.
#pragma once
#include "archive/archive.h"

void ExtractArchive(void);
int EnsureDirectory(char *path, int isFilePath, int probeOnly);
void WriteMemberFile(char *targetPath, const MemberHeader *header);

int32_t ProgressPosition(int32_t done, int32_t total);  // 0..1000
void UpdateProgress(void);
// Shows what a DecodeExit means to the user (nothing for Done and
// Cancelled); 1 for Done.
int ReportDecodeExit(int32_t code);
