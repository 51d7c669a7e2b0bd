// corvane-sfx on Linux: POSIX calls, glibc's iconv, and the extractor over
// the Win32 stand-in of platform/, with the console as its window system.
#include "tools/system.h"

#include <dirent.h>
#include <errno.h>
#include <iconv.h>
#include <string.h>
#include <sys/stat.h>

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
