// The extraction run, under the progress dialog: own file open, archive located,
// every header read once to size the work and check the free space, then
// every member extracted, each failure followed by the user's decision.
//
// Choices this driver makes where the archive format leaves room:
//  - A member whose packed size has its top bit set would send either pass
//    backwards (sizes are signed 32-bit file offsets) and possibly into a
//    loop. The member walk refuses it as a damaged header, and the sizing
//    pass meets it first, so nothing is extracted from such an archive.
//  - The free-space check counts in 64 bits, so a drive with 2^32 or more
//    free sectors and totals of 4 GiB or more compare correctly; totalBytes
//    itself saturates at 0xFFFFFFFF instead of wrapping.
//  - An allocation that fails ends the run with "Not enough memory.".
#include "extract/extract.h"

static const char noMemory[] = "Not enough memory.";

// Pass one: add up the decoded sizes, passing over the data with seeks.
static void SizeMembers(int32_t next)
{
    MemberNames names;
    while (MemberHeader *header = NextMember(&next, &names)) {
        if (!IsDirectoryMethod(header->method)) {
            uint32_t sum = runState.totalBytes + header->originalSize;
            runState.totalBytes = sum < runState.totalBytes ? 0xFFFFFFFF : sum;
        }
    }
}

static void CheckFreeSpace(void)
{
    runState.targetDir[runState.targetDirLength - 1] = 0;
    EnsureDirectory(runState.targetDir, 0, 1);
    runState.targetDir[runState.targetDirLength - 1] = '\\';
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, totalClusters;
    if (!GetDiskFreeSpaceA(0, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters) ||
        bytesPerSector == 0)
        return;
    // Rounded up without a 64-bit sum: a 64-bit division would pull a
    // library helper into the stub. The product needs no helper.
    uint32_t needed = runState.totalBytes / bytesPerSector;
    if (runState.totalBytes % bytesPerSector)
        needed++;
    uint64_t available = (uint64_t)freeClusters * sectorsPerCluster;
    if (available < needed &&
        MessageBoxA(runState.mainWindow,
                    "There is not enough space on the data carrier.\n"
                    "Do you want extract the archive anyway?",
                    "Warning", MB_YESNO | MB_ICONQUESTION) != IDYES)
        runState.failed = 1;
}

static char *MemberTargetPath(const MemberNames *names)
{
    int32_t length;
    char *joined = JoinMemberPath(names, &length);
    if (!joined)
        return 0;
    char *target = ComposeTargetPath((const uint8_t *)joined, length);
    FreeBlock(joined);
    return target;
}

// "...\SETUP.EXE" in any case, with the backslash in front.
static int IsSetupProgram(const char *path)
{
    int32_t n = StringLength(path);
    return n > 9 && path[n - 10] == '\\' && lstrcmpiA(path + n - 9, "SETUP.EXE") == 0;
}

// Pass two. Returns when the archive ends or the run stops.
static void ExtractMembers(int32_t next)
{
    MemberNames names;
    while (MemberHeader *found = NextMember(&next, &names)) {
        MemberHeader header = *found;  // the header buffer is the decoders' window
        char *target = MemberTargetPath(&names);
        if (!target) {
            ShowFailure(noMemory);
            return;
        }
        SendDlgItemMessageA(runState.mainWindow, IDC_MEMBER_TEXT, WM_SETTEXT, 0, (LPARAM)target);
        if (IsDirectoryMethod(header.method)) {
            EnsureDirectory(target, 0, 0);
        } else {
            WriteMemberFile(target, &header);
            if (!runState.failed && !runState.setupPath && IsSetupProgram(target)) {
                runState.setupPath = target;
                target = 0;
            }
        }
        FreeBlock(target);
        if (runState.failed) {
            if (runState.cancelRequested)
                return;
            if (MessageBoxA(runState.mainWindow, "Do you want to cancel extracting?", "Warning",
                            MB_YESNO | MB_ICONQUESTION) == IDYES)
                return;
            runState.failed = 0;
            UpdateProgress();
        }
    }
}

void ExtractArchive(void)
{
    runState.totalBytes = 0;
    runState.doneBytes = 0;
    BuildCrcTable();

    char savedDirectory[MAX_PATH];
    char ownPath[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, savedDirectory);
    GetModuleFileNameA(0, ownPath, MAX_PATH);
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(ownPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, 0);
    if (archiveInput.archiveFile == INVALID_HANDLE_VALUE) {
        SetCurrentDirectoryA(savedDirectory);
        return;
    }
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    if (archiveInput.archiveLimit == (int32_t)INVALID_FILE_SIZE) {
        ReportDamage();
    } else {
        int32_t first = LocateArchive();
        if (!runState.failed)
            SizeMembers(first);
        if (!runState.failed)
            CheckFreeSpace();
        if (!runState.failed)
            ExtractMembers(first);
    }
    CloseHandle(archiveInput.archiveFile);
    SetCurrentDirectoryA(savedDirectory);
}
