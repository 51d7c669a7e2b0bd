// The archive writer. Every member gets the header of the chosen level with
// the MS-DOS operating system id, so that readers apply its attribute; its
// data is packed in memory first, since the header that precedes the data
// carries the packed size.
#include "tools/archive_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "core/core.h"
#include "tools/lzh_encoder.h"
#include "tools/progress_bar.h"
#include "tools/system.h"

enum {
    kDosReadOnly = 0x01,
    kDosDirectory = 0x10,
    kDosArchive = 0x20,
    kMaxMemberSize = 0x7FFFFFFF, // the extractor keeps sizes as signed 32-bit values
    kCrcAside = 1 << 20,         // a file this large is packed on all cores
};

// ---------------------------------------------------------------------------
// Names.

static std::string CodeName(int32_t codePoint)
{
    char name[16];
    snprintf(name, sizeof name, "U+%04X", (unsigned)codePoint);
    return name;
}

bool Utf8ToOem(const std::string &utf8, std::string *oem, std::string *error)
{
    oem->clear();
    std::string out;
    int32_t refused;
    if (!ConvertToCodePage437(utf8, &out, &refused)) {
        if (refused == kNoConverter) {
            *error = "the C library cannot convert to code page 437";
            return false;
        }
        *error = "the name \"" + utf8 + "\" " +
                 (refused < 0 ? std::string("is not valid UTF-8")
                              : "holds " + CodeName(refused) +
                                    ", which code page 437 (the names' code page) cannot hold");
        return false;
    }
    // Byte 0xFF is U+00A0 in the code page, and a separator in headers.
    size_t separator = out.find_first_of("\\\xFF");
    if (separator != std::string::npos) {
        *error = "the name \"" + utf8 + "\" holds " +
                 CodeName(out[separator] == '\\' ? '\\' : 0xA0) +
                 ", which an LHA header would read as a path separator";
        return false;
    }
    *oem = out;
    return true;
}

// ---------------------------------------------------------------------------
// Times.

uint32_t UnixToDosDateTime(int64_t mtime)
{
    struct tm local;
    if (!LocalTimeOf(mtime, &local) || local.tm_year < 80)
        return 0x00210000; // 1 January 1980 00:00:00, the first MS-DOS day
    if (local.tm_year > 207)
        return 0xFF9FBF7D; // 31 December 2107 23:59:58, the last
    uint32_t date = (uint32_t)(local.tm_year - 80) << 9 | (uint32_t)(local.tm_mon + 1) << 5 |
                    (uint32_t)local.tm_mday;
    uint32_t time =
        (uint32_t)local.tm_hour << 11 | (uint32_t)local.tm_min << 5 | (uint32_t)local.tm_sec / 2;
    return date << 16 | time;
}

// ---------------------------------------------------------------------------
// Headers.

static void Put16(std::vector<uint8_t> *h, size_t at, uint32_t v)
{
    (*h)[at] = (uint8_t)v;
    (*h)[at + 1] = (uint8_t)(v >> 8);
}

static void Put32(std::vector<uint8_t> *h, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*h)[at + i] = (uint8_t)(v >> (8 * i));
}

static void Append16(std::vector<uint8_t> *h, uint32_t v)
{
    h->push_back((uint8_t)v);
    h->push_back((uint8_t)(v >> 8));
}

// Extended header: its length (counting the type, the data and the next
// length field), the type, the data; the next length follows later.
static void AppendExtension(std::vector<uint8_t> *h, uint8_t type, const std::string &data)
{
    h->push_back(type);
    h->insert(h->end(), data.begin(), data.end());
    Append16(h, 0); // the length of the next one, patched when it comes
}

// Lays extensions after the length field at `first`: each one's length
// goes where the previous one ends.
static void AppendExtensions(std::vector<uint8_t> *h, size_t first,
                             const std::vector<std::pair<uint8_t, std::string>> &extensions)
{
    size_t lengthAt = first;
    for (const auto &e : extensions) {
        uint32_t s = (uint32_t)(3 + e.second.size());
        Put16(h, lengthAt, s);
        AppendExtension(h, e.first, e.second);
        lengthAt = h->size() - 2;
    }
}

// Level 0 and 1 paths separate their parts with backslashes; the directory
// extension uses 0xFF, which no code page 437 name byte here can be.
static std::string WithSeparator(const std::string &path, char separator)
{
    std::string s = path;
    for (char &c : s)
        if (c == '/')
            c = separator;
    return s;
}

static uint8_t ByteSum(const std::vector<uint8_t> &h, size_t from, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = (uint8_t)(sum + h[from + i]);
    return sum;
}

static void FixedFields(const MemberFields &f, int level, std::vector<uint8_t> *h)
{
    memcpy(h->data() + 2, f.method, 5);
    Put32(h, 7, f.packedSize);
    Put32(h, 11, f.originalSize);
    if (level < 2) {
        Put32(h, 15, UnixToDosDateTime(f.mtime));
    } else {
        int64_t t = f.mtime < 0 ? 0 : f.mtime > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : f.mtime;
        Put32(h, 15, (uint32_t)t);
    }
    (*h)[19] = f.attribute;
    (*h)[20] = (uint8_t)level;
}

static bool TooLong(std::string *error, const std::string &what, const char *limit)
{
    *error = "the path \"" + what + "\" is too long for this header level (" + limit + ")";
    return false;
}

static bool Level0Header(const MemberFields &f, std::vector<uint8_t> *h, std::string *error)
{
    std::string path = WithSeparator(f.directory + f.name, '\\');
    if (path.size() > 233)
        return TooLong(error, f.directory + f.name, "at most 233 bytes at level 0");
    size_t n = path.size();
    h->assign(24 + n, 0);
    (*h)[0] = (uint8_t)(22 + n);
    FixedFields(f, 0, h);
    (*h)[21] = (uint8_t)n;
    memcpy(h->data() + 22, path.data(), n);
    Put16(h, 22 + n, f.dataCrc);
    (*h)[1] = ByteSum(*h, 2, 22 + n);
    return true;
}

// The file name stays in the base header; the directory goes into an
// extension, where it is not bound by the base header's 255 bytes.
static bool Level1Header(const MemberFields &f, bool headerCrc, std::vector<uint8_t> *h,
                         std::string *error)
{
    if (f.name.size() > 230)
        return TooLong(error, f.name, "a name of at most 230 bytes at level 1");
    if (f.directory.size() > 65000)
        return TooLong(error, f.directory, "at most 65,000 bytes");
    size_t n = f.name.size();
    size_t s = 25 + n;
    h->assign(s + 2, 0);
    (*h)[0] = (uint8_t)s;
    FixedFields(f, 1, h);
    (*h)[21] = (uint8_t)n;
    memcpy(h->data() + 22, f.name.data(), n);
    Put16(h, 22 + n, f.dataCrc);
    (*h)[24 + n] = 'M';
    std::vector<std::pair<uint8_t, std::string>> extensions;
    if (headerCrc)
        extensions.push_back({0x00, std::string(2, '\0')});
    if (!f.directory.empty())
        extensions.push_back({0x02, WithSeparator(f.directory, '\xFF')});
    AppendExtensions(h, s, extensions);
    // The stored packed size counts the extensions too.
    Put32(h, 7, f.packedSize + (uint32_t)(h->size() - (s + 2)));
    (*h)[1] = ByteSum(*h, 2, s);
    if (headerCrc)
        Put16(h, s + 3, Crc16(0, h->data(), h->size()));
    return true;
}

static bool Level2Header(const MemberFields &f, std::vector<uint8_t> *h, std::string *error)
{
    if (f.name.size() + f.directory.size() > 65000)
        return TooLong(error, f.directory + f.name, "at most 65,000 bytes");
    h->assign(26, 0);
    FixedFields(f, 2, h);
    Put16(h, 21, f.dataCrc);
    (*h)[23] = 'M';
    std::vector<std::pair<uint8_t, std::string>> extensions;
    extensions.push_back({0x00, std::string(2, '\0')});
    if (!f.name.empty())
        extensions.push_back({0x01, f.name});
    if (!f.directory.empty())
        extensions.push_back({0x02, WithSeparator(f.directory, '\xFF')});
    AppendExtensions(h, 24, extensions);
    // A length whose low byte is 0 would read as the archive's end mark.
    if ((h->size() & 0xFF) == 0)
        h->push_back(0);
    Put16(h, 0, (uint32_t)h->size());
    Put16(h, 27, Crc16(0, h->data(), h->size()));
    return true;
}

bool AppendMemberHeader(const MemberFields &fields, int level, bool level1HeaderCrc,
                        std::vector<uint8_t> *archive, std::string *error)
{
    std::vector<uint8_t> h;
    bool ok = level == 0   ? Level0Header(fields, &h, error)
              : level == 1 ? Level1Header(fields, level1HeaderCrc, &h, error)
                           : Level2Header(fields, &h, error);
    if (ok)
        archive->insert(archive->end(), h.begin(), h.end());
    return ok;
}

// ---------------------------------------------------------------------------
// Members.

static void OnPackProgress(void *context, uint64_t done)
{
    DrawProgressBar((ProgressBar *)context, done);
}

static bool TooLarge(const MemberSource &m, std::string *error)
{
    *error = m.sourcePath + " is too large for an archive member (at most 2 GiB - 1 bytes)";
    return false;
}

// The whole content of a file, to its end as it is now.
static bool ReadMemberFile(const MemberSource &m, FileBytes *data, std::string *error)
{
    bool tooLarge = false;
    if (m.size <= kMaxMemberSize &&
        OpenFileBytes(m.sourcePath.c_str(), kMaxMemberSize, data, &tooLarge, error))
        return true;
    return m.size > kMaxMemberSize || tooLarge ? TooLarge(m, error) : false;
}

// Splits "a/b/c" into the directory "a/b/" and the name "c", both in code
// page 437.
static bool OemParts(const std::string &memberPath, bool isDirectory, MemberFields *f,
                     std::string *error)
{
    std::string oem;
    if (!Utf8ToOem(memberPath, &oem, error))
        return false;
    if (isDirectory) {
        f->directory = oem + "/";
        f->name.clear();
        return true;
    }
    size_t slash = oem.rfind('/');
    f->directory = slash == std::string::npos ? std::string() : oem.substr(0, slash + 1);
    f->name = slash == std::string::npos ? oem : oem.substr(slash + 1);
    return true;
}

static bool WriteMember(const MemberSource &m, const ArchiveOptions &options, ProgressBar *progress,
                        std::vector<uint8_t> *archive, std::string *error)
{
    MemberFields f;
    f.mtime = options.fixedTime                               ? options.fixedMtime
              : options.clampTime && m.mtime > options.clampMtime ? options.clampMtime
                                                                  : m.mtime;
    f.packedSize = f.originalSize = 0;
    f.dataCrc = 0;
    if (!OemParts(m.memberPath, m.isDirectory, &f, error))
        return false;
    // A level 0 header has no place for a directory but its name.
    if (m.isDirectory && options.level == 0) {
        f.name = f.directory;
        f.directory.clear();
    }
    if (m.isDirectory) {
        memcpy(f.method, "-lhd-", 6);
        f.attribute = kDosDirectory;
        return AppendMemberHeader(f, options.level, options.level1HeaderCrc, archive, error);
    }

    FileBytes file;
    if (!ReadMemberFile(m, &file, error))
        return false;
    f.attribute = (uint8_t)(kDosArchive | (m.readOnly ? kDosReadOnly : 0));
    f.originalSize = (uint32_t)file.size;
    memcpy(f.method, "-lh0-", 6);
    f.packedSize = f.originalSize;
    progress->name = m.memberPath.c_str();

    // The header goes first with the sizes unknown, and the data is packed
    // right behind it; the header's length does not depend on the sizes, so
    // the final header takes its place. The CRC is taken on the side while
    // a larger file is packed.
    // Room for the member stored, reserved ahead (capacity that is never
    // written to costs no memory): growing by copies would touch each page
    // of the archive more than once.
    size_t room = archive->size() + 1024 + file.size;
    if (archive->capacity() < room)
        archive->reserve(std::max(room, 2 * archive->capacity()));
    size_t headerAt = archive->size();
    bool ok = AppendMemberHeader(f, options.level, options.level1HeaderCrc, archive, error);
    size_t dataAt = archive->size();
    uint32_t crc = 0;
    std::thread crcThread;
    if (ok && options.method != 0 && file.size > kCrcAside)
        crcThread = std::thread([&] { crc = Crc16(0, file.data, file.size); });
    else
        crc = Crc16(0, file.data, file.size);
    bool stored = true;
    if (ok && options.method != 0) {
        const LzhMethodParams &params = options.method == 6 ? kLh6Params : kLh5Params;
        PackLzh(file.data, file.size, params,
                options.best ? BestLzhEffort(params) : DefaultLzhEffort(params), archive,
                OnPackProgress, progress);
        stored = options.storeIfLarger && archive->size() - dataAt >= file.size;
        if (!stored) {
            memcpy(f.method, options.method == 6 ? "-lh6-" : "-lh5-", 6);
            f.packedSize = (uint32_t)(archive->size() - dataAt);
        }
    }
    if (crcThread.joinable())
        crcThread.join();
    f.dataCrc = (uint16_t)crc;
    if (ok) {
        if (stored) {
            archive->resize(dataAt);
            archive->insert(archive->end(), file.data, file.data + file.size);
        }
        std::vector<uint8_t> header;
        AppendMemberHeader(f, options.level, options.level1HeaderCrc, &header, error);
        memcpy(archive->data() + headerAt, header.data(), header.size());
        FinishProgressMember(progress, file.size);
    }
    CloseFileBytes(&file);
    return ok;
}

bool WriteArchive(const std::vector<MemberSource> &members, const ArchiveOptions &options,
                  std::vector<uint8_t> *archive, std::string *error)
{
    // The self-extractor passes over a first member named "!" without a word.
    if (!members.empty() && !members[0].isDirectory) {
        const std::string &first = members[0].memberPath;
        if (first == "!" || (first.size() > 1 && first.compare(first.size() - 2, 2, "/!") == 0)) {
            *error = "the first member, \"" + first +
                     "\", would be skipped by the self-extractor (a first member named \"!\" "
                     "is never extracted): give another path first";
            return false;
        }
    }
    uint64_t total = 0;
    for (const MemberSource &m : members)
        total += m.size;
    ProgressBar progress;
    StartProgressBar(&progress, options.showProgress, total);
    archive->clear();
    bool ok = true;
    for (const MemberSource &m : members) {
        if (!WriteMember(m, options, &progress, archive, error)) {
            ok = false;
            break;
        }
    }
    EndProgressBar(&progress);
    if (!ok)
        return false;
    archive->push_back(0); // the end mark
    return true;
}

bool BuildArchiveFromPaths(const std::vector<std::string> &paths, const ArchiveOptions &options,
                           std::vector<uint8_t> *archive, std::string *error)
{
    std::vector<MemberSource> members;
    return CollectMembers(paths, &members, error) && WriteArchive(members, options, archive, error);
}
