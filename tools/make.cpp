// `corvane-sfx make` puts a stub and an archive together into one
// self-extracting file; `corvane-sfx seal` re-establishes the stub's XOR
// seal after something (code signing, a resource editor) changed the stub.
#include "tools/cli.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "tools/make_options.h"
#include "tools/seal.h"
#include "tools/system.h"

static int Fail(const std::string &message)
{
    fprintf(stderr, "corvane-sfx: %s\n", message.c_str());
    return kExitFailure;
}

static bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes, std::string *error)
{
    FILE *f = OpenFile(path, "rb");
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
    FILE *f = OpenFile(path, "wb");
    if (!f) {
        *error = std::string("cannot write ") + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        *error = std::string("cannot write ") + path;
        RemoveFile(path);
        return false;
    }
    MarkExecutable(path);
    return true;
}

// Whether the one input of `make` is an archive to seal rather than a file
// to pack: a file named *.lzh or *.lha (which must then be a good archive),
// or one that starts with an LHA member header or is the one-byte archive
// without members. A header is at most 65,535 bytes long, and a file that
// is not an archive is not read further than that.
static bool IsLhaArchiveFile(const char *path)
{
    PathStatus st;
    std::string error;
    if (!QueryPath(path, &st, &error) || !st.isFile)
        return false;
    size_t length = strlen(path);
    if (length >= 4 && (strcasecmp(path + length - 4, ".lzh") == 0 ||
                        strcasecmp(path + length - 4, ".lha") == 0))
        return true;
    FILE *f = OpenFile(path, "rb");
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

// The archive to put behind the stub: the one input read as it is, when it
// already is an archive, or a new one packed from the inputs. *name says
// which, for messages.
static bool LoadArchive(const MakeRequest &request, std::vector<uint8_t> *archive,
                        std::string *name, std::string *error)
{
    if (request.inputs.size() == 1 && IsLhaArchiveFile(request.inputs[0].c_str())) {
        *name = request.inputs[0];
        if (request.archiveOnly) {
            *error = *name + " already is an LHA archive";
            return false;
        }
        return ReadWholeFile(name->c_str(), archive, error);
    }
    *name = "the new archive";
    return BuildArchiveFromPaths(request.inputs, request.archive, archive, error);
}

static bool LoadStub(const MakeRequest &request, std::vector<uint8_t> *stub, std::string *name,
                     std::string *error)
{
    if (request.stubPath) {
        *name = request.stubPath;
        return ReadWholeFile(request.stubPath, stub, error);
    }
    if (defaultStubSize == 0) {
        *error = "this corvane-sfx was built without mingw-w64 and has no stub of its own: "
                 "give one with --stub STUB";
        return false;
    }
    *name = "the built-in stub";
    stub->assign(defaultStub, defaultStub + defaultStubSize);
    return true;
}

// The stub padded to the archive's place and sealed, then the archive,
// after checking that the stub will find the archive and unpack every
// member of it.
static bool Seal(const std::vector<uint8_t> &stub, const std::string &stubName,
                 const std::vector<uint8_t> &archive, const std::string &archiveName,
                 std::vector<uint8_t> *out, size_t *memberCount, std::string *error)
{
    if (stub.size() > ARCHIVE_MAX_OFFSET) {
        *error = stubName + " is " + std::to_string(stub.size()) +
                 " bytes; the archive must start within the first 65536 bytes";
        return false;
    }
    if (CheckSumOffset(stub.data(), stub.size()) == 0) {
        *error = stubName + " is not a Windows program";
        return false;
    }
    std::vector<LzhMember> members;
    LzhMember first;
    bool emptyArchive = archive.size() == 1 && archive[0] == 0;
    if (!emptyArchive && ReadLzhHeader(archive.data(), archive.size(), 0, &first) != HeaderFound) {
        *error = archiveName + " is not an LHA archive";
        return false;
    }
    if (!WalkLzh(archive.data(), archive.size(), 0, &members, error)) {
        *error = archiveName + ": " + *error;
        return false;
    }
    std::string refused = RefusedMembers(members);
    if (!refused.empty()) {
        *error = archiveName + ": the self-extractor cannot unpack " + refused;
        return false;
    }
    *out = stub;
    out->resize((stub.size() + ARCHIVE_ALIGNMENT - 1) / ARCHIVE_ALIGNMENT * ARCHIVE_ALIGNMENT);
    size_t archiveOffset = out->size();
    SealStubPart(out->data(), archiveOffset);
    out->insert(out->end(), archive.begin(), archive.end());
    // The stub scans its own bytes for the archive; something in it that
    // reads like a member header would be taken for the archive.
    if (FindArchive(out->data(), out->size()) != (long)archiveOffset) {
        *error = stubName + " holds bytes that read as an LHA header at a " +
                 "multiple of 512: the self-extractor would not find the archive";
        return false;
    }
    *memberCount = members.size();
    return true;
}

int CommandMake(int argc, char **argv)
{
    MakeRequest request;
    int exitCode;
    if (!ParseMakeOptions(argc, argv, &request, &exitCode))
        return exitCode;
    std::vector<uint8_t> archive, stub, out;
    std::string archiveName, stubName, error;
    size_t memberCount;
    if (!LoadArchive(request, &archive, &archiveName, &error))
        return Fail(error);
    if (request.archiveOnly)
        return WriteWholeFile(request.outPath, archive, &error) ? 0 : Fail(error);
    if (!LoadStub(request, &stub, &stubName, &error) ||
        !Seal(stub, stubName, archive, archiveName, &out, &memberCount, &error) ||
        !WriteWholeFile(request.outPath, out, &error))
        return Fail(error);
    printf("%s: %zu members, archive at offset %zu\n", request.outPath, memberCount,
           out.size() - archive.size());
    return 0;
}

static const CommandOption sealOptions[] = {{0, 0, 0, 0}};

const CommandInfo sealCommand = {
    "seal",
    "FILE",
    "Restores the XOR seal of the stub part of a self-extracting file in place,\n"
    "e.g. after code signing or a resource editor changed the stub. The\n"
    "adjustment lives in the PE CheckSum field, which Authenticode does not\n"
    "hash, so a signature stays valid.",
    sealOptions,
};

static int SealFile(const char *path)
{
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
    FILE *f = OpenFile(path, "r+b");
    if (!f)
        return Fail(std::string("cannot write ") + path + ": " + strerror(errno));
    bool ok = fseek(f, (long)field, SEEK_SET) == 0 && fwrite(&file[field], 1, 4, f) == 4;
    ok = fclose(f) == 0 && ok;
    if (!ok)
        return Fail(std::string("cannot write ") + path);
    return 0;
}

int CommandSeal(int argc, char **argv)
{
    return RunOnOneFile(&sealCommand, argc, argv, SealFile);
}
