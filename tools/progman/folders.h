// The Program Manager's directories, reached through descriptors: listing a
// group or scope, removing a tree, reading an item. No symlink is followed and
// no one else's entry is taken for ours.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

// Owns a descriptor; closes it at the end of the scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The effective user, asked once: the server never changes it, and it is
// compared on every item command.
unsigned OurUid();

// Opens name (relative to the directory at, or AT_FDCWD) as a directory, never
// through a final symlink; -1 otherwise.
int OpenDirAt(int at, const std::string &name);

// Why path is no folder of ours (a symlink, not a directory, someone else's); empty when it is one.
// *gone, when given, tells that nothing is there at all; *seen, what lstat found.
std::string FolderProblem(const std::string &path, bool *gone = nullptr, struct stat *seen = nullptr);

struct DiskEntry {
    std::string name;   // decoded
    std::string file;   // as on disk
    bool read = false;  // text holds the file's content (READ_ITEMS)
    std::string text{};
};

enum ListKind {
    LIST_FOLDERS,
    LIST_ITEMS,
    READ_ITEMS,  // items, each read too where it can be (a file made unreadable by hand is listed unread)
};

// The named entries of the directory open as dirfd (shown as dir): its
// subdirectories, or its regular files with the item suffix, sorted by name
// case-insensitively. Hidden files are no names; nor are symlinks or someone
// else's entries, each told in *passedOver when given.
std::vector<DiskEntry> ListEntries(int dirfd, const std::string &dir, ListKind kind,
                                   std::vector<std::string> *passedOver);

// The item suffix of file names.
extern const char kItemSuffix[];

// Removes what an interrupted change left in the directory open as dirfd:
// temporary files and groups or items being deleted.
void ClearLeftovers(int dirfd);

// Removes name, in the directory open as at, with everything below it: a
// symlink is removed, never followed, so nothing outside the tree is touched.
void RemoveTreeAt(int at, const std::string &name);
