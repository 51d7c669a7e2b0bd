// Static checks of the built stubs, what Windows sees before a single
// instruction runs: for the i686 stub, all that stands between it and a
// Windows 95 that refuses it, as no 32-bit Windows runs here.
#include <set>

#include "tests/cli_fixture.h"
#include "tools/seal.h"

namespace {

const uint32_t kBudget = 16384;  // the sealed i686 stub, everything included

struct Stub {
    const char *name, *path, *objdump, *windres;
};
void PrintTo(const Stub &stub, std::ostream *out) { *out << stub.name; }

class StubImage : public ::testing::TestWithParam<Stub> {
protected:
    std::string bytes = CliTest::Read(GetParam().path);
    uint32_t U16(size_t at) const { return at + 2 <= bytes.size() ? (uint8_t)bytes[at] | (uint8_t)bytes[at + 1] << 8 : 0; }
    uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }
    size_t coff = U32(0x3C) + 4, opt = coff + 20;
    size_t directories = opt + (U16(opt) == 0x10B ? 96 : 112);  // PE32 or PE32+
};

INSTANTIATE_TEST_SUITE_P(Both, StubImage,
                         ::testing::Values(Stub{"i686", CORVANE_STUB32, MINGW32_OBJDUMP, MINGW32_WINDRES},
                                           Stub{"x86_64", CORVANE_STUB64, MINGW64_OBJDUMP, MINGW64_WINDRES}),
                         ::testing::PrintToStringParamName());

TEST_P(StubImage, LoadsOnWindows95AsAWindowedProgramWithSectionsAsTheLoaderExpects)
{
    ASSERT_EQ(bytes.compare(coff - 4, 4, std::string("PE\0\0", 4)), 0);
    // Windows 3.x and 9x want a relocation table offset of 0x40 in a PE image.
    EXPECT_EQ(U16(0x18), 0x40u);
    EXPECT_EQ(U16(opt + 68), 2u) << "GUI subsystem";
    EXPECT_EQ(U16(opt + 48) << 16 | U16(opt + 50), 4u << 16) << "subsystem 4.0";
    EXPECT_EQ(U16(opt + 40), 4u) << "operating system 4";
    EXPECT_EQ(U16(coff + 18) & 0x2003, 0x0003u) << "an executable, not a DLL, relocations stripped";
    EXPECT_EQ(U16(opt + 70) & 0x0040, 0u) << "no dynamic base without relocations";
    EXPECT_EQ(U32(directories + 8 * 5 + 4), 0u) << "relocations";
    EXPECT_EQ(U32(directories + 8 * 9 + 4), 0u) << "thread-local storage needs a runtime";

    const uint32_t write = 0x80000000, execute = 0x20000000;
    uint32_t headers = U32(opt + 60), iat = U32(directories + 8 * 12);
    EXPECT_EQ(headers, 512u) << "headers moved up against the MS-DOS header";
    EXPECT_EQ(U32(opt + 36), 512u) << "file alignment";
    EXPECT_EQ(U32(opt + 32), 4096u) << "section alignment";
    size_t table = opt + U16(coff + 16);
    uint32_t nextAddress = U32(table + 12), nextRaw = headers;
    bool zeroFilledWindow = false, iatWritable = false;
    for (size_t s = table; s < table + 40 * U16(coff + 2); s += 40) {
        SCOPED_TRACE(bytes.substr(s, 8).c_str());
        uint32_t virtualSize = U32(s + 8), address = U32(s + 12), rawSize = U32(s + 16), flags = U32(s + 36);
        EXPECT_EQ(address, nextAddress) << "sections follow each other";
        nextAddress = address + (std::max(virtualSize, rawSize) + 4095) / 4096 * 4096;
        EXPECT_NE(flags & (write | execute), write | execute) << "no writable code";
        if (iat >= address && iat < nextAddress)
            iatWritable = flags & write;  // Windows 95 writes the import addresses in place
        if (rawSize) {
            EXPECT_EQ(U32(s + 20), nextRaw) << "file data packed in order";
            EXPECT_EQ(rawSize % 512, 0u);
            nextRaw = U32(s + 20) + rawSize;
        }
        zeroFilledWindow |= virtualSize >= 65536 && rawSize == 0;
    }
    EXPECT_EQ(U32(opt + 56), nextAddress) << "size of image";
    EXPECT_EQ(bytes.size(), nextRaw) << "nothing after the last section";
    EXPECT_TRUE(zeroFilledWindow) << "the 64 KiB window must cost no file space";
    EXPECT_TRUE(iatWritable);
}

TEST_P(StubImage, ImportsOnlyAnsiFunctionsOfKnownSystemDlls)
{
    // Known DLLs come from the system directory, never the download's folder.
    std::istringstream lines(RunCli({GetParam().objdump, "-p", GetParam().path}).out);
    std::set<std::string> dlls, kernel;
    std::string dll;
    for (std::string line; std::getline(lines, line);) {
        char name[256];
        unsigned vma, hint;
        if (line.compare(0, 11, "\tDLL Name: ") == 0) {
            dll = line.substr(11);
            std::transform(dll.begin(), dll.end(), dll.begin(), ::toupper);
            dlls.insert(dll);
        } else if (!dll.empty() && sscanf(line.c_str(), "\t%x %u %255s", &vma, &hint, name) == 3) {
            EXPECT_NE(std::string(name).back(), 'W') << dll << " " << name << ": ANSI entry points only";
            if (dll == "KERNEL32.DLL")
                kernel.insert(name);
        } else if (line.empty()) {
            dll.clear();
        }
    }
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.DLL", "SHELL32.DLL", "USER32.DLL"}));
    EXPECT_GE(kernel.size(), 20u) << "the import listing was read";
    // comctl32, no known DLL, comes by its system path, and what Windows 95 lacks by name.
    EXPECT_TRUE(kernel.count("LoadLibraryA") && kernel.count("GetProcAddress") && kernel.count("GetSystemDirectoryA"));
    EXPECT_FALSE(kernel.count("SetDefaultDllDirectories"));
    for (const char *text : {"\\comctl32.dll", "InitCommonControls", "SetDefaultDllDirectories"})
        EXPECT_NE(bytes.find(std::string(text) + '\0'), std::string::npos) << text;
}

TEST_P(StubImage, DialogsIconAndManifestAsTheUserMustSeeThem)
{
    std::string rc = RunCli({GetParam().windres, "-O", "rc", GetParam().path}).out;
    auto block = [&](const std::string &start) {
        size_t at = rc.find(start);
        return at == std::string::npos ? "missing: " + start : rc.substr(at, rc.find("\nEND\n", at) + 5 - at);
    };
    const std::string head = " DIALOG 0, 0, 260, 95\nSTYLE 0x90c000c0\nCAPTION \"Corvane - Self-Extracting LHA Archive\"\n"
                             "FONT 8, \"MS Sans Serif\"\nBEGIN\n";
    EXPECT_EQ(block("102 DIALOG"),
              "102" + head +
                  "  CONTROL \"\", 1001, \"EDIT\", 0x50810080, 8, 47, 244, 14\n"
                  "  CONTROL \"&Extract\", 1002, \"BUTTON\", 0x50010001, 8, 71, 60, 14\n"
                  "  CONTROL \"&Cancel\", 1003, \"BUTTON\", 0x50010000, 100, 71, 60, 14\n"
                  "  CONTROL \"&Browse...\", 1004, \"BUTTON\", 0x50010000, 192, 71, 60, 14\n"
                  "  CONTROL \"Target directory for extracting the archive:\", 65535, \"STATIC\", 0x50020000, 8, 32, 208, 10\n"
                  "  CONTROL L\"This is the freeware self-extractor of 'Corvane' for Windows\\256 95.\\nVisit our "
                  "homepage at: http://www.corvane.org\", 65535, \"STATIC\", 0x50020000, 8, 8, 242, 17\nEND\n");
    EXPECT_EQ(block("103 DIALOG"),
              "103" + head +
                  "  CONTROL \"&Cancel\", 1003, \"BUTTON\", 0x50010001, 100, 71, 60, 14\n"
                  "  CONTROL \"\", 1005, \"MSCTLS_PROGRESS32\", 0x50800000, 8, 48, 244, 14\n"
                  "  CONTROL \"Extracting the files...\", 65535, \"STATIC\", 0x50020000, 40, 15, 152, 10\n"
                  "  CONTROL 101, 65535, \"STATIC\", 0x50000003, 8, 9, 18, 20\n"
                  "  CONTROL \"\", 1006, \"STATIC\", 0x5002008c, 8, 32, 244, 8\nEND\n");
    // One 32 x 32 image in 16 colours, 4 bits per pixel.
    std::string icon = block("101 14 /* RT_GROUP_ICON */");
    EXPECT_NE(icon.find("0, 1, 1,"), std::string::npos) << icon;
    EXPECT_NE(icon.find("\"\\040\\040\\020\\000\", 1, 4,"), std::string::npos) << icon;
    // Named like an installer, the stub must still not ask for elevation.
    EXPECT_NE(block("1 24 /* RT_MANIFEST */").find("level=\"\"asInvoker\"\""), std::string::npos);
}

class ShippedStub : public CliTest {};

TEST_F(ShippedStub, UsesNoInstructionBeyondThe386)
{
    // The 486 and Pentium of Windows 95 lack cmov, which the compiler's
    // default i686 target uses. The mnemonic follows the tab.
    std::istringstream lines(RunCli({MINGW32_OBJDUMP, "-d", "--no-show-raw-insn", CORVANE_STUB32}).out);
    int instructions = 0;
    for (std::string line; std::getline(lines, line);) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        instructions++;
        std::string op = line.substr(tab + 1, line.find(' ', tab) - tab - 1);
        EXPECT_FALSE(op.compare(0, 4, "cmov") == 0 || op.compare(0, 5, "fcmov") == 0 || op == "cpuid" || op == "rdtsc" ||
                     op == "sysenter" || line.find("xmm") != std::string::npos || line.find("%mm") != std::string::npos)
            << line;
    }
    EXPECT_GT(instructions, 1000) << "no disassembly";
}

TEST_F(ShippedStub, FitsItsBudgetOnceSealedAndIsTheDefaultOfMake)
{
    RunResult r = Cli({"make", "-o", Path("out.exe"), Write("empty.lzh", std::string(1, '\0'))});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string stub = Read(CORVANE_STUB32), sfx = Read(Path("out.exe"));
    long archiveOffset = FindArchive((const uint8_t *)sfx.data(), sfx.size());
    ASSERT_EQ(archiveOffset, (long)sfx.size() - 1) << "an empty archive at the end";
    EXPECT_LE((uint32_t)archiveOffset, kBudget) << "the sealed stub takes " << archiveOffset << " bytes";
    EXPECT_EQ(StubXor((const uint8_t *)sfx.data(), (size_t)archiveOffset), 0u);
    // The stub inside is the one built, but for its seal.
    size_t field = CheckSumOffset((const uint8_t *)stub.data(), stub.size());
    ASSERT_NE(field, 0u);
    EXPECT_EQ(sfx.substr(0, field), stub.substr(0, field));
    EXPECT_EQ(sfx.substr(field + 4, stub.size() - field - 4), stub.substr(field + 4));
}

}  // namespace
