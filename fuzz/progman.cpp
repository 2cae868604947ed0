// The Program Manager's execute parser and command handlers on a scratch store.
// The input is one conversation: execute strings separated by NUL bytes, among
// which a string beginning with \x01 removes the active group's folder by hand
// and one beginning with \x02 writes an item file of the name after it into
// that folder by hand. The store is emptied before each input so that every
// input runs alone.
#include "commands.h"
#include "desktop.h"
#include "execparse.h"
#include "store.h"
#include "support.h"

#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>

namespace {

std::string ActiveFolder(const std::string &root, const ProgmanSession &session) {
    return ScopeDir(root, session.activeScope) + "/" + EncodeFileName(session.activeGroup);
}

// Changes the files behind the store's back, as a person might; false when text is no such change.
bool ChangeByHand(const std::string &root, const ProgmanSession &session, const std::string &text) {
    if (text.empty() || (text[0] != '\x01' && text[0] != '\x02')) return false;
    if (session.activeScope < 0) return true;
    std::string name = text.substr(1);
    if (text[0] == '\x01') {
        RemoveTree(ActiveFolder(root, session));
    } else if (StoreNameAllowed(name)) {
        std::ofstream(ActiveFolder(root, session) + "/" + EncodeFileName(name) + ".desktop")
            << FormatDesktopEntry(ProgramItem{name, "hand.exe", "hand.exe", 0});
    }
    return true;
}

// Whether the last command of an execute string is CreateGroup or ShowGroup.
bool EndsActivating(const std::string &text) {
    std::vector<ExecCommand> commands;
    std::string error;
    if (!ParseExecute(text, &commands, &error) || commands.empty()) return false;
    const std::string &last = commands.back().name;
    return strcasecmp(last.c_str(), "CreateGroup") == 0 || strcasecmp(last.c_str(), "ShowGroup") == 0;
}

// What the store holds reads back: every item through its desktop entry, every
// name through its file name; every item file is whole, exactly the entry of
// what it holds (nothing of an item written before it in the same file); and
// the server's index knows every group the files hold.
void CheckStore(const std::string &root, const GroupStore &store) {
    for (int scope : {SCOPE_PERSONAL, SCOPE_COMMON}) {
        for (const StoredGroup &g : StoreList(root, scope)) {
            std::string decoded, stored;
            FUZZ_CHECK(store.FindGroup(scope, g.name, &stored) && stored == g.name);
            FUZZ_CHECK(DecodeFileName(EncodeFileName(g.name), &decoded) && decoded == g.name);
            for (const ProgramItem &item : g.items) {
                ProgramItem back;
                FUZZ_CHECK(ParseDesktopEntry(FormatDesktopEntry(item), &back));
                FUZZ_CHECK(back.name == item.name && back.commandLine == item.commandLine &&
                           back.iconFile == item.iconFile && back.iconIndex == item.iconIndex);
                std::ifstream in(ScopeDir(root, scope) + "/" + EncodeFileName(g.name) + "/" +
                                 EncodeFileName(item.name) + ".desktop");
                std::stringstream file;
                file << in.rdbuf();
                FUZZ_CHECK(file.str() == FormatDesktopEntry(item));
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;  // every command writes files: keep an input's cost bounded
    const std::string root = ScratchDir() + "/progman";
    RemoveTree(root);
    FUZZ_CHECK(mkdir(root.c_str(), 0700) == 0);
    std::string error;
    GroupStore store(root);
    FUZZ_CHECK(store.Open(&error));

    ProgmanSession session;
    for (const std::string &text : SplitAtNul(data, size)) {
        if (ChangeByHand(root, session, text)) continue;
        std::vector<ExecCommand> commands;
        if (ParseExecute(text, &commands, &error)) FUZZ_CHECK(!commands.empty());
        std::string why;
        bool acknowledged = ProgmanRunExecute(store, session, text, &why);
        FUZZ_CHECK(acknowledged || !why.empty());
        // A group is acknowledged only with its folder there, whatever was removed by hand.
        struct stat st {};
        if (acknowledged && EndsActivating(text))
            FUZZ_CHECK(stat(ActiveFolder(root, session).c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        if (session.exitRequested) break;
    }
    CheckStore(root, store);
    return 0;
}
