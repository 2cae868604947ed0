// Groups as directories, items as desktop entry files, changes made durable
// before they are reported done.
#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kItemSuffix[] = ".desktop";
unsigned scratchCounter = 0;

std::string Scratch(const char *kind) {
    return std::string(".") + kind + "-" + std::to_string(getpid()) + "-" + std::to_string(++scratchCounter);
}

bool SyncDir(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Entry {
    std::string name;  // decoded
    std::string file;  // as on disk
};

// The named entries of dir: subdirectories, or files with the item suffix.
// Hidden files (ours in progress, or anyone's) are not names.
std::vector<Entry> ListEntries(const std::string &dir, bool directories) {
    std::vector<Entry> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string file = e->d_name;
        if (file.empty() || file[0] == '.') continue;
        struct stat st {};
        if (lstat((dir + "/" + file).c_str(), &st) != 0) continue;
        std::string base = file;
        if (directories) {
            if (!S_ISDIR(st.st_mode)) continue;
        } else {
            if (!S_ISREG(st.st_mode) || !EndsWith(file, kItemSuffix)) continue;
            base = file.substr(0, file.size() - std::strlen(kItemSuffix));
        }
        Entry entry{std::string(), file};
        if (DecodeFileName(base, &entry.name)) out.push_back(entry);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return out;
}

std::vector<Entry> Matching(const std::string &dir, bool directories, const std::string &name) {
    std::vector<Entry> all = ListEntries(dir, directories), same;
    for (const Entry &e : all)
        if (SameItemName(e.name, name)) same.push_back(e);
    return same;
}

bool Fail(std::string *error, const std::string &what) {
    *error = what + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
}

// Writes content to dir/file through a flushed temporary file and a rename.
bool WriteDurably(const std::string &dir, const std::string &file, const std::string &content, std::string *error) {
    std::string temp = dir + "/" + Scratch("tmp");
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return Fail(error, "cannot create " + temp);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == content.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), (dir + "/" + file).c_str()) != 0) {
        Fail(error, "cannot write " + dir + "/" + file);
        unlink(temp.c_str());
        return false;
    }
    return SyncDir(dir) || Fail(error, "cannot flush " + dir);
}

}  // namespace

void RemoveTree(const std::string &path) {
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string child = path + "/" + name;
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) RemoveTree(child);
            else unlink(child.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

std::string ScopeDir(const std::string &root, int scope) {
    return root + (scope == SCOPE_COMMON ? "/Common" : "/Personal");
}

bool StoreNameAllowed(const std::string &name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return EncodeFileName(name).size() + std::strlen(kItemSuffix) <= 255;
}

bool StoreOpen(const std::string &root, std::string *error) {
    errno = 0;
    for (int scope : {SCOPE_PERSONAL, SCOPE_COMMON}) {
        std::string dir = ScopeDir(root, scope);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return Fail(error, "cannot create " + dir);
        // Leftovers of a change cut short: half-written items, groups being deleted.
        std::vector<std::string> dirs{dir};
        for (const Entry &g : ListEntries(dir, true)) dirs.push_back(dir + "/" + g.file);
        for (const std::string &d : dirs) {
            DIR *h = opendir(d.c_str());
            if (h == nullptr) continue;
            std::vector<std::string> stale;
            while (dirent *e = readdir(h)) {
                std::string n = e->d_name;
                if (n.rfind(".tmp-", 0) == 0 || n.rfind(".deleted-", 0) == 0) stale.push_back(d + "/" + n);
            }
            closedir(h);
            for (const std::string &s : stale)
                if (unlink(s.c_str()) != 0) RemoveTree(s);
        }
    }
    return true;
}

bool StoreFindGroup(const std::string &root, int scope, const std::string &name, std::string *stored) {
    std::vector<Entry> same = Matching(ScopeDir(root, scope), true, name);
    if (same.empty()) return false;
    *stored = same.front().name;
    return true;
}

bool StoreCreateGroup(const std::string &root, int scope, const std::string &name, std::string *stored,
                      std::string *error) {
    errno = 0;
    if (StoreFindGroup(root, scope, name, stored)) return true;
    if (!StoreNameAllowed(name)) return Fail(error, "group name not allowed");
    std::string dir = ScopeDir(root, scope);
    if (mkdir((dir + "/" + EncodeFileName(name)).c_str(), 0700) != 0) return Fail(error, "cannot create group");
    if (!SyncDir(dir)) return Fail(error, "cannot flush " + dir);
    *stored = name;
    return true;
}

bool StoreDeleteGroup(const std::string &root, int scope, const std::string &name, std::string *error) {
    errno = 0;
    std::string dir = ScopeDir(root, scope);
    std::vector<Entry> same = Matching(dir, true, name);
    if (same.empty()) return Fail(error, "no group " + name);
    for (const Entry &g : same) {
        // The rename makes the deletion whole at once; the files go afterwards.
        std::string doomed = dir + "/" + Scratch("deleted");
        if (rename((dir + "/" + g.file).c_str(), doomed.c_str()) != 0) return Fail(error, "cannot delete group");
        if (!SyncDir(dir)) return Fail(error, "cannot flush " + dir);
        RemoveTree(doomed);
    }
    return true;
}

bool StorePutItem(const std::string &root, int scope, const std::string &group, const ProgramItem &item,
                  std::string *error) {
    errno = 0;
    if (!StoreNameAllowed(item.name)) return Fail(error, "item name not allowed");
    std::string dir = ScopeDir(root, scope) + "/" + EncodeFileName(group);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(error, "group " + group + " is gone");
    std::string file = EncodeFileName(item.name) + kItemSuffix;
    std::vector<Entry> old = Matching(dir, false, item.name);
    if (!WriteDurably(dir, file, FormatDesktopEntry(item), error)) return false;
    bool removed = false;
    for (const Entry &e : old)
        if (e.file != file) removed = unlink((dir + "/" + e.file).c_str()) == 0 || removed;
    return !removed || SyncDir(dir) || Fail(error, "cannot flush " + dir);
}

bool StoreDeleteItem(const std::string &root, int scope, const std::string &group, const std::string &name,
                     std::string *error) {
    errno = 0;
    std::string dir = ScopeDir(root, scope) + "/" + EncodeFileName(group);
    std::vector<Entry> same = Matching(dir, false, name);
    if (same.empty()) return Fail(error, "no item " + name + " in group " + group);
    for (const Entry &e : same)
        if (unlink((dir + "/" + e.file).c_str()) != 0) return Fail(error, "cannot delete item " + name);
    return SyncDir(dir) || Fail(error, "cannot flush " + dir);
}

std::vector<StoredGroup> StoreList(const std::string &root, int scope) {
    std::vector<StoredGroup> groups;
    std::string dir = ScopeDir(root, scope);
    for (const Entry &g : ListEntries(dir, true)) {
        StoredGroup group{g.name, {}};
        for (const Entry &i : ListEntries(dir + "/" + g.file, false)) {
            std::ifstream in(dir + "/" + g.file + "/" + i.file);
            std::stringstream text;
            text << in.rdbuf();
            ProgramItem item;
            if (!ParseDesktopEntry(text.str(), &item)) item = ProgramItem{i.name, "", "", 0};
            item.name = i.name;
            group.items.push_back(item);
        }
        groups.push_back(group);
    }
    return groups;
}
