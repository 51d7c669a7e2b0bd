// End to end over the archives that an independent encoder wrote (tests/java).
#include <map>
#include <set>

#include "tests/cli_fixture.h"
#include "tests/manifest.h"

namespace fs = std::filesystem;

namespace {


void ExpectExtractedAsWritten(const std::string &out, const std::vector<ManifestEntry> &members)
{
    std::set<std::string> want, got;
    for (const ManifestEntry &m : members)
        for (size_t s = m.path.size() - 1; s != std::string::npos; s = m.path.rfind('/', s - 1))
            want.insert(m.path.substr(0, s + 1));
    std::error_code error;
    for (const auto &item : fs::recursive_directory_iterator(out, error))
        got.insert(fs::relative(item.path(), out).generic_string() + (item.is_directory() ? "/" : ""));
    EXPECT_EQ(got, want);
    for (const ManifestEntry &m : members) {
        struct stat st;
        if (m.kind == "dir" || stat((out + "/" + m.path).c_str(), &st) != 0)
            continue;
        EXPECT_TRUE(CliTest::Read(out + "/" + m.path) == CliTest::Read(std::string(CORVANE_TEST_DATA) + "/inputs/" + m.input)) << m.path;
        EXPECT_EQ(st.st_mtime, m.mtime) << m.path;
        EXPECT_EQ((st.st_mode & S_IWUSR) == 0, (m.attribute & 0x01) != 0) << "read-only: " << m.path;
    }
}

class E2e : public CliTest {};

// A match at the ring's edge (-lzs-, -lz5-; see tests/java) may come out
// whole or as damaged; -lh7- is refused wherever it stands.
TEST_F(E2e, EveryArchiveOfTheIndependentEncoder)
{
    std::map<std::string, std::vector<ManifestEntry>> archives;
    for (const ManifestEntry &m : ReadManifest(CORVANE_TEST_DATA))
        if (m.archive.compare(0, 7, "damage-") != 0)
            archives[m.archive].push_back(m);
    ASSERT_GE(archives.size(), 33u) << "test archives missing in " << CORVANE_TEST_DATA << " (tests/java writes them)";
    for (const auto &[archive, members] : archives) {
        SCOPED_TRACE(archive);
        std::string file = std::string(CORVANE_TEST_DATA) + "/" + archive, answers;
        int refused = 0, mayFail = 0;
        for (const ManifestEntry &m : members) {
            refused += m.method == "lh7";
            mayFail += m.ringEdgeMatches > 0;
            answers += m.method == "lh7" || m.ringEdgeMatches > 0 ? "n\n" : "";
        }
        RunResult t = Cli({"test", file});
        int damaged = Occurrences(t.err, kDamaged);
        EXPECT_TRUE(damaged <= mayFail && Occurrences(t.err, kRefused) == refused) << t.err;
        EXPECT_TRUE(Occurrences(t.err, "Error") == damaged + refused && t.exitCode == (damaged + refused ? 1 : 0)) << Describe(t);

        for (bool stop : {false, true}) {
            if (stop && !refused)
                continue;
            Remove("out");
            RunResult r = Extract(file, stop ? "y\n" : answers);
            std::vector<ManifestEntry> present;
            for (const ManifestEntry &m : members) {
                if (stop && m.method == "lh7")
                    break;
                if (m.method != "lh7" && (m.ringEdgeMatches == 0 || Exists(Path("out/" + m.path))))
                    present.push_back(m);
            }
            int failed = (int)(members.size() - present.size());
            EXPECT_EQ(r.exitCode, stop ? 1 : 0) << Describe(r);
            EXPECT_EQ(Occurrences(r.err, kRefused), stop ? 1 : refused) << r.err;
            EXPECT_TRUE(stop || (Occurrences(r.err, "Error") == failed && Occurrences(r.err, kGoOn) == failed)) << r.err;
            EXPECT_TRUE(!stop || Occurrences(r.err, kGoOn) == 1) << r.err;
            ExpectExtractedAsWritten(Path("out"), present);
        }
    }
}

}  // namespace
