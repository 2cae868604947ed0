// The Program Manager's groups and items on disk: <root>/Common/<group>/ and
// <root>/Personal/<group>/, one desktop entry per item. Names are stored
// case-preserving and found case-insensitively.
//
// The files are the truth; a GroupStore reads them once and keeps an index in
// memory, so that finding a name never lists a directory. What a person changes
// by hand meanwhile is followed where a command meets it: a group folder
// removed is no group (CreateGroup makes it again), and a group folder or item
// file made under the file name of the name asked for is found. A change is in
// place (written to a temporary file and renamed, so that a reader never sees
// half an item) when its call returns true. A written item's data is on the
// disk before its rename, so that a power cut leaves an item file old or new,
// never one whose name reached the disk before its bytes; the directories
// follow in the next flush, which takes every change since the last one
// together.
//
// A deleted item's file is renamed to a hidden spare rather than unlinked. An
// upgrade deletes and re-adds every item, mostly unchanged: the spare of an
// item added again with the same content is renamed back, which writes and
// syncs nothing, where making and freeing an inode and its blocks costs far
// more (some file systems scan past every recently freed inode, or discard
// freed blocks at once). A spare is never written over: its old name may still
// be the one on the disk. Spares past a few, and all of them at the end, are
// unlinked by whoever flushes.
#pragma once

#include "desktop.h"
#include "flusher.h"
#include "folders.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

enum GroupScope { SCOPE_PERSONAL = 0, SCOPE_COMMON = 1 };

// The name of a scope's directory ("Personal", "Common"), and its path under root.
const char *ScopeName(int scope);
std::string ScopeDir(const std::string &root, int scope);

struct StoredGroup {
    std::string name;
    std::vector<ProgramItem> items;  // sorted by name, case-insensitively
};

class GroupStore {
public:
    explicit GroupStore(std::string root) : root_(std::move(root)) {}
    ~GroupStore();
    GroupStore(const GroupStore &) = delete;
    GroupStore &operator=(const GroupStore &) = delete;

    // Makes the scope directories private, clears what an interrupted change
    // left behind (groups half deleted) and reads the index of groups; a
    // group's items are read when a command first meets it, and what an
    // interrupted change left in its folder is cleared then. Symlinks and
    // someone else's folders or files are no groups or items: each group is
    // told in *passedOver when given, each item by TakePassedOver.
    bool Open(std::string *error, std::vector<std::string> *passedOver = nullptr);
    // The items passed over since the last call, as their groups were read.
    std::vector<std::string> TakePassedOver();

    // The stored spelling of a group the index holds, found case-insensitively; false when none.
    bool FindGroup(int scope, const std::string &name, std::string *stored) const;
    // As FindGroup, for a group whose folder is there now; false with *error
    // when its folder is not a folder of ours, with it empty when there is none.
    bool LookUpGroup(int scope, const std::string &name, std::string *stored, std::string *error);
    // The group of name (found case-insensitively) as its folder has it now,
    // items read from their files and sorted as StoreList sorts them; false as
    // LookUpGroup is false.
    bool DescribeGroup(int scope, const std::string &name, StoredGroup *group, std::string *error);
    // Creates a group unless one of that name exists; *stored is its spelling.
    bool CreateGroup(int scope, const std::string &name, std::string *stored, std::string *error);
    // Deletes a group with its items; false when there is none. A group folder
    // that became a symlink or someone else's is refused, here and below.
    bool DeleteGroup(int scope, const std::string &name, std::string *error);
    // Writes an item into a group (its stored spelling), replacing an item of
    // the same name in any case. A group whose folder was removed is gone.
    bool PutItem(int scope, const std::string &group, const ProgramItem &item, std::string *error);
    // Deletes an item; false when the group has none of that name.
    bool DeleteItem(int scope, const std::string &group, const std::string &name, std::string *error);

    // The changes made since the last call, to be flushed together: the
    // directories changed, and the spares let go (all of them when allSpares).
    FlushBatch TakeUnsynced(bool allSpares);

    // Makes a written item's data durable before its rename (fdatasync; tests
    // watch the order through it). Nonzero fails the write.
    std::function<int(int fd)> syncData = [](int fd) { return fdatasync(fd); };

private:
    struct Entry {
        std::string name;  // decoded, as stored
        std::string file;  // as on disk
    };
    struct Group {
        Entry entry;
        std::map<std::string, std::vector<Entry>> items;  // by folded name
        bool loaded;  // items read from the folder
    };
    using Scope = std::map<std::string, std::vector<Group>>;  // by folded name

    Group *Locate(int scope, const std::string &stored);
    Group *Present(int scope, const std::string &name, std::string *error);
    Group *Find(int scope, const std::string &name, std::string *error);
    std::vector<DiskEntry> ListItems(Group *g, int fd, const std::string &dir, ListKind kind);
    Group *Adopt(int scope, const std::string &name);
    Group *ReadGroup(int scope, const DiskEntry &folder, std::vector<std::string> *passedOver);
    Group *Load(int scope, Group *g);
    void Forget(int scope, const Group *g);
    bool DeleteMadeByHand(int scope, Group *g, const std::string &name, std::string *error);
    void ReadIndex(int scope, int scopeFd, std::vector<std::string> *passedOver);
    int OpenGroup(int scope, Group *g, std::string *dir, std::string *error);
    void LetGoOfGroup();
    bool WriteItem(int dirfd, const std::string &dir, const std::string &file, const std::string &content,
                   std::string *error);
    bool Retire(int dirfd, const std::string &dir, const std::string &file);

    std::string root_;
    Scope scopes_[2];
    std::set<std::string> unsyncedDirs_;  // directories changed since the last TakeUnsynced
    std::map<std::string, std::string> spares_;  // hidden files of deleted items, by dir/folded file
    std::vector<std::string> doomed_;            // spares let go, to be unlinked
    std::vector<std::string> passedOver_;        // items passed over as groups were read
    struct HeldGroup {
        std::string dir;  // the folder's path
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        int64_t checkedUs = 0;  // when a group command last found its path naming it; 0: not since
    } held_;  // the group folder last opened, kept open while its path names it
    void NoteChecked(const std::string &dir, const struct stat &st);
    bool JustChecked();
};

// A scope's groups as the files have them, sorted by name case-insensitively;
// symlinks and someone else's entries are passed over (told in *passedOver).
std::vector<StoredGroup> StoreList(const std::string &root, int scope, std::vector<std::string> *passedOver = nullptr);

// The names of a scope's groups, as StoreList has them, without reading their items.
std::vector<std::string> StoreGroupNames(const std::string &root, int scope);

// Whether a name can be a group or item name: not empty, no control
// characters, short enough for a file name.
bool StoreNameAllowed(const std::string &name);

// Removes a directory tree through descriptors: path's last component and
// everything below it are never followed when they are symlinks.
void RemoveTree(const std::string &path);
