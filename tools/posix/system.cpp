// corvane-sfx on Linux: POSIX calls, glibc's iconv, and the extractor over
// the Win32 stand-in of platform/, with the console as its window system.
#include "tools/system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/shell.h"

void GetUtf8Arguments(int *, char ***)
{
}

const char kPathSeparators[] = "/";

bool QueryPath(const std::string &path, PathStatus *status, std::string *error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = strerror(errno);
        return false;
    }
    status->isDirectory = S_ISDIR(st.st_mode);
    status->isFile = S_ISREG(st.st_mode);
    status->readOnly = (st.st_mode & S_IWUSR) == 0;
    status->mtime = (int64_t)st.st_mtime;
    status->size = (uint64_t)st.st_size;
    status->identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return true;
}

bool ListDirectory(const std::string &path, std::vector<std::string> *names, std::string *error)
{
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        *error = strerror(errno);
        return false;
    }
    names->clear();
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    closedir(dir);
    return true;
}

FILE *OpenFile(const char *path, const char *mode)
{
    return fopen(path, mode);
}

// A mapped file cut short leaves pages behind its new end that no longer
// exist: reading one raises SIGBUS. Only one file is mapped at a time.
static const char *volatile mappedPath;

static void OnMappedFileCut(int)
{
    const char *path = mappedPath ? mappedPath : "a file";
    const char *parts[] = {"corvane-sfx: ", path, " was cut short while it was read\n"};
    for (const char *part : parts)
        if (write(2, part, strlen(part)) < 0)
            break;
    _exit(1);
}

// Reading through a mapping leaves out the copy into a buffer and the
// faults on the buffer's fresh pages, which cost more than packing a fast
// method's share. A file whose size reads as 0 (files under /proc) is read
// to its end instead.
bool OpenFileBytes(const char *path, size_t limit, FileBytes *bytes, bool *tooLarge,
                   std::string *error)
{
    *tooLarge = false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    bool ok = true;
    if (st.st_size > 0) {
        if ((uint64_t)st.st_size > limit) {
            *tooLarge = true;
            ok = false;
        } else {
            void *map = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map == MAP_FAILED) {
                *error = std::string("cannot read ") + path + ": " + strerror(errno);
                ok = false;
            } else {
                madvise(map, (size_t)st.st_size, MADV_SEQUENTIAL);
                static bool handled = false;
                if (!handled) {
                    signal(SIGBUS, OnMappedFileCut);
                    handled = true;
                }
                mappedPath = strdup(path);
                bytes->mapping = map;
                bytes->data = (const uint8_t *)map;
                bytes->size = (size_t)st.st_size;
            }
        }
    } else {
        uint8_t chunk[65536];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) {
            if (bytes->copy.size() + (size_t)n > limit) {
                *tooLarge = true;
                ok = false;
                break;
            }
            bytes->copy.insert(bytes->copy.end(), chunk, chunk + n);
        }
        if (n < 0) {
            *error = std::string("cannot read ") + path + ": " + strerror(errno);
            ok = false;
        }
        bytes->data = bytes->copy.data();
        bytes->size = bytes->copy.size();
    }
    close(fd);
    return ok;
}

void CloseFileBytes(FileBytes *bytes)
{
    if (bytes->mapping) {
        munmap(bytes->mapping, bytes->size);
        free((void *)mappedPath);
        mappedPath = nullptr;
    }
    bytes->mapping = nullptr;
    bytes->copy.clear();
    bytes->data = nullptr;
    bytes->size = 0;
}

void RemoveFile(const char *path)
{
    remove(path);
}

void MarkExecutable(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0)
        chmod(path, st.st_mode | ((st.st_mode & 0444) >> 2));
}

bool LocalTimeOf(int64_t unixTime, struct tm *local)
{
    time_t t = (time_t)unixTime;
    return localtime_r(&t, local) != nullptr;
}

// The code point at the start of bytes that did not convert, or -1 when
// they are not UTF-8 at all.
static int32_t CodePointAt(const char *bytes, size_t count)
{
    iconv_t toUtf32 = iconv_open("UTF-32LE", "UTF-8");
    if (toUtf32 == (iconv_t)-1)
        return -1;
    char *in = (char *)bytes, out[4], *outp = out;
    size_t inLeft = count, outLeft = sizeof out;
    // Stops with E2BIG once the first character is out, or EILSEQ/EINVAL.
    iconv(toUtf32, &in, &inLeft, &outp, &outLeft);
    iconv_close(toUtf32);
    if (outLeft != 0)
        return -1;
    return (int32_t)((uint8_t)out[0] | (uint8_t)out[1] << 8 | (uint8_t)out[2] << 16 |
                     (uint32_t)(uint8_t)out[3] << 24);
}

bool ConvertToCodePage437(const std::string &utf8, std::string *oem, int32_t *refused)
{
    iconv_t toOem = iconv_open("IBM437", "UTF-8");
    if (toOem == (iconv_t)-1) {
        *refused = kNoConverter;
        return false;
    }
    // One byte per character at most.
    std::string out(utf8.size(), '\0');
    char *in = (char *)utf8.data(), *outp = &out[0];
    size_t inLeft = utf8.size(), outLeft = out.size();
    bool ok = iconv(toOem, &in, &inLeft, &outp, &outLeft) != (size_t)-1;
    iconv_close(toOem);
    if (!ok) {
        *refused = CodePointAt(in, inLeft);
        return false;
    }
    out.resize(out.size() - outLeft);
    *oem = out;
    return true;
}

bool ExtractorPath(const char *file, char *path, size_t size)
{
    if (HostPathFromUnix(file, path, size))
        return true;
    fprintf(stderr, "corvane-sfx: the path %s is too long\n", file);
    return false;
}

int RunExtractorOn(const char *file, const char *target, HostAnswer *answers)
{
    HostSetModulePath(file);
    if (target || answers)
        HostSetTargetAnswer(target ? target : "");
    if (answers) {
        // Whatever is still asked (the target dialog again after a path it
        // refused) meets the end of input, and reads nothing.
        FILE *nothing = fopen("/dev/null", "r");
        if (!nothing) {
            perror("corvane-sfx: /dev/null");
            return 1;
        }
        HostSetConsoleInput(nothing);
        HostSetAnswers(answers);
    }
    return RunSelfExtractor();
}
