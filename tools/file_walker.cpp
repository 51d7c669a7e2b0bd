// Gathering the members of a new archive. The order must not depend on the
// file system's own order of directory entries, so that the same tree gives
// the same archive on any machine.
#include "tools/file_walker.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

struct WalkState {
    std::vector<MemberSource> *members;
    std::set<std::pair<dev_t, ino_t>> openDirectories; // the directories being walked, for loops
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
    struct stat st;
    if (stat(sourcePath.c_str(), &st) != 0)
        return Fail(walk, "cannot read " + sourcePath + ": " + strerror(errno));
    if (S_ISDIR(st.st_mode)) {
        if (!contentsOnly) {
            if (!TakeName(walk, memberPath))
                return false;
            walk->members->push_back({sourcePath, memberPath, true, (st.st_mode & S_IWUSR) == 0,
                                      (int64_t)st.st_mtime, 0});
        }
        auto key = std::make_pair(st.st_dev, st.st_ino);
        if (!walk->openDirectories.insert(key).second)
            return Fail(walk, sourcePath + " leads back into a directory above it");
        bool ok = Walk(walk, sourcePath, contentsOnly ? std::string() : memberPath);
        walk->openDirectories.erase(key);
        return ok;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "corvane-sfx: skipping %s: not a file or directory\n", sourcePath.c_str());
        return true;
    }
    if (!TakeName(walk, memberPath))
        return false;
    walk->members->push_back({sourcePath, memberPath, false, (st.st_mode & S_IWUSR) == 0,
                              (int64_t)st.st_mtime, (uint64_t)st.st_size});
    return true;
}

// The entries of one directory, sorted by the bytes of their names.
static bool Walk(WalkState *walk, const std::string &sourcePath, const std::string &memberPath)
{
    DIR *dir = opendir(sourcePath.c_str());
    if (!dir)
        return Fail(walk, "cannot read " + sourcePath + ": " + strerror(errno));
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::string prefix = sourcePath;
    if (prefix.empty() || prefix.back() != '/')
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
    *contentsOnly = path.empty() || path.back() == '/';
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    std::string base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (base == "." || base == ".." || base.empty() || base == "/")
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
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return Fail(&walk, "cannot read " + path + ": " + strerror(errno));
        if (contentsOnly && !S_ISDIR(st.st_mode))
            return Fail(&walk, path + " is not a directory");
        if (!AddEntry(&walk, path, base, contentsOnly))
            return false;
    }
    if (members->empty())
        return Fail(&walk, "nothing to put into the archive");
    return true;
}
