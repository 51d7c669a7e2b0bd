// `list` and `test`: the extractor's own archive code, run over a file
// without the dialogs.
#pragma once

int CommandList(const char *file);
int CommandTest(const char *file);
