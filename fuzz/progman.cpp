// The Program Manager's execute parser and command handlers on a scratch store.
// The input is one conversation: execute strings separated by NUL bytes. The
// store is emptied before each input so that every input runs alone.
#include "commands.h"
#include "desktop.h"
#include "execparse.h"
#include "store.h"
#include "support.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

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
        std::vector<ExecCommand> commands;
        if (ParseExecute(text, &commands, &error)) FUZZ_CHECK(!commands.empty());
        std::string why;
        bool acknowledged = ProgmanRunExecute(store, session, text, &why);
        FUZZ_CHECK(acknowledged || !why.empty());
        if (session.exitRequested) break;
    }
    CheckStore(root, store);
    return 0;
}
