// The whole self-extractor run inside the test process, for faults that a
// child process could not be given: answers from `input` (end of input
// answers No), the target typed into the dialog stand-in, an optional
// Cancel in the progress dialog after some output blocks. What the run
// said (its message boxes) comes back in `said`.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "platform/host.h"
#include "shell/shell.h"

inline int RunInProcess(const std::string &file, const std::string &target, FILE *input, std::string &said,
                        int cancelAfterBlocks = 0)
{
    HostSetConsoleInput(input);
    HostSetModulePath(file.c_str());
    HostSetTargetAnswer(target.c_str());
    HostCancelAfterBlocks(cancelAfterBlocks);
    runState = RunState();
    testing::internal::CaptureStderr();
    int code = RunSelfExtractor();
    said = testing::internal::GetCapturedStderr();
    HostCancelAfterBlocks(0);
    HostSetConsoleInput(nullptr);
    return code;
}
