// Static checks of the built stubs: what Windows sees before a single
// instruction runs. The i686 stub is the one that ships, and no 32-bit
// Windows runs here, so its image is checked field by field: loadable on
// Windows 95, linked only against DLLs the system protects, its dialogs
// laid out control by control, and within its size budget once sealed.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/seal.h"

namespace {

const uint32_t kBudget = 16384;  // the sealed i686 stub, everything included

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

uint32_t U16(const std::string &b, size_t at)
{
    return at + 2 <= b.size() ? (uint32_t)(uint8_t)b[at] | (uint32_t)(uint8_t)b[at + 1] << 8 : 0;
}

uint32_t U32(const std::string &b, size_t at)
{
    return U16(b, at) | U16(b, at + 2) << 16;
}

struct Section {
    std::string name;
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
};

enum {
    SCN_EXECUTE = 0x20000000,
    SCN_READ = 0x40000000,
    SCN_WRITE = 0x80000000,
    DIR_IMPORT = 1,
    DIR_RESOURCE = 2,
    DIR_RELOC = 5,
    DIR_TLS = 9,
    DIR_IAT = 12,
};

// The parts of a PE image the checks look at.
struct Image {
    std::string bytes;
    uint32_t peOffset = 0, machine = 0, characteristics = 0, magic = 0;
    uint32_t entryPoint = 0, sectionAlignment = 0, fileAlignment = 0;
    uint32_t osMajor = 0, osMinor = 0, subsystemMajor = 0, subsystemMinor = 0;
    uint32_t sizeOfImage = 0, sizeOfHeaders = 0, subsystem = 0, dllCharacteristics = 0;
    uint32_t directoryRva[16] = {}, directorySize[16] = {};
    std::vector<Section> sections;

    bool Load(const std::string &path)
    {
        bytes = ReadFile(path);
        if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0)
            return false;
        peOffset = U32(bytes, 0x3C);
        if (bytes.compare(peOffset, 4, std::string("PE\0\0", 4)) != 0)
            return false;
        size_t coff = peOffset + 4;
        machine = U16(bytes, coff);
        uint32_t sectionCount = U16(bytes, coff + 2);
        uint32_t optionalSize = U16(bytes, coff + 16);
        characteristics = U16(bytes, coff + 18);
        size_t opt = coff + 20;
        magic = U16(bytes, opt);
        bool pe32 = magic == 0x10B;
        entryPoint = U32(bytes, opt + 16);
        sectionAlignment = U32(bytes, opt + 32);
        fileAlignment = U32(bytes, opt + 36);
        osMajor = U16(bytes, opt + 40);
        osMinor = U16(bytes, opt + 42);
        subsystemMajor = U16(bytes, opt + 48);
        subsystemMinor = U16(bytes, opt + 50);
        sizeOfImage = U32(bytes, opt + 56);
        sizeOfHeaders = U32(bytes, opt + 60);
        subsystem = U16(bytes, opt + 68);
        dllCharacteristics = U16(bytes, opt + 70);
        size_t directories = opt + (pe32 ? 96 : 112);
        uint32_t count = U32(bytes, directories - 4);
        for (uint32_t i = 0; i < count && i < 16; i++) {
            directoryRva[i] = U32(bytes, directories + 8 * i);
            directorySize[i] = U32(bytes, directories + 8 * i + 4);
        }
        size_t table = opt + optionalSize;
        for (uint32_t i = 0; i < sectionCount; i++) {
            size_t s = table + 40 * i;
            Section sec;
            sec.name = bytes.substr(s, 8).c_str();
            sec.virtualSize = U32(bytes, s + 8);
            sec.virtualAddress = U32(bytes, s + 12);
            sec.rawSize = U32(bytes, s + 16);
            sec.rawOffset = U32(bytes, s + 20);
            sec.characteristics = U32(bytes, s + 36);
            sections.push_back(sec);
        }
        return true;
    }

    const Section *SectionAt(uint32_t rva) const
    {
        for (const Section &s : sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
                return &s;
        return nullptr;
    }

    // File offset of an RVA within a section's file bytes; 0 if it has none.
    size_t Offset(uint32_t rva) const
    {
        const Section *s = SectionAt(rva);
        if (!s || rva - s->virtualAddress >= s->rawSize)
            return 0;
        return s->rawOffset + (rva - s->virtualAddress);
    }

    std::string CString(uint32_t rva) const
    {
        size_t at = Offset(rva);
        return at ? std::string(bytes.c_str() + at) : std::string();
    }

    // DLL name (upper case) to the names of the functions imported from it.
    std::map<std::string, std::vector<std::string>> Imports() const
    {
        std::map<std::string, std::vector<std::string>> imports;
        bool pe32 = magic == 0x10B;
        for (size_t d = Offset(directoryRva[DIR_IMPORT]); d && U32(bytes, d + 12); d += 20) {
            std::string dll = CString(U32(bytes, d + 12));
            for (char &c : dll)
                c = (char)toupper((unsigned char)c);
            uint32_t thunks = U32(bytes, d) ? U32(bytes, d) : U32(bytes, d + 16);
            std::vector<std::string> &names = imports[dll];
            for (size_t t = Offset(thunks);; t += pe32 ? 4 : 8) {
                uint64_t entry = pe32 ? U32(bytes, t) : (U32(bytes, t) | (uint64_t)U32(bytes, t + 4) << 32);
                if (entry == 0)
                    break;
                bool byOrdinal = pe32 ? (entry & 0x80000000u) : (entry >> 63);
                names.push_back(byOrdinal ? "#ordinal" : CString((uint32_t)entry + 2));
            }
        }
        return imports;
    }

    // The data of resource type/id (first language); empty if absent.
    std::string Resource(uint32_t type, uint32_t id) const
    {
        size_t root = Offset(directoryRva[DIR_RESOURCE]);
        if (!root)
            return "";
        auto find = [&](size_t dir, uint32_t wanted, bool any) -> uint32_t {
            uint32_t named = U16(bytes, dir + 12), ids = U16(bytes, dir + 14);
            for (uint32_t i = 0; i < named + ids; i++) {
                size_t e = dir + 16 + 8 * i;
                uint32_t name = U32(bytes, e);
                if (any || (!(name & 0x80000000u) && name == wanted))
                    return U32(bytes, e + 4);
            }
            return 0xFFFFFFFF;
        };
        uint32_t byType = find(root, type, false);
        if (byType == 0xFFFFFFFF || !(byType & 0x80000000u))
            return "";
        uint32_t byId = find(root + (byType & 0x7FFFFFFF), id, false);
        if (byId == 0xFFFFFFFF || !(byId & 0x80000000u))
            return "";
        uint32_t byLanguage = find(root + (byId & 0x7FFFFFFF), 0, true);
        if (byLanguage == 0xFFFFFFFF || (byLanguage & 0x80000000u))
            return "";
        size_t entry = root + byLanguage;
        size_t at = Offset(U32(bytes, entry));
        return at ? bytes.substr(at, U32(bytes, entry + 4)) : "";
    }
};

// ---- Dialog templates (the classic DLGTEMPLATE layout the resource
// compiler writes for a DIALOG statement).

struct Control {
    uint32_t style, exStyle;
    int x, y, w, h, id;
    std::string className, text;
};

struct Dialog {
    uint32_t style, exStyle;
    int x, y, w, h;
    std::string caption, font;
    int pointSize = 0;
    std::vector<Control> controls;
};

// A name or an ordinal: 0xFFFF and a number, or a zero-ended UTF-16
// string (kept as Latin-1 here: every text of the stub is).
std::string NameOrOrdinal(const std::string &b, size_t *at)
{
    if (U16(b, *at) == 0xFFFF) {
        uint32_t ordinal = U16(b, *at + 2);
        *at += 4;
        static const std::map<uint32_t, std::string> atoms = {
            {0x80, "BUTTON"}, {0x81, "EDIT"}, {0x82, "STATIC"}, {0x83, "LISTBOX"},
        };
        auto atom = atoms.find(ordinal);
        return atom != atoms.end() ? atom->second : "#" + std::to_string(ordinal);
    }
    std::string s;
    for (uint32_t c; (c = U16(b, *at)) != 0; *at += 2)
        s += c < 0x100 ? (char)c : '?';
    *at += 2;
    return s;
}

bool ParseDialog(const std::string &b, Dialog *d)
{
    if (b.size() < 18 || U16(b, 2) == 0xFFFF)  // an extended template
        return false;
    d->style = U32(b, 0);
    d->exStyle = U32(b, 4);
    int count = (int)U16(b, 8);
    d->x = (int16_t)U16(b, 10);
    d->y = (int16_t)U16(b, 12);
    d->w = (int16_t)U16(b, 14);
    d->h = (int16_t)U16(b, 16);
    size_t at = 18;
    NameOrOrdinal(b, &at);  // menu
    NameOrOrdinal(b, &at);  // class
    d->caption = NameOrOrdinal(b, &at);
    if (d->style & 0x40) {  // DS_SETFONT
        d->pointSize = (int)U16(b, at);
        at += 2;
        d->font = NameOrOrdinal(b, &at);
    }
    for (int i = 0; i < count; i++) {
        at = (at + 3) & ~(size_t)3;
        Control c;
        c.style = U32(b, at);
        c.exStyle = U32(b, at + 4);
        c.x = (int16_t)U16(b, at + 8);
        c.y = (int16_t)U16(b, at + 10);
        c.w = (int16_t)U16(b, at + 12);
        c.h = (int16_t)U16(b, at + 14);
        c.id = (int16_t)U16(b, at + 16);
        at += 18;
        c.className = NameOrOrdinal(b, &at);
        c.text = NameOrOrdinal(b, &at);
        at += 2 + U16(b, at);  // creation data
        d->controls.push_back(c);
    }
    return at <= b.size();
}

const char kCaption[] = "Corvane - Self-Extracting LHA Archive";
// WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFONT: no system menu.
const uint32_t kDialogStyle = 0x90C000C0;

void ExpectDialog(const Image &image, int id, const std::vector<Control> &expected)
{
    SCOPED_TRACE("dialog " + std::to_string(id));
    Dialog d;
    ASSERT_TRUE(ParseDialog(image.Resource(5, (uint32_t)id), &d));
    EXPECT_EQ(d.style, kDialogStyle);
    EXPECT_EQ(d.exStyle, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.w, 260);
    EXPECT_EQ(d.h, 95);
    EXPECT_EQ(d.caption, kCaption);
    EXPECT_EQ(d.font, "MS Sans Serif");
    EXPECT_EQ(d.pointSize, 8);
    ASSERT_EQ(d.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const Control &e = expected[i], &c = d.controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " " + e.text);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(strcasecmp(c.className.c_str(), e.className.c_str()), 0) << c.className;
        EXPECT_EQ(c.style, e.style);
        EXPECT_EQ(c.exStyle, 0u);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.w, e.w);
        EXPECT_EQ(c.h, e.h);
        EXPECT_EQ(c.text, e.text);
    }
}

class StubImage : public ::testing::TestWithParam<const char *> {
protected:
    Image image;
    bool i686 = false;

    void SetUp() override
    {
        i686 = strcmp(GetParam(), CORVANE_STUB32) == 0;
        ASSERT_TRUE(image.Load(GetParam())) << GetParam() << " is no PE image";
    }
};

INSTANTIATE_TEST_SUITE_P(Both, StubImage, ::testing::Values(CORVANE_STUB32, CORVANE_STUB64),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return strcmp(info.param, CORVANE_STUB32) == 0 ? "i686" : "x86_64";
                         });

TEST_P(StubImage, LoadsOnWindows95AsAWindowedProgram)
{
    EXPECT_EQ(image.machine, i686 ? 0x14Cu : 0x8664u);
    EXPECT_EQ(image.magic, i686 ? 0x10Bu : 0x20Bu);
    EXPECT_EQ(image.subsystem, 2u) << "GUI subsystem";
    EXPECT_EQ(image.subsystemMajor, 4u);
    EXPECT_EQ(image.subsystemMinor, 0u);
    EXPECT_EQ(image.osMajor, 4u);
    // Windows 3.x and 9x take an MZ image for a new-style executable only
    // when its relocation table offset is 0x40.
    EXPECT_EQ(U16(image.bytes, 0x18), 0x40u);
    EXPECT_EQ(image.sizeOfHeaders, 512u) << "headers moved up against the MS-DOS header";
    EXPECT_NE(image.characteristics & 0x0002, 0u) << "executable image";
    EXPECT_EQ(image.characteristics & 0x2000, 0u) << "not a DLL";
    // An image without relocations must say so, and must not ask to be moved.
    EXPECT_EQ(image.directorySize[DIR_RELOC], 0u);
    EXPECT_NE(image.characteristics & 0x0001, 0u) << "relocations stripped";
    EXPECT_EQ(image.dllCharacteristics & 0x0040, 0u) << "no dynamic base without relocations";
    EXPECT_EQ(image.directorySize[DIR_TLS], 0u) << "thread-local storage needs a runtime";
}

TEST(ShippedStub, UsesNoInstructionBeyondThe386)
{
    // The compiler's default i686 target would use cmov, which the
    // Pentium and 486 processors Windows 95 runs on do not have.
    std::string command = std::string(MINGW32_OBJDUMP) + " -d --no-show-raw-insn '" + CORVANE_STUB32 + "'";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string listing;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
        listing.append(chunk, n);
    ASSERT_EQ(pclose(p), 0);
    ASSERT_NE(listing.find("ret"), std::string::npos) << "no disassembly";
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        // "  401000:\tcmovne %eax,%edx": the mnemonic follows the tab.
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string mnemonic = line.substr(tab + 1, line.find(' ', tab) - tab - 1);
        bool newer = mnemonic.compare(0, 4, "cmov") == 0 || mnemonic.compare(0, 5, "fcmov") == 0 ||
                     mnemonic == "cpuid" || mnemonic == "rdtsc" || mnemonic == "sysenter" ||
                     line.find("xmm") != std::string::npos || line.find("%mm") != std::string::npos;
        EXPECT_FALSE(newer) << line;
    }
}

TEST_P(StubImage, SectionsAreLaidOutAsTheLoaderExpects)
{
    ASSERT_FALSE(image.sections.empty());
    EXPECT_EQ(image.fileAlignment, 512u);
    EXPECT_EQ(image.sectionAlignment, 4096u);
    EXPECT_EQ(image.sizeOfHeaders % image.fileAlignment, 0u);
    uint32_t nextAddress = image.sections[0].virtualAddress;
    uint32_t nextRaw = image.sizeOfHeaders;
    bool haveZeroFilledWindow = false;
    for (const Section &s : image.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.virtualAddress, nextAddress) << "sections follow each other without gaps";
        uint32_t span = std::max(s.virtualSize, s.rawSize);
        nextAddress = s.virtualAddress + (span + image.sectionAlignment - 1) / image.sectionAlignment *
                                             image.sectionAlignment;
        EXPECT_FALSE((s.characteristics & SCN_WRITE) && (s.characteristics & SCN_EXECUTE))
            << "no writable code";
        if (s.rawSize) {
            EXPECT_EQ(s.rawOffset, nextRaw) << "file data packed in order";
            EXPECT_EQ(s.rawSize % image.fileAlignment, 0u);
            nextRaw = s.rawOffset + s.rawSize;
        }
        // The 64 KiB window and the tables must cost no file space.
        if (s.virtualSize >= 65536 && s.rawSize == 0)
            haveZeroFilledWindow = true;
    }
    EXPECT_EQ(image.sizeOfImage, nextAddress);
    EXPECT_EQ(image.bytes.size(), nextRaw) << "nothing after the last section";
    EXPECT_TRUE(haveZeroFilledWindow) << "the big buffers belong in zero-filled data";

    const Section *code = image.SectionAt(image.entryPoint);
    ASSERT_NE(code, nullptr);
    EXPECT_NE(code->characteristics & SCN_EXECUTE, 0u) << "entry point in code";
    const Section *iat = image.SectionAt(image.directoryRva[DIR_IAT]);
    ASSERT_NE(iat, nullptr);
    EXPECT_NE(iat->characteristics & SCN_WRITE, 0u) << "the loader writes the import addresses";
    EXPECT_NE(image.SectionAt(image.directoryRva[DIR_RESOURCE]), nullptr);
}

TEST_P(StubImage, ImportsOnlyKnownSystemDllsAndAnsiFunctions)
{
    auto imports = image.Imports();
    // kernel32, user32 and shell32 are known DLLs: the loader takes them
    // from the system directory, never from the folder of the download.
    std::set<std::string> dlls;
    for (const auto &entry : imports)
        dlls.insert(entry.first);
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.DLL", "SHELL32.DLL", "USER32.DLL"}));
    for (const auto &entry : imports) {
        for (const std::string &name : entry.second) {
            SCOPED_TRACE(entry.first + " " + name);
            EXPECT_NE(name, "#ordinal");
            EXPECT_NE(name.back(), 'W') << "the stub uses the ANSI entry points only";
        }
    }
    const std::vector<std::string> &kernel = imports["KERNEL32.DLL"];
    for (const char *needed : {"ExitProcess", "LoadLibraryA", "GetProcAddress", "GetSystemDirectoryA"})
        EXPECT_NE(std::find(kernel.begin(), kernel.end(), needed), kernel.end()) << needed;
    // Functions younger than Windows 95 are looked up at run time, never
    // imported: the loader would refuse the whole program.
    EXPECT_EQ(std::find(kernel.begin(), kernel.end(), "SetDefaultDllDirectories"), kernel.end());
}

TEST_P(StubImage, LoadsTheCommonControlsByTheirSystemPath)
{
    // The progress bar class comes from comctl32, which is not a known DLL:
    // the stub loads it itself from the system directory.
    for (const char *text : {"\\comctl32.dll", "InitCommonControls", "SetDefaultDllDirectories",
                             "kernel32.dll"})
        EXPECT_NE(image.bytes.find(std::string(text) + '\0'), std::string::npos) << text;
    EXPECT_EQ(image.Imports().count("COMCTL32.DLL"), 0u);
}

TEST_P(StubImage, TargetDialogTemplateControlByControl)
{
    const char *info = "This is the freeware self-extractor of 'Corvane' for Windows\xAE 95.\n"
                       "Visit our homepage at: http://www.corvane.org";
    ExpectDialog(image, 102, {
        {0x50810080, 0, 8, 47, 244, 14, 1001, "EDIT", ""},
        {0x50010001, 0, 8, 71, 60, 14, 1002, "BUTTON", "&Extract"},
        {0x50010000, 0, 100, 71, 60, 14, 1003, "BUTTON", "&Cancel"},
        {0x50010000, 0, 192, 71, 60, 14, 1004, "BUTTON", "&Browse..."},
        {0x50020000, 0, 8, 32, 208, 10, -1, "STATIC", "Target directory for extracting the archive:"},
        {0x50020000, 0, 8, 8, 242, 17, -1, "STATIC", info},
    });
}

TEST_P(StubImage, ProgressDialogTemplateControlByControl)
{
    ExpectDialog(image, 103, {
        {0x50010001, 0, 100, 71, 60, 14, 1003, "BUTTON", "&Cancel"},
        {0x50800000, 0, 8, 48, 244, 14, 1005, "msctls_progress32", ""},
        {0x50020000, 0, 40, 15, 152, 10, -1, "STATIC", "Extracting the files..."},
        {0x50000003, 0, 8, 9, 18, 20, -1, "STATIC", "#101"},
        {0x5002008C, 0, 8, 32, 244, 8, 1006, "STATIC", ""},
    });
}

TEST_P(StubImage, IconIsOne32x32ImageIn16Colours)
{
    std::string group = image.Resource(14, 101);
    ASSERT_EQ(group.size(), 6u + 14u) << "one entry";
    EXPECT_EQ(U16(group, 2), 1u) << "an icon";
    EXPECT_EQ(U16(group, 4), 1u);
    EXPECT_EQ((uint8_t)group[6], 32);
    EXPECT_EQ((uint8_t)group[7], 32);
    EXPECT_EQ((uint8_t)group[8], 16) << "colours";
    EXPECT_EQ(U16(group, 12), 4u) << "bits per pixel";
    std::string icon = image.Resource(3, U16(group, 18));
    ASSERT_EQ(icon.size(), U32(group, 14));
    EXPECT_EQ(U32(icon, 0), 40u) << "a bitmap header";
    EXPECT_EQ(U32(icon, 4), 32u);
    EXPECT_EQ(U32(icon, 8), 64u) << "image and mask";
    EXPECT_EQ(U16(icon, 14), 4u);
}

TEST_P(StubImage, ManifestAsksForNoElevation)
{
    std::string manifest = image.Resource(24, 1);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
    EXPECT_EQ(manifest.find("highestAvailable"), std::string::npos);
}

// ---- The shipped stub as `make` uses it.

std::string RunMake(const std::vector<std::string> &args, int *status)
{
    std::string command = CORVANE_SFX;
    for (const std::string &a : args)
        command += " '" + a + "'";
    command += " 2>&1";
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char chunk[512];
    size_t n;
    while (p && (n = fread(chunk, 1, sizeof chunk, p)) > 0)
        out.append(chunk, n);
    int raw = p ? pclose(p) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

TEST(ShippedStub, FitsItsBudgetOnceSealedAndIsTheDefaultOfMake)
{
    std::string stub = ReadFile(CORVANE_STUB32);
    char dir[] = "/tmp/corvane-stub-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string archive = std::string(dir) + "/empty.lzh";
    std::string out = std::string(dir) + "/out.exe";
    std::ofstream(archive, std::ios::binary) << std::string(1, '\0');
    int status;
    std::string said = RunMake({"make", "-o", out, archive}, &status);
    ASSERT_EQ(status, 0) << said;
    std::string sfx = ReadFile(out);
    long archiveOffset = FindArchive((const uint8_t *)sfx.data(), sfx.size());
    ASSERT_EQ(archiveOffset, (long)sfx.size() - 1) << "an empty archive at the end";
    EXPECT_LE((uint32_t)archiveOffset, kBudget)
        << "the sealed stub takes " << archiveOffset << " bytes";
    EXPECT_EQ(StubXor((const uint8_t *)sfx.data(), (size_t)archiveOffset), 0u);
    // The stub inside is the one in build/win32, but for its seal.
    size_t field = CheckSumOffset((const uint8_t *)stub.data(), stub.size());
    ASSERT_NE(field, 0u);
    EXPECT_EQ(sfx.substr(0, field), stub.substr(0, field));
    EXPECT_EQ(sfx.substr(field + 4, stub.size() - field - 4), stub.substr(field + 4));
    remove(out.c_str());
    remove(archive.c_str());
    rmdir(dir);
}

}  // namespace
