// `corvane-sfx make` puts a stub and an archive together into one
// self-extracting file; `corvane-sfx seal` re-establishes the stub's XOR
// seal after something (code signing, a resource editor) changed the stub.
#include "tools/commands.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/seal.h"

// The i686 stub of this build (generated from build/win32/corvane-stub.exe;
// empty when the build had no mingw-w64).
extern const unsigned char defaultStub[];
extern const size_t defaultStubSize;

static int Fail(const std::string &message)
{
    fprintf(stderr, "corvane-sfx: %s\n", message.c_str());
    return 1;
}

static int MakeUsage(const char *what)
{
    fprintf(stderr,
            "corvane-sfx: %s\n"
            "usage: corvane-sfx make [--stub STUB] -o OUT.exe ARCHIVE.lzh\n"
            "       corvane-sfx make [--stub STUB] -o OUT.exe [--method lh5|lh6|lh0]\n"
            "                        [--level 0|1|2] [--mtime UNIX_SECONDS] PATH...\n"
            "       corvane-sfx make --archive-only OUT.lzh [--method ...] PATH...\n"
            "       corvane-sfx seal FILE\n",
            what);
    return 2;
}

static bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes, std::string *error)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    if (!ok)
        *error = std::string("cannot read ") + path;
    return ok;
}

static bool WriteWholeFile(const char *path, const std::vector<uint8_t> &bytes, std::string *error)
{
    FILE *f = fopen(path, "wb");
    if (!f) {
        *error = std::string("cannot write ") + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        *error = std::string("cannot write ") + path;
        remove(path);
        return false;
    }
    // A Windows program: executable for whoever may read it (Wine, a share).
    struct stat st;
    if (stat(path, &st) == 0)
        chmod(path, st.st_mode | ((st.st_mode & 0444) >> 2));
    return true;
}

// Whether the one input of `make` is an archive to seal rather than a file
// to pack: a file named *.lzh or *.lha (which must then be a good archive),
// or one that starts with an LHA member header or is the one-byte archive
// without members. A header is at most 65,535 bytes long, and a file that
// is not an archive is not read further than that.
static bool IsLhaArchiveFile(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size_t length = strlen(path);
    if (length >= 4 && (strcasecmp(path + length - 4, ".lzh") == 0 ||
                        strcasecmp(path + length - 4, ".lha") == 0))
        return true;
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    std::vector<uint8_t> start(65536);
    start.resize(fread(start.data(), 1, start.size(), f));
    fclose(f);
    LzhMember first;
    return (start.size() == 1 && start[0] == 0) ||
           ReadLzhHeader(start.data(), start.size(), 0, &first) == HeaderFound;
}

// The members the stub would refuse with "Version not supported.".
static std::string RefusedMembers(const std::vector<LzhMember> &members)
{
    std::string list;
    for (const LzhMember &m : members) {
        if (IsExtractableMethod(m.method))
            continue;
        if (!list.empty())
            list += ", ";
        list += m.path + " (" + m.method + ")";
    }
    return list;
}

int CommandMake(int argc, char **argv)
{
    const char *stubPath = 0;
    const char *outPath = 0;
    const char *archivePath = 0;
    // Building the archive from files and directories (tools/archive_writer).
    std::vector<std::string> inputs;
    ArchiveOptions archiveOptions;
    archiveOptions.showProgress = true;
    bool archiveOnly = false;
    std::string error;
    for (int i = 0; i < argc; i++) {
        int taken = TakeArchiveOption(argc, argv, &i, &archiveOptions, &error);
        if (taken < 0)
            return MakeUsage(error.c_str());
        if (taken > 0) {
            i--;
            continue;
        }
        if (strcmp(argv[i], "--archive-only") == 0) {
            archiveOnly = true;
            if (!outPath && i + 1 < argc && argv[i + 1][0] != '-')
                outPath = argv[++i];
            continue;
        }
        bool isStub = strcmp(argv[i], "--stub") == 0;
        if (isStub || strcmp(argv[i], "-o") == 0) {
            if (i + 1 == argc)
                return MakeUsage("an option lacks its file");
            if (isStub)
                stubPath = argv[++i];
            else
                outPath = argv[++i];
        } else if (argv[i][0] == '-' && argv[i][1]) {
            return MakeUsage("unknown option for make");
        } else {
            inputs.push_back(argv[i]);
        }
    }
    if (!outPath || inputs.empty())
        return MakeUsage("make needs -o OUT.exe and an archive, or files to put into one");

    // One input that already is an archive is sealed as it is; anything
    // else is packed into a new archive first.
    std::vector<uint8_t> archive;
    if (inputs.size() == 1 && IsLhaArchiveFile(inputs[0].c_str())) {
        archivePath = inputs[0].c_str();
        if (archiveOnly)
            return Fail(std::string(archivePath) + " already is an LHA archive");
        if (!ReadWholeFile(archivePath, &archive, &error))
            return Fail(error);
    } else {
        archivePath = "the new archive";
        if (!BuildArchiveFromPaths(inputs, archiveOptions, &archive, &error))
            return Fail(error);
        if (archiveOnly) {
            if (!WriteWholeFile(outPath, archive, &error))
                return Fail(error);
            return 0;
        }
    }

    std::vector<uint8_t> stub;
    if (stubPath) {
        if (!ReadWholeFile(stubPath, &stub, &error))
            return Fail(error);
    } else if (defaultStubSize == 0) {
        return Fail("this corvane-sfx was built without mingw-w64 and has no stub of its own: "
                    "give one with --stub STUB");
    } else {
        stub.assign(defaultStub, defaultStub + defaultStubSize);
        stubPath = "the built-in stub";
    }
    if (stub.size() > ARCHIVE_MAX_OFFSET)
        return Fail(std::string(stubPath) + " is " + std::to_string(stub.size()) +
                    " bytes; the archive must start within the first 65536 bytes");
    if (CheckSumOffset(stub.data(), stub.size()) == 0)
        return Fail(std::string(stubPath) + " is not a Windows program");

    std::vector<LzhMember> members;
    LzhMember first;
    bool emptyArchive = archive.size() == 1 && archive[0] == 0;
    if (!emptyArchive && ReadLzhHeader(archive.data(), archive.size(), 0, &first) != HeaderFound)
        return Fail(std::string(archivePath) + " is not an LHA archive");
    if (!WalkLzh(archive.data(), archive.size(), 0, &members, &error))
        return Fail(std::string(archivePath) + ": " + error);
    std::string refused = RefusedMembers(members);
    if (!refused.empty())
        return Fail(std::string(archivePath) + ": the self-extractor cannot unpack " + refused);

    std::vector<uint8_t> out = stub;
    out.resize((stub.size() + ARCHIVE_ALIGNMENT - 1) / ARCHIVE_ALIGNMENT * ARCHIVE_ALIGNMENT);
    size_t archiveOffset = out.size();
    SealStubPart(out.data(), archiveOffset);
    out.insert(out.end(), archive.begin(), archive.end());
    // The stub scans its own bytes for the archive; something in it that
    // reads like a member header would be taken for the archive.
    long found = FindArchive(out.data(), out.size());
    if (found != (long)archiveOffset)
        return Fail(std::string(stubPath) + " holds bytes that read as an LHA header at a " +
                    "multiple of 512: the self-extractor would not find the archive");
    if (!WriteWholeFile(outPath, out, &error))
        return Fail(error);
    printf("%s: %zu members, archive at offset %zu\n", outPath, members.size(), archiveOffset);
    return 0;
}

int CommandSeal(int argc, char **argv)
{
    if (argc != 1 || (argv[0][0] == '-' && argv[0][1]))
        return MakeUsage("seal takes exactly one file");
    const char *path = argv[0];
    std::string error;
    std::vector<uint8_t> file;
    if (!ReadWholeFile(path, &file, &error))
        return Fail(error);
    long archiveOffset = FindArchive(file.data(), file.size());
    if (archiveOffset == -2)
        return Fail(std::string(path) + ": the self-extractor would find a damaged member header");
    if (archiveOffset < 0)
        return Fail(std::string(path) + ": no LHA archive at a multiple of 512 up to 65536");
    // Only the stub part counts: whatever comes after the archive's start
    // (a signature's certificate table included) is no business of the seal.
    size_t field = CheckSumOffset(file.data(), file.size());
    if (!SealStubPart(file.data(), (size_t)archiveOffset))
        return Fail(std::string(path) + ": no Windows program in front of the archive");
    FILE *f = fopen(path, "r+b");
    if (!f)
        return Fail(std::string("cannot write ") + path + ": " + strerror(errno));
    bool ok = fseek(f, (long)field, SEEK_SET) == 0 && fwrite(&file[field], 1, 4, f) == 4;
    ok = fclose(f) == 0 && ok;
    if (!ok)
        return Fail(std::string("cannot write ") + path);
    return 0;
}
