// The extraction run: progress dialog in, own file open, archive located,
// every header read once to size the work and check the free space, then
// every member extracted, each failure followed by the user's decision.
//
// Choices this driver makes where the archive format leaves room:
//  - A member whose packed size has its top bit set would send either pass
//    backwards (sizes are signed 32-bit file offsets) and possibly into a
//    loop. The sizing pass refuses it as a damaged header, so nothing is
//    extracted from such an archive.
//  - The free-space check counts in 64 bits, so a drive with 2^32 or more
//    free sectors and totals of 4 GiB or more compare correctly; totalBytes
//    itself saturates at 0xFFFFFFFF instead of wrapping.
//  - An allocation that fails ends the run with "Not enough memory.".
#include "decode/decode.h"
#include "extract/extract.h"
#include "shell/shell.h"

static const char noMemory[] = "Not enough memory.";

// Pass one: add up the decoded sizes, passing over the data with seeks.
static void SizeMembers(void)
{
    MemberNames names;
    for (;;) {
        MemberHeader *header = ReadMemberHeader(&names);
        if (!header) {
            if (names.damaged)
                ReportDamage();
            return;
        }
        if ((int32_t)header->packedSize < 0) {
            ReportDamage();
            return;
        }
        if (!IsDirectoryMethod(header->method)) {
            uint32_t sum = runState.totalBytes + header->originalSize;
            runState.totalBytes = sum < runState.totalBytes ? 0xFFFFFFFF : sum;
        }
        if (!SeekArchive((int32_t)header->packedSize, 1))
            return;
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

// Directory and name joined, separators made "/", one leading "/" dropped.
static char *MemberTargetPath(const MemberNames *names)
{
    uint8_t *dir = names->directory;
    int32_t dirLength = names->directoryLength;
    for (int32_t i = 0; i < dirLength; i++) {
        if (dir[i] == 0x5C || dir[i] == 0xFF)
            dir[i] = '/';
    }
    if (dirLength > 0 && dir[0] == '/') {
        dir++;
        dirLength--;
    }
    int32_t length = dirLength + names->nameLength;
    uint8_t *joined = (uint8_t *)AllocBlock(length);
    if (!joined && length > 0)
        return 0;
    CopyBytes(joined, dir, dirLength);
    CopyBytes(joined + dirLength, names->name, names->nameLength);
    char *target = ComposeTargetPath(joined, length);
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
static void ExtractMembers(int32_t memberOffset)
{
    MemberNames names;
    for (;;) {
        MemberHeader *found = ReadMemberHeader(&names);
        if (!found) {
            if (names.damaged)
                ReportDamage();
            return;
        }
        MemberHeader header = *found;  // the header buffer is the decoders' window
        memberOffset += names.headerLength;
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
        memberOffset = (int32_t)((uint32_t)memberOffset + header.packedSize);
        ResetArchiveInput();
        if (!SeekArchive(memberOffset, 0))
            return;
    }
}

void ExtractArchive(void)
{
    HWND progress = CreateDialogParamA(runState.instance, MAKEINTRESOURCEA(IDD_PROGRESS), 0,
                                       ProgressDialogProc, 0);
    if (!progress) {
        ShowFailure("Cannot open the progress window.");
        return;
    }
    DestroyWindow(runState.mainWindow);
    runState.mainWindow = progress;
    runState.decoderActive = 0;
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
    if (!runState.failed) {
        int32_t memberOffset = LocateArchive();
        if (!runState.failed)
            SizeMembers();
        if (!runState.failed)
            CheckFreeSpace();
        if (!runState.failed && SeekArchive(memberOffset, 0))
            ExtractMembers(memberOffset);
    }
    CloseHandle(archiveInput.archiveFile);
    SetCurrentDirectoryA(savedDirectory);
}
