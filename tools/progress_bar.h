// The packer's progress on a terminal: one line on standard error, redrawn
// in place, and nothing at all when standard error is a file or a pipe.
#pragma once
#include <stdint.h>

struct ProgressBar {
    bool shown;
    uint64_t total;  // bytes of all members
    uint64_t before; // bytes of the members already written
    const char *name;
    int lastPermille;
};

void StartProgressBar(ProgressBar *bar, bool wanted, uint64_t total);
// `done` bytes of the current member are packed.
void DrawProgressBar(ProgressBar *bar, uint64_t done);
// The member is written: its bytes move into `before`.
void FinishProgressMember(ProgressBar *bar, uint64_t size);
void EndProgressBar(ProgressBar *bar);
