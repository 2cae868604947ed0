// Keys and values of one hive by key id, inside the caller's transaction.
// Names are UTF-16; they are stored as given and looked up by their folded form.
#pragma once

#include "platform/posix/registry/hive.h"

#include <string>
#include <vector>

struct StoredValue {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;  // the bytes as set
};

// ERROR_SUCCESS when the key exists, ERROR_KEY_DELETED when it is gone.
LSTATUS KeyAlive(sqlite3 *db, int64_t key);
// The child of parent with that name: ERROR_SUCCESS with *child, or ERROR_FILE_NOT_FOUND.
LSTATUS FindSubkey(sqlite3 *db, int64_t parent, const std::u16string &name, int64_t *child);
// Walks parts below start; ERROR_FILE_NOT_FOUND at the first missing component.
LSTATUS FindPath(sqlite3 *db, int64_t start, const std::vector<std::u16string> &parts, int64_t *key);
LSTATUS AddSubkey(sqlite3 *db, int64_t parent, const std::u16string &name, int64_t *child);
LSTATUS CountSubkeys(sqlite3 *db, int64_t key, int64_t *count);
LSTATUS CountValues(sqlite3 *db, int64_t key, int64_t *count);
// Deletes the key, its values and everything below it, however deep.
LSTATUS RemoveKey(sqlite3 *db, int64_t key);
// Deletes the key's values and everything below it; the key stays.
LSTATUS ClearKey(sqlite3 *db, int64_t key);
// How many levels below its hive's root key lies, counted up to limit at most.
LSTATUS KeyDepth(sqlite3 *db, int64_t key, int64_t limit, int64_t *depth);
LSTATUS TouchKey(sqlite3 *db, int64_t key);

// The index-th subkey in name order (as Windows lists them), or ERROR_NO_MORE_ITEMS.
LSTATUS SubkeyAt(sqlite3 *db, int64_t key, DWORD index, std::u16string *name, int64_t *written);

LSTATUS GetValue(sqlite3 *db, int64_t key, const std::u16string &name, StoredValue *value);
// Inserts or overwrites (keeping the value's place in the enumeration order).
LSTATUS PutValue(sqlite3 *db, int64_t key, const std::u16string &name, DWORD type, const void *data, size_t size);
LSTATUS RemoveValue(sqlite3 *db, int64_t key, const std::u16string &name);
// The index-th value in creation order, or ERROR_NO_MORE_ITEMS.
LSTATUS ValueAt(sqlite3 *db, int64_t key, DWORD index, StoredValue *value);
