// The scripted product library, class library, heap, message box, registry reads and
// backup that the clean-up's unit tests link in place of productreg, classlib, backup and the platform.
#pragma once

#include "platform/classlib/classlib.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

// One REGISTRY::DeleteKey or DeleteValueEntry call, with the texts its objects held.
struct Removal {
    std::string call;  // "DeleteKey" or "DeleteValueEntry"
    int root;
    std::u16string parent, key, keyClass;  // of the key info
    ULONG titleIndex;
    bool security;  // security attributes were passed to the key info
    std::u16string name;
    bool errorCodeGiven;
    bool operator==(const Removal &) const = default;
};

struct HeapCall {
    bool processHeap;
    DWORD flags;
    SIZE_T bytes;
};

struct MessageBoxCall {
    bool owner;
    std::string text, caption;
    UINT type;
};

// What the next run answers: call numbers count from 0 in each kind of call.
struct Script {
    BOOLEAN appServer = TRUE;
    BOOLEAN versionRead = TRUE;
    ULONG version = 2;
    DWORD versionError = ERROR_FILE_NOT_FOUND;  // the last error a failed version read leaves
    std::set<int> registryInitFails;   // REGISTRY::Initialize calls
    std::set<int> heapFails;           // HeapAlloc calls
    std::set<int> stringInitFails;     // WSTRING::Initialize calls
    std::set<int> keyInfoInitFails;    // REGISTRY_KEY_INFO::Initialize calls
    std::set<int> removeFails;         // DeleteKey and DeleteValueEntry calls
    std::set<std::u16string> absent;   // entries the run log's probe does not find
    std::map<std::u16string, LONG> openFails;  // keys whose opening fails, by their last component
    bool backupWanted = false;
    bool backupFails = false;
};

// One backup file written.
struct Backup {
    std::string kind;      // kind and extension: "keys.reg"
    std::string text;      // its UTF-16 units below 0x100, as bytes
    size_t removalsBefore;  // deletions made before it was written
};

struct Log {
    int appServerCalls = 0;
    bool appServerArgNull = true;
    int versionCalls = 0;
    bool versionArgsSound = true;  // null first argument and a place for the version
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<HeapCall> heapCalls;
    int heapFrees = 0;
    int registriesBuilt = 0, registriesDestroyed = 0;
    int registryInits = 0;
    bool registryInitArgsSound = true;  // null machine name and an error code word
    int stringsBuilt = 0, stringsDestroyed = 0;
    std::vector<std::pair<std::u16string, LONG>> stringInits;
    int keyInfosBuilt = 0, keyInfosDestroyed = 0;
    int keyInfoInits = 0;
    std::vector<Removal> removals;  // the calls made, failed ones included
    int probes = 0;                 // RegOpenKeyExW calls
    std::vector<Backup> backups;
};

extern Script script;
extern Log record;

// Forgets the log, restores the default script and releases the fake heap's blocks.
void Reset();

}  // namespace fake
