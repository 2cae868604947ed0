// The Program Manager's groups and items on disk: <root>/Common/<group>/ and
// <root>/Personal/<group>/, one desktop entry per item. Names are stored
// case-preserving and found case-insensitively. Every change is on disk
// (written to a temporary file, flushed, renamed, directory flushed) when the
// call returns true.
#pragma once

#include "desktop.h"

#include <string>
#include <vector>

enum GroupScope { SCOPE_PERSONAL = 0, SCOPE_COMMON = 1 };

// The directory of a scope's groups.
std::string ScopeDir(const std::string &root, int scope);

// Makes the scope directories and clears what an interrupted change left
// behind (temporary files, groups half deleted).
bool StoreOpen(const std::string &root, std::string *error);

// The stored spelling of a group, found case-insensitively; false when none.
bool StoreFindGroup(const std::string &root, int scope, const std::string &name, std::string *stored);

// Creates a group unless one of that name exists; *stored is its spelling.
bool StoreCreateGroup(const std::string &root, int scope, const std::string &name, std::string *stored,
                      std::string *error);

// Deletes a group with its items; false when there is none.
bool StoreDeleteGroup(const std::string &root, int scope, const std::string &name, std::string *error);

// Writes an item into a group, replacing an item of the same name in any case.
bool StorePutItem(const std::string &root, int scope, const std::string &group, const ProgramItem &item,
                  std::string *error);

// Deletes an item; false when the group has none of that name.
bool StoreDeleteItem(const std::string &root, int scope, const std::string &group, const std::string &name,
                     std::string *error);

struct StoredGroup {
    std::string name;
    std::vector<ProgramItem> items;  // sorted by name, case-insensitively
};

// A scope's groups, sorted by name case-insensitively.
std::vector<StoredGroup> StoreList(const std::string &root, int scope);

// Whether a name can be a group or item name: not empty, no control
// characters, short enough for a file name.
bool StoreNameAllowed(const std::string &name);

// Removes a directory tree without following symbolic links.
void RemoveTree(const std::string &path);
