// Files and directories over POSIX calls.
//
// Read-only: Windows refuses to open a read-only file for writing and to
// delete it. Here "read-only" is a file whose owner write bit is clear, and
// because the extractor may run as root, whom permission bits do not stop,
// CreateFileA (for writing) and DeleteFileA test that bit themselves.
//
// Attributes: read-only of a file lives in its permission bits (set: a-w;
// cleared: u+w). Hidden, system and archive, and read-only of a directory
// (a-w on a directory would stop other users from creating files in it,
// which Windows' flag does not), are kept in the extended attribute
// user.DOSATTRIB as text "0x..". Where the file system has no extended
// attributes those bits are dropped without failing the call. Names that
// start with a dot are not reported hidden.
#include "platform/internal.h"
#include "platform/host.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#define CREATE_NEW 1
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

static const uint32_t fileMagic = 0x46494c45;  // "FILE"

struct PlatformFile {
    uint32_t magic;
    int fd;
};

static PlatformFile *FileOf(HANDLE handle)
{
    PlatformFile *file = (PlatformFile *)handle;
    if (!file || handle == INVALID_HANDLE_VALUE || file->magic != fileMagic)
        return 0;
    return file;
}

static bool IsReadOnlyMode(const struct stat &st)
{
    return (st.st_mode & S_IWUSR) == 0;
}

static const char dosAttributeName[] = "user.DOSATTRIB";

static DWORD StoredAttributes(const char *path)
{
    char text[32];
    ssize_t n = getxattr(path, dosAttributeName, text, sizeof text - 1);
    if (n <= 0)
        return 0;
    text[n] = 0;
    return (DWORD)strtoul(text, 0, 16);
}

static void StoreAttributes(const char *path, DWORD bits)
{
    if (bits == 0) {
        removexattr(path, dosAttributeName);
        return;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "0x%x", (unsigned)bits);
    setxattr(path, dosAttributeName, text, (size_t)n, 0);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl)
{
    (void)share;  // no other process opens our files; sharing has nothing to guard
    (void)sa;
    (void)flags;
    (void)tmpl;
    std::string path;
    if (!UnixPathOf(name, path))
        return INVALID_HANDLE_VALUE;

    bool writing = (access & GENERIC_WRITE) != 0;
    int mode = writing ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return INVALID_HANDLE_VALUE;
    bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (exists && (writing || replaces) && IsReadOnlyMode(st))
        return INVALID_HANDLE_VALUE;

    switch (disposition) {
    case CREATE_NEW: mode |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case TRUNCATE_EXISTING: mode |= O_TRUNC; break;
    default: return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // A replaced file starts over with no attributes, as on Windows.
    if (exists && disposition == CREATE_ALWAYS)
        StoreAttributes(path.c_str(), 0);
    PlatformFile *file = (PlatformFile *)malloc(sizeof *file);
    if (!file) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    file->magic = fileMagic;
    file->fd = fd;
    return file;
}

// Short counts from read(2) and write(2) are retried: a disk file delivers
// all it is asked for unless the end comes first (TRUE with fewer bytes, or
// with none at the end), and a full disk leaves FALSE with the bytes that
// did get written.
static BOOL Transfer(HANDLE handle, char *buffer, DWORD count, LPDWORD done, bool writing)
{
    PlatformFile *file = FileOf(handle);
    if (done)
        *done = 0;
    if (!file)
        return FALSE;
    for (DWORD total = 0; total < count;) {
        ssize_t n = writing ? write(file->fd, buffer + total, count - total)
                            : read(file->fd, buffer + total, count - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n == 0 && writing))
            return FALSE;
        if (n == 0)
            break;
        total += (DWORD)n;
        if (done)
            *done = total;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    return Transfer(handle, (char *)buffer, count, done, false);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    return Transfer(handle, (char *)const_cast<void *>(buffer), count, done, true);
}

// Without distanceHigh the distance is a signed 32-bit number and the new
// position must fit 32 bits; with it the two make one signed 64-bit
// distance and the high half of the result goes back there.
DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh, DWORD method)
{
    PlatformFile *file = FileOf(handle);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    int64_t move = distanceHigh
        ? (int64_t)(((uint64_t)(uint32_t)*distanceHigh << 32) | (uint32_t)distance)
        : (int64_t)distance;
    int64_t base;
    if (method == FILE_BEGIN) {
        base = 0;
    } else if (method == FILE_CURRENT) {
        base = lseek(file->fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st;
        base = fstat(file->fd, &st) == 0 ? (int64_t)st.st_size : -1;
    } else {
        return INVALID_SET_FILE_POINTER;
    }
    if (base < 0)
        return INVALID_SET_FILE_POINTER;
    int64_t target = base + move;
    if (target < 0 || (!distanceHigh && target > 0xFFFFFFFFll))
        return INVALID_SET_FILE_POINTER;
    if (lseek(file->fd, (off_t)target, SEEK_SET) < 0)
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = (LONG)(target >> 32);
    return (DWORD)target;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD sizeHigh)
{
    PlatformFile *file = FileOf(handle);
    struct stat st;
    if (!file || fstat(file->fd, &st) != 0)
        return INVALID_FILE_SIZE;
    if (sizeHigh)
        *sizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    return (DWORD)st.st_size;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    PlatformFile *file = FileOf(handle);
    if (!file)
        return FALSE;
    int fd = file->fd;
    file->magic = 0;
    free(file);
    return close(fd) == 0;
}

BOOL WINAPI DeleteFileA(LPCSTR name)
{
    std::string path;
    struct stat st;
    if (!UnixPathOf(name, path) || lstat(path.c_str(), &st) != 0)
        return FALSE;
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnlyMode(st)))
        return FALSE;
    return unlink(path.c_str()) == 0;
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa)
{
    (void)sa;
    std::string path;
    // Windows keeps room for an 8.3 name inside a new directory.
    return UnixPathOf(name, path, MAX_PATH - 12) && mkdir(path.c_str(), 0777) == 0;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    std::string path;
    struct stat st;
    if (!UnixPathOf(name, path) || stat(path.c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    DWORD stored = StoredAttributes(path.c_str());
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY | (stored & 0x27);
    DWORD attributes = stored & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (IsReadOnlyMode(st))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes)
{
    std::string path;
    struct stat st;
    if (!UnixPathOf(name, path) || stat(path.c_str(), &st) != 0)
        return FALSE;
    if (S_ISDIR(st.st_mode)) {
        StoreAttributes(path.c_str(), attributes & 0x27);
        return TRUE;
    }
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0)
        return FALSE;
    StoreAttributes(path.c_str(), attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                FILE_ATTRIBUTE_ARCHIVE));
    return TRUE;
}

// A FILETIME of 0 means "leave it", as on Windows; the creation time has no
// Linux counterpart and is ignored.
BOOL WINAPI SetFileTime(HANDLE handle, const FILETIME *creation, const FILETIME *access,
                        const FILETIME *write)
{
    (void)creation;
    PlatformFile *file = FileOf(handle);
    if (!file)
        return FALSE;
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (access && FileTimeTicks(access) != 0)
        times[0] = TimespecFromFileTime(access);
    if (write && FileTimeTicks(write) != 0)
        times[1] = TimespecFromFileTime(write);
    return futimens(file->fd, times) == 0;
}

// Sectors of 512 bytes, and clusters made as large as needed (up to
// 32768 sectors) for the total count to fit 32 bits; whatever still does
// not fit is clamped.
BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                              LPDWORD freeClusters, LPDWORD totalClusters)
{
    std::string path = ".";
    if (root && !UnixPathOf(root, path))
        return FALSE;
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0)
        return FALSE;
    uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    uint64_t freeBytes = (uint64_t)vfs.f_bavail * unit;
    uint64_t totalBytes = (uint64_t)vfs.f_blocks * unit;
    uint64_t sectors = unit >= 512 ? unit / 512 : 1;
    while (totalBytes / (sectors * 512) > 0xFFFFFFFFull && sectors < 32768)
        sectors *= 2;
    uint64_t clusterBytes = sectors * 512;
    uint64_t freeCount = freeBytes / clusterBytes;
    uint64_t totalCount = totalBytes / clusterBytes;
    if (sectorsPerCluster)
        *sectorsPerCluster = (DWORD)sectors;
    if (bytesPerSector)
        *bytesPerSector = 512;
    if (freeClusters)
        *freeClusters = freeCount > 0xFFFFFFFFull ? 0xFFFFFFFFu : (DWORD)freeCount;
    if (totalClusters)
        *totalClusters = totalCount > 0xFFFFFFFFull ? 0xFFFFFFFFu : (DWORD)totalCount;
    return TRUE;
}
