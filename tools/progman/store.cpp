// Groups as directories, items as desktop entry files; an index in memory
// finds names, and changes reach the disk in batches.
#include "store.h"

#include "flusher.h"
#include "logfile.h"

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
// Spares kept for reuse: more than an upgrade has in hand at once.
constexpr size_t kSpareLimit = 64;
unsigned scratchCounter = 0;

std::string Scratch(const char *kind) {
    static const std::string pid = std::to_string(getpid());
    return std::string(".") + kind + "-" + pid + "-" + std::to_string(++scratchCounter);
}

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct DiskEntry {
    std::string name;  // decoded
    std::string file;  // as on disk
};

// The named entries of dir: subdirectories, or files with the item suffix.
// Hidden files (ours in progress, or anyone's) are not names.
std::vector<DiskEntry> ListEntries(const std::string &dir, bool directories) {
    std::vector<DiskEntry> out;
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
        DiskEntry entry{std::string(), file};
        if (DecodeFileName(base, &entry.name)) out.push_back(entry);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const DiskEntry &a, const DiskEntry &b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return out;
}

// The index key of a name: names compare as SameItemName does.
std::string Fold(const std::string &name) {
    std::string key = name;
    for (char &c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}


bool Fail(std::string *error, const std::string &what) {
    *error = what + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
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

bool GroupStore::Open(std::string *error) {
    errno = 0;
    for (int scope : {SCOPE_PERSONAL, SCOPE_COMMON}) {
        std::string dir = ScopeDir(root_, scope);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return Fail(error, "cannot create " + dir);
        // Leftovers of a change cut short: half-written items, groups being deleted.
        std::vector<std::string> dirs{dir};
        for (const DiskEntry &g : ListEntries(dir, true)) dirs.push_back(dir + "/" + g.file);
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
        ReadIndex(scope);
    }
    return true;
}

void GroupStore::ReadIndex(int scope) {
    Scope &index = scopes_[scope];
    index.clear();
    std::string dir = ScopeDir(root_, scope);
    for (const DiskEntry &g : ListEntries(dir, true)) {
        Group group{{g.name, g.file}, {}};
        for (const DiskEntry &i : ListEntries(dir + "/" + g.file, false))
            group.items[Fold(i.name)].push_back({i.name, i.file});
        index[Fold(g.name)].push_back(group);
    }
}

// The group of exactly that stored spelling: one that was deleted, or deleted
// and made again in another spelling, is gone for whoever still holds it.
GroupStore::Group *GroupStore::Locate(int scope, const std::string &stored) {
    auto it = scopes_[scope].find(Fold(stored));
    if (it == scopes_[scope].end()) return nullptr;
    for (Group &g : it->second)
        if (g.entry.name == stored) return &g;
    return nullptr;
}

bool GroupStore::FindGroup(int scope, const std::string &name, std::string *stored) const {
    auto it = scopes_[scope].find(Fold(name));
    if (it == scopes_[scope].end() || it->second.empty()) return false;
    *stored = it->second.front().entry.name;
    return true;
}

bool GroupStore::CreateGroup(int scope, const std::string &name, std::string *stored, std::string *error) {
    errno = 0;
    if (FindGroup(scope, name, stored)) return true;
    if (!StoreNameAllowed(name)) return Fail(error, "group name not allowed");
    std::string dir = ScopeDir(root_, scope), file = EncodeFileName(name);
    if (mkdir((dir + "/" + file).c_str(), 0700) != 0) return Fail(error, "cannot create group");
    unsyncedDirs_.insert(dir);
    scopes_[scope][Fold(name)].push_back(Group{{name, file}, {}});
    *stored = name;
    return true;
}

bool GroupStore::DeleteGroup(int scope, const std::string &name, std::string *error) {
    errno = 0;
    std::string dir = ScopeDir(root_, scope);
    auto it = scopes_[scope].find(Fold(name));
    if (it == scopes_[scope].end()) return Fail(error, "no group " + name);
    while (!it->second.empty()) {
        // The rename makes the deletion whole at once; the files go afterwards.
        std::string doomed = dir + "/" + Scratch("deleted");
        if (rename((dir + "/" + it->second.back().entry.file).c_str(), doomed.c_str()) != 0)
            return Fail(error, "cannot delete group");
        unsyncedDirs_.insert(dir);
        // Its spares go with it.
        std::string prefix = dir + "/" + it->second.back().entry.file + "/";
        auto spare = spares_.lower_bound(prefix);
        while (spare != spares_.end() && spare->first.compare(0, prefix.size(), prefix) == 0) spare = spares_.erase(spare);
        it->second.pop_back();
        RemoveTree(doomed);
    }
    scopes_[scope].erase(it);
    return true;
}

// A spare to write an item into: our own file, linked nowhere else (a deleted
// item made by hand may be), opened for writing over; -1 when it is not one.
int OpenSpare(const std::string &path, off_t *size) {
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || (st.st_mode & 07777) != 0600)) {
        close(fd);
        fd = -1;
    }
    *size = st.st_size;
    return fd;
}

// Puts content in place as dir/file through a temporary file and a rename; the
// file's flush waits for the next batch. The temporary file is the item's own
// spare when it was just deleted, written over rather than truncated: freeing
// and allocating its blocks would cost more than the write (a discard, on some
// mounts), and until the flush a power loss leaves that item old or new.
bool GroupStore::WriteItem(const std::string &dir, const std::string &file, const std::string &content,
                           std::string *error) {
    std::string temp;
    int fd = -1;
    off_t oldSize = 0;
    if (auto spare = spares_.find(dir + "/" + Fold(file)); spare != spares_.end()) {
        temp = std::move(spare->second);
        spares_.erase(spare);
        if ((fd = OpenSpare(temp, &oldSize)) < 0) doomed_.push_back(temp);
    }
    if (fd < 0) {
        temp = dir + "/" + Scratch("tmp");
        oldSize = 0;
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return Fail(error, "cannot create " + temp);
    }
    size_t done = WriteAll(fd, content);
    bool ok = done == content.size() && (oldSize <= static_cast<off_t>(done) || ftruncate(fd, done) == 0);
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), (dir + "/" + file).c_str()) != 0) {
        Fail(error, "cannot write " + dir + "/" + file);
        unlink(temp.c_str());
        return false;
    }
    unsyncedFiles_.insert(dir + "/" + file);
    unsyncedDirs_.insert(dir);
    return true;
}

// Takes dir/file out of its name into a hidden spare, kept for the item of
// that name to be written into again.
bool GroupStore::Retire(const std::string &dir, const std::string &file) {
    std::string spare = dir + "/" + Scratch("deleted");
    if (rename((dir + "/" + file).c_str(), spare.c_str()) != 0) return errno == ENOENT;
    unsyncedDirs_.insert(dir);
    std::string key = dir + "/" + Fold(file);
    std::string &slot = spares_[key];
    if (!slot.empty()) doomed_.push_back(std::move(slot));
    slot = std::move(spare);
    if (spares_.size() > kSpareLimit) {  // let another one go: this one is the likeliest to be wanted next
        auto other = spares_.begin();
        if (other->first == key) ++other;
        doomed_.push_back(std::move(other->second));
        spares_.erase(other);
    }
    return true;
}

bool GroupStore::PutItem(int scope, const std::string &group, const ProgramItem &item, std::string *error) {
    errno = 0;
    if (!StoreNameAllowed(item.name)) return Fail(error, "item name not allowed");
    Group *g = Locate(scope, group);
    if (g == nullptr) return Fail(error, "group " + group + " is gone");
    std::string dir = ScopeDir(root_, scope) + "/" + g->entry.file;
    std::string file = EncodeFileName(item.name) + kItemSuffix;
    if (!WriteItem(dir, file, FormatDesktopEntry(item), error)) return false;
    std::vector<Entry> &same = g->items[Fold(item.name)];
    for (const Entry &e : same)
        if (e.file != file) Retire(dir, e.file);
    same.assign(1, Entry{item.name, file});
    return true;
}

bool GroupStore::DeleteItem(int scope, const std::string &group, const std::string &name, std::string *error) {
    errno = 0;
    Group *g = Locate(scope, group);
    if (g == nullptr) return Fail(error, "no item " + name + " in group " + group);
    auto it = g->items.find(Fold(name));
    if (it == g->items.end()) return Fail(error, "no item " + name + " in group " + group);
    std::string dir = ScopeDir(root_, scope) + "/" + g->entry.file;
    for (const Entry &e : it->second)
        if (!Retire(dir, e.file)) return Fail(error, "cannot delete item " + name);
    g->items.erase(it);
    return true;
}

FlushBatch GroupStore::TakeUnsynced(bool allSpares) {
    FlushBatch batch;
    if (allSpares) {
        for (auto &[item, spare] : spares_) doomed_.push_back(std::move(spare));
        spares_.clear();
    }
    batch.doomed.swap(doomed_);
    batch.files.assign(unsyncedFiles_.begin(), unsyncedFiles_.end());
    batch.dirs.assign(unsyncedDirs_.begin(), unsyncedDirs_.end());
    unsyncedFiles_.clear();
    unsyncedDirs_.clear();
    return batch;
}

std::vector<StoredGroup> StoreList(const std::string &root, int scope) {
    std::vector<StoredGroup> groups;
    std::string dir = ScopeDir(root, scope);
    for (const DiskEntry &g : ListEntries(dir, true)) {
        StoredGroup group{g.name, {}};
        for (const DiskEntry &i : ListEntries(dir + "/" + g.file, false)) {
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
