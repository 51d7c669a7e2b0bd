// Gathering the members of a new archive. The order must not depend on the
// file system's own order of directory entries, so that the same tree gives
// the same archive on any machine.
#include "tools/file_walker.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "tools/system.h"

struct WalkState {
    std::vector<MemberSource> *members;
    std::set<std::string> openDirectories;         // identities of the directories being walked
    std::map<std::string, std::string> takenNames;     // case-folded name -> the name as given
    std::string *error;
};

static bool Fail(WalkState *walk, const std::string &message)
{
    *walk->error = message;
    return false;
}

// Windows compares file names without regard to ASCII case; two members that
// differ only there would land on the same file.
static bool TakeName(WalkState *walk, const std::string &memberPath)
{
    std::string folded = memberPath;
    for (char &c : folded)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    auto found = walk->takenNames.find(folded);
    if (found == walk->takenNames.end()) {
        walk->takenNames.emplace(folded, memberPath);
        return true;
    }
    if (found->second == memberPath)
        return Fail(walk, "\"" + memberPath + "\" is given twice");
    return Fail(walk, "\"" + found->second + "\" and \"" + memberPath +
                          "\" would be the same file on Windows");
}

static bool Walk(WalkState *walk, const std::string &sourcePath, const std::string &memberPath);

static bool AddEntry(WalkState *walk, const std::string &sourcePath, const std::string &memberPath,
                     bool contentsOnly)
{
    PathStatus st;
    std::string why;
    if (!QueryPath(sourcePath, &st, &why))
        return Fail(walk, "cannot read " + sourcePath + ": " + why);
    if (st.isDirectory) {
        if (!contentsOnly) {
            if (!TakeName(walk, memberPath))
                return false;
            walk->members->push_back({sourcePath, memberPath, true, st.readOnly, st.mtime, 0});
        }
        if (!walk->openDirectories.insert(st.identity).second)
            return Fail(walk, sourcePath + " leads back into a directory above it");
        bool ok = Walk(walk, sourcePath, contentsOnly ? std::string() : memberPath);
        walk->openDirectories.erase(st.identity);
        return ok;
    }
    if (!st.isFile) {
        fprintf(stderr, "corvane-sfx: skipping %s: not a file or directory\n", sourcePath.c_str());
        return true;
    }
    if (!TakeName(walk, memberPath))
        return false;
    walk->members->push_back({sourcePath, memberPath, false, st.readOnly, st.mtime, st.size});
    return true;
}

// The entries of one directory, sorted by the bytes of their names.
static bool Walk(WalkState *walk, const std::string &sourcePath, const std::string &memberPath)
{
    std::vector<std::string> names;
    std::string why;
    if (!ListDirectory(sourcePath, &names, &why))
        return Fail(walk, "cannot read " + sourcePath + ": " + why);
    std::sort(names.begin(), names.end());
    std::string prefix = sourcePath;
    if (prefix.empty() || !strchr(kPathSeparators, prefix.back()))
        prefix += '/';
    for (const std::string &name : names) {
        std::string member = memberPath.empty() ? name : memberPath + "/" + name;
        if (!AddEntry(walk, prefix + name, member, false))
            return false;
    }
    return true;
}

// The last component of a path, and whether only the contents are meant.
static std::string BaseName(const std::string &path, bool *contentsOnly)
{
    auto separator = [](char c) { return c && strchr(kPathSeparators, c); };
    *contentsOnly = path.empty() || separator(path.back());
    std::string trimmed = path;
    while (trimmed.size() > 1 && separator(trimmed.back()))
        trimmed.pop_back();
    size_t slash = trimmed.find_last_of(kPathSeparators);
    std::string base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (base == "." || base == ".." || base.empty())
        *contentsOnly = true;
    return base;
}

bool CollectMembers(const std::vector<std::string> &paths, std::vector<MemberSource> *members,
                    std::string *error)
{
    WalkState walk;
    walk.members = members;
    walk.error = error;
    members->clear();
    for (const std::string &path : paths) {
        bool contentsOnly;
        std::string base = BaseName(path, &contentsOnly);
        PathStatus st;
        std::string why;
        if (!QueryPath(path, &st, &why))
            return Fail(&walk, "cannot read " + path + ": " + why);
        if (contentsOnly && !st.isDirectory)
            return Fail(&walk, path + " is not a directory");
        if (!AddEntry(&walk, path, base, contentsOnly))
            return false;
    }
    if (members->empty())
        return Fail(&walk, "nothing to put into the archive");
    return true;
}
