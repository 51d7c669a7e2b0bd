#include "tools/progress_bar.h"

#include <stdio.h>
#include <unistd.h>

void StartProgressBar(ProgressBar *bar, bool wanted, uint64_t total)
{
    *bar = {wanted && isatty(STDERR_FILENO), total, 0, "", -1};
}

// Redrawn only when the figure changes: a large member reports far more
// often than a terminal can show.
void DrawProgressBar(ProgressBar *bar, uint64_t done)
{
    if (!bar->shown)
        return;
    int permille = bar->total ? (int)((done + bar->before) * 1000 / bar->total) : 1000;
    if (permille > 1000)
        permille = 1000;
    if (permille == bar->lastPermille)
        return;
    bar->lastPermille = permille;
    char cells[31];
    int filled = permille * 30 / 1000;
    for (int i = 0; i < 30; i++)
        cells[i] = i < filled ? '#' : '.';
    cells[30] = 0;
    fprintf(stderr, "\r[%s] %3d%% %-40.40s", cells, permille / 10, bar->name);
    fflush(stderr);
}

void FinishProgressMember(ProgressBar *bar, uint64_t size)
{
    bar->before += size;
    DrawProgressBar(bar, 0);
}

void EndProgressBar(ProgressBar *bar)
{
    if (bar->shown)
        fprintf(stderr, "\r%-79s\r", "");
}
