// Groups as directories, items as desktop entry files; an index in memory
// finds names, and changes reach the disk in batches.
#include "store.h"

#include "flusher.h"
#include "folders.h"
#include "logfile.h"

#include "platform/posix/machine.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Spares kept for reuse: more than an upgrade has in hand at once.
constexpr size_t kSpareLimit = 64;
unsigned scratchCounter = 0;

std::string Scratch(const char *kind) {
    static const std::string pid = std::to_string(getpid());
    return std::string(".") + kind + "-" + pid + "-" + std::to_string(++scratchCounter);
}

std::string BaseName(const std::string &path) { return path.substr(path.find_last_of('/') + 1); }

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

bool Refuse(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

// Lets go of the spares kept in the folder prefix names (ending in '/').
void ForgetSpares(std::map<std::string, std::string> &spares, const std::string &prefix) {
    auto spare = spares.lower_bound(prefix);
    while (spare != spares.end() && spare->first.compare(0, prefix.size(), prefix) == 0) spare = spares.erase(spare);
}

// The items read, as their files describe them; a file that is no desktop
// entry is an item of its name alone.
std::vector<ProgramItem> StoredItems(const std::vector<DiskEntry> &files) {
    std::vector<ProgramItem> items;
    for (const DiskEntry &f : files) {
        if (!f.read) continue;  // gone, or unreadable
        ProgramItem &item = items.emplace_back();
        if (!ParseDesktopEntry(f.text, &item)) item = ProgramItem{f.name, "", "", 0};
        item.name = f.name;
    }
    return items;
}

}  // namespace

void RemoveTree(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::string::size_type slash = p.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    UniqueFd at(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at.get() >= 0) RemoveTreeAt(at.get(), p.substr(slash + 1));
}

const char *ScopeName(int scope) { return scope == SCOPE_COMMON ? "Common" : "Personal"; }

std::string ScopeDir(const std::string &root, int scope) { return root + "/" + ScopeName(scope); }

bool StoreNameAllowed(const std::string &name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return EncodeFileName(name).size() + std::strlen(kItemSuffix) <= 255;
}

bool GroupStore::Open(std::string *error, std::vector<std::string> *passedOver) {
    for (int scope : {SCOPE_PERSONAL, SCOPE_COMMON}) {
        std::string problem, dir = PrivateDirUnder(root_, ScopeName(scope), &problem);
        if (dir.empty()) return Refuse(error, problem);
        UniqueFd fd(OpenDirAt(AT_FDCWD, dir));
        errno = 0;
        if (fd.get() < 0) return Fail(error, "cannot open " + dir);
        ClearLeftovers(fd.get());  // groups being deleted
        ReadIndex(scope, fd.get(), passedOver);
    }
    return true;
}

void GroupStore::ReadIndex(int scope, int scopeFd, std::vector<std::string> *passedOver) {
    scopes_[scope].clear();
    for (const DiskEntry &g : ListEntries(scopeFd, ScopeDir(root_, scope), LIST_FOLDERS, passedOver))
        ReadGroup(scope, g, passedOver);
}

// Takes a group folder into the index; null when it cannot be used. It is
// made private before it counts; its items are read when a command first
// meets the group (Load), so that a server with many items starts at once.
GroupStore::Group *GroupStore::ReadGroup(int scope, const DiskEntry &folder, std::vector<std::string> *passedOver) {
    std::string dir = ScopeDir(root_, scope), problem;
    if (PrivateDirUnder(dir, folder.file, &problem).empty()) {
        if (passedOver != nullptr) passedOver->push_back(problem.empty() ? dir + "/" + folder.file : problem);
        return nullptr;
    }
    std::vector<Group> &same = scopes_[scope][Fold(folder.name)];
    same.push_back(Group{{folder.name, folder.file}, {}, false});
    return &same.back();
}

// Reads g's items into the index the first time it is met, clearing the
// half-written items an interrupted change left in its folder. A folder that
// cannot be opened now has no items; the command on it finds out why.
GroupStore::Group *GroupStore::Load(int scope, Group *g) {
    if (g == nullptr || g->loaded) return g;
    std::string dir = ScopeDir(root_, scope) + "/" + g->entry.file;
    UniqueFd fd(OpenDirAt(AT_FDCWD, dir));
    if (fd.get() < 0) {
        g->loaded = true;
        return g;
    }
    ListItems(g, fd.get(), dir, LIST_ITEMS);
    return g;
}

// The items in g's folder (open as fd), listed as kind asks; the first time,
// they are also read into the index, and the folder cleared of leftovers.
std::vector<DiskEntry> GroupStore::ListItems(Group *g, int fd, const std::string &dir, ListKind kind) {
    if (g->loaded) return ListEntries(fd, dir, kind, nullptr);
    g->loaded = true;
    ClearLeftovers(fd);
    std::vector<DiskEntry> items = ListEntries(fd, dir, kind, &passedOver_);
    for (const DiskEntry &i : items) g->items[Fold(i.name)].push_back({i.name, i.file});
    return items;
}

std::vector<std::string> GroupStore::TakePassedOver() {
    std::vector<std::string> taken;
    taken.swap(passedOver_);
    return taken;
}

// As Find, with the group's items read into the index.
GroupStore::Group *GroupStore::Present(int scope, const std::string &name, std::string *error) {
    return Load(scope, Find(scope, name, error));
}

// The group of name as the files have it now, at the cost of one lstat when
// the index holds the name: a folder removed by hand takes its group out of
// the index, and a folder of ours made under name's file name comes in. Null
// when there is none; null with *error when the folder is not one of ours.
// Its items may be still unread.
GroupStore::Group *GroupStore::Find(int scope, const std::string &name, std::string *error) {
    error->clear();
    for (;;) {
        auto it = scopes_[scope].find(Fold(name));
        if (it == scopes_[scope].end()) return Adopt(scope, name);
        Group &g = it->second.front();
        bool gone = false;
        std::string dir = ScopeDir(root_, scope) + "/" + g.entry.file;
        struct stat st {};
        std::string problem = FolderProblem(dir, &gone, &st);
        if (!gone) {
            *error = problem;
            if (problem.empty()) NoteChecked(dir, st);
            return problem.empty() ? &g : nullptr;
        }
        Forget(scope, &g);
    }
}

// A folder of ours under name's file name, made since the index was read,
// taken into the index; null when there is none. Anything else in its place
// is no group, as it would be to a new server.
GroupStore::Group *GroupStore::Adopt(int scope, const std::string &name) {
    if (!StoreNameAllowed(name)) return nullptr;
    std::string dir = ScopeDir(root_, scope);
    DiskEntry folder{name, EncodeFileName(name)};
    if (!FolderProblem(dir + "/" + folder.file).empty()) return nullptr;
    return ReadGroup(scope, folder, nullptr);
}

GroupStore::~GroupStore() { LetGoOfGroup(); }

void GroupStore::LetGoOfGroup() {
    if (held_.fd >= 0) close(held_.fd);
    held_ = HeldGroup{};
}

// Takes a group whose folder is gone out of the index, with its spares; g is then no more.
void GroupStore::Forget(int scope, const Group *g) {
    LetGoOfGroup();
    ForgetSpares(spares_, ScopeDir(root_, scope) + "/" + g->entry.file + "/");
    auto it = scopes_[scope].find(Fold(g->entry.name));
    std::vector<Group> &same = it->second;
    same.erase(same.begin() + (g - same.data()));
    if (same.empty()) scopes_[scope].erase(it);
}

// The group of exactly that stored spelling: one that was deleted, or deleted
// and made again in another spelling, is gone for whoever still holds it.
GroupStore::Group *GroupStore::Locate(int scope, const std::string &stored) {
    auto it = scopes_[scope].find(Fold(stored));
    if (it == scopes_[scope].end()) return nullptr;
    for (Group &g : it->second)
        if (g.entry.name == stored) return Load(scope, &g);
    return nullptr;
}

namespace {

// How long a group command's look at the held folder's path stands for the item
// command after it: an upgrade sends them in pairs, a fraction of a millisecond
// apart, and the path is looked at again past this.
constexpr int64_t kCheckStandsUs = 2000;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void GroupStore::NoteChecked(const std::string &dir, const struct stat &st) {
    if (held_.fd >= 0 && held_.dir == dir && st.st_dev == held_.dev && st.st_ino == held_.ino) held_.checkedUs = NowUs();
}

// Whether a group command just found the held folder's path naming it; good once.
bool GroupStore::JustChecked() {
    bool fresh = held_.checkedUs != 0 && NowUs() - held_.checkedUs < kCheckStandsUs;
    held_.checkedUs = 0;
    return fresh;
}

// The folder of g, opened without following a symlink and checked to be ours:
// every item of the group is reached through it. The store keeps it open
// (the store's, not the caller's to close) while its path still names that
// same folder, which costs one lstat where opening and checking it cost three
// calls (none just after a group command found it): an upgrade meets the same
// group command after command. -1 with *error otherwise; a folder removed by
// hand takes g out of the index (g is then no more).
int GroupStore::OpenGroup(int scope, Group *g, std::string *dir, std::string *error) {
    *dir = ScopeDir(root_, scope) + "/" + g->entry.file;
    struct stat st {};
    if (held_.fd >= 0 && held_.dir == *dir &&
        (JustChecked() || (lstat(dir->c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == OurUid() &&
                           st.st_dev == held_.dev && st.st_ino == held_.ino)))
        return held_.fd;
    LetGoOfGroup();
    int fd = OpenDirAt(AT_FDCWD, *dir);
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == OurUid()) {
        held_ = HeldGroup{*dir, fd, st.st_dev, st.st_ino};
        return fd;
    }
    if (fd >= 0) close(fd);
    bool gone = false;
    std::string problem = FolderProblem(*dir, &gone);
    *error = gone ? "group " + g->entry.name + " is gone" : problem.empty() ? "cannot open " + *dir : problem;
    if (gone) Forget(scope, g);
    return -1;
}

bool GroupStore::FindGroup(int scope, const std::string &name, std::string *stored) const {
    auto it = scopes_[scope].find(Fold(name));
    if (it == scopes_[scope].end() || it->second.empty()) return false;
    *stored = it->second.front().entry.name;
    return true;
}

bool GroupStore::LookUpGroup(int scope, const std::string &name, std::string *stored, std::string *error) {
    Group *g = Present(scope, name, error);
    if (g != nullptr) *stored = g->entry.name;
    return g != nullptr;
}

bool GroupStore::DescribeGroup(int scope, const std::string &name, StoredGroup *group, std::string *error) {
    Group *g = Find(scope, name, error);
    std::string dir;
    int fd = g == nullptr ? -1 : OpenGroup(scope, g, &dir, error);
    if (fd < 0) return false;
    // Unread, the group is read into the index here and now: its items are
    // listed once for both, as a backup asks for a group just before its
    // first command.
    *group = StoredGroup{g->entry.name, StoredItems(ListItems(g, fd, dir, READ_ITEMS))};
    return true;
}

bool GroupStore::CreateGroup(int scope, const std::string &name, std::string *stored, std::string *error) {
    if (LookUpGroup(scope, name, stored, error)) return true;
    if (!error->empty()) return false;
    errno = 0;
    if (!StoreNameAllowed(name)) return Fail(error, "group name not allowed");
    std::string dir = ScopeDir(root_, scope), file = EncodeFileName(name);
    if (mkdir((dir + "/" + file).c_str(), 0700) != 0) {
        // Say why when the folder in the way is a symlink or someone else's.
        std::string problem = errno == EEXIST ? FolderProblem(dir + "/" + file) : std::string();
        return problem.empty() ? Fail(error, "cannot create group") : Refuse(error, problem);
    }
    unsyncedDirs_.insert(dir);
    scopes_[scope][Fold(name)].push_back(Group{{name, file}, {}, true});
    *stored = name;
    return true;
}

// A group whose folder was removed by hand is gone: deleting it is refused, as
// for any group that is not there.
bool GroupStore::DeleteGroup(int scope, const std::string &name, std::string *error) {
    if (Present(scope, name, error) == nullptr) return error->empty() ? Refuse(error, "no group " + name) : false;
    errno = 0;
    std::string dir = ScopeDir(root_, scope);
    auto it = scopes_[scope].find(Fold(name));
    for (const Group &g : it->second) {  // never renamed away and walked: it could lead out of the machine
        bool gone = false;
        std::string problem = FolderProblem(dir + "/" + g.entry.file, &gone);
        if (!problem.empty() && !gone) return Refuse(error, problem);
    }
    LetGoOfGroup();
    while (!it->second.empty()) {
        // The rename makes the deletion whole at once; the files go afterwards.
        std::string doomed = dir + "/" + Scratch("deleted");
        bool renamed = rename((dir + "/" + it->second.back().entry.file).c_str(), doomed.c_str()) == 0;
        if (!renamed && errno != ENOENT) return Fail(error, "cannot delete group");
        unsyncedDirs_.insert(dir);
        ForgetSpares(spares_, dir + "/" + it->second.back().entry.file + "/");  // its spares go with it
        it->second.pop_back();
        if (renamed) RemoveTree(doomed);
    }
    scopes_[scope].erase(it);
    return true;
}

// Whether the spare name in dirfd is our own file, linked nowhere else (a
// deleted item made by hand may be), holding exactly content.
bool SpareHolds(int dirfd, const std::string &name, const std::string &content) {
    int fd = openat(dirfd, name.c_str(), O_RDONLY | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    bool same = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                st.st_uid == OurUid() && (st.st_mode & 07777) == 0600 &&
                st.st_size == static_cast<off_t>(content.size());
    std::string text(content.size(), '\0');
    same = same && pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) && text == content;
    if (fd >= 0) close(fd);
    return same;
}

// Puts content in place as dir/file: the item's spare when it holds content
// already, else a new temporary file whose data is synced before the rename.
// The directory's flush waits for the next batch.
bool GroupStore::WriteItem(int dirfd, const std::string &dir, const std::string &file, const std::string &content,
                           std::string *error) {
    if (auto spare = spares_.find(dir + "/" + Fold(file)); spare != spares_.end()) {
        std::string path = std::move(spare->second);
        spares_.erase(spare);
        if (SpareHolds(dirfd, BaseName(path), content) &&
            renameat(dirfd, BaseName(path).c_str(), dirfd, file.c_str()) == 0) {  // nothing written, nothing to sync
            unsyncedDirs_.insert(dir);
            return true;
        }
        doomed_.push_back(path);
    }
    std::string temp = Scratch("tmp");
    int fd = openat(dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Fail(error, "cannot create " + dir + "/" + temp);
    bool ok = WriteAll(fd, content) == content.size() && syncData(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || renameat(dirfd, temp.c_str(), dirfd, file.c_str()) != 0) {
        Fail(error, "cannot write " + dir + "/" + file);
        unlinkat(dirfd, temp.c_str(), 0);
        return false;
    }
    unsyncedDirs_.insert(dir);
    return true;
}

// Takes dir/file out of its name into a hidden spare, kept to be given back
// when the item of that name is added again unchanged.
bool GroupStore::Retire(int dirfd, const std::string &dir, const std::string &file) {
    std::string spare = dir + "/" + Scratch("deleted");
    if (renameat(dirfd, file.c_str(), dirfd, BaseName(spare).c_str()) != 0) return errno == ENOENT;
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
    std::string dir, file = EncodeFileName(item.name) + kItemSuffix;
    int fd = OpenGroup(scope, g, &dir, error);
    if (fd < 0) return false;
    if (!WriteItem(fd, dir, file, FormatDesktopEntry(item), error)) {
        LetGoOfGroup();  // in case the folder held is no longer the one its path names
        return false;
    }
    std::vector<Entry> &same = g->items[Fold(item.name)];
    for (const Entry &e : same)
        if (e.file != file) Retire(fd, dir, e.file);
    same.assign(1, Entry{item.name, file});
    return true;
}

bool GroupStore::DeleteItem(int scope, const std::string &group, const std::string &name, std::string *error) {
    errno = 0;
    Group *g = Locate(scope, group);
    if (g == nullptr) return Fail(error, "no item " + name + " in group " + group);
    auto it = g->items.find(Fold(name));
    if (it == g->items.end()) return DeleteMadeByHand(scope, g, name, error);
    std::string dir;
    int fd = OpenGroup(scope, g, &dir, error);
    if (fd < 0) return false;
    for (const Entry &e : it->second)
        if (!Retire(fd, dir, e.file)) {
            LetGoOfGroup();
            return Fail(error, "cannot delete item " + name);
        }
    g->items.erase(it);
    return true;
}

// An item file made by hand since the index was read is found by its name's
// file name, as a new server would find it: one lstat when there is none.
bool GroupStore::DeleteMadeByHand(int scope, Group *g, const std::string &name, std::string *error) {
    std::string dir = ScopeDir(root_, scope) + "/" + g->entry.file, file = EncodeFileName(name) + kItemSuffix;
    struct stat st {};
    bool made = StoreNameAllowed(name) && lstat((dir + "/" + file).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                st.st_uid == OurUid();
    errno = 0;
    if (!made) return Fail(error, "no item " + name + " in group " + g->entry.name);
    int fd = OpenGroup(scope, g, &dir, error);  // the lstat above may have passed through a link
    if (fd < 0) return false;
    return Retire(fd, dir, file) || Fail(error, "cannot delete item " + name);
}

FlushBatch GroupStore::TakeUnsynced(bool allSpares) {
    FlushBatch batch;
    if (allSpares) {
        for (auto &[item, spare] : spares_) doomed_.push_back(std::move(spare));
        spares_.clear();
    }
    batch.doomed.swap(doomed_);
    batch.dirs.assign(unsyncedDirs_.begin(), unsyncedDirs_.end());
    unsyncedDirs_.clear();
    return batch;
}

std::vector<std::string> StoreGroupNames(const std::string &root, int scope) {
    std::vector<std::string> names;
    std::string dir = ScopeDir(root, scope);
    UniqueFd scopeFd(OpenDirAt(AT_FDCWD, dir));
    if (scopeFd.get() < 0) return names;
    for (const DiskEntry &g : ListEntries(scopeFd.get(), dir, LIST_FOLDERS, nullptr)) names.push_back(g.name);
    return names;
}

std::vector<StoredGroup> StoreList(const std::string &root, int scope, std::vector<std::string> *passedOver) {
    std::vector<StoredGroup> groups;
    std::string dir = ScopeDir(root, scope);
    UniqueFd scopeFd(OpenDirAt(AT_FDCWD, dir));
    if (scopeFd.get() < 0) return groups;
    for (const DiskEntry &g : ListEntries(scopeFd.get(), dir, LIST_FOLDERS, passedOver)) {
        UniqueFd fd(OpenDirAt(scopeFd.get(), g.file));
        if (fd.get() >= 0)
            groups.push_back(StoredGroup{g.name, StoredItems(ListEntries(fd.get(), dir + "/" + g.file, READ_ITEMS,
                                                                            passedOver))});
    }
    return groups;
}
