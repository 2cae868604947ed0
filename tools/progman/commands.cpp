// Command table and the acknowledge and refuse rules of each command.
#include "commands.h"

#include "execparse.h"
#include "store.h"

#include "platform/posix/process/winargs.h"

#include <cstdlib>
#include <strings.h>
#include <vector>

namespace {

struct Context {
    GroupStore &store;
    ProgmanSession &session;
    std::string *why;
};

bool Refuse(Context &c, const std::string &why) {
    *c.why = why;
    return false;
}

// A whole decimal integer (optional sign), as the numeric arguments are.
bool ParseInt(const std::string &s, long *value) {
    if (s.empty()) return false;
    char *end = nullptr;
    *value = std::strtol(s.c_str(), &end, 10);
    return *end == '\0' && *value >= -2147483647L - 1 && *value <= 2147483647L;
}

bool ParseScope(Context &c, const std::string &s, int *scope) {
    long flag = 0;
    if (!ParseInt(s, &flag)) return Refuse(c, "common-group flag is not a number: " + s);
    *scope = flag != 0 ? SCOPE_COMMON : SCOPE_PERSONAL;
    return true;
}

void Activate(Context &c, int scope, const std::string &group) {
    c.session.activeScope = scope;
    c.session.activeGroup = group;
}

// CreateGroup(name[, file][, common]): with two arguments a number is the flag.
bool CreateGroup(Context &c, const std::vector<std::string> &a) {
    if (a[0].empty()) return Refuse(c, "CreateGroup without a group name");
    int scope = SCOPE_PERSONAL;
    long ignored = 0;
    if (a.size() == 3 || (a.size() == 2 && ParseInt(a[1], &ignored)))
        if (!ParseScope(c, a.back(), &scope)) return false;
    std::string stored, error;
    if (!c.store.CreateGroup(scope, a[0], &stored, &error)) return Refuse(c, error);
    Activate(c, scope, stored);
    return true;
}

// ShowGroup(name, showCommand[, common]): only a group whose folder is there.
bool ShowGroup(Context &c, const std::vector<std::string> &a) {
    long show = 0;
    if (!ParseInt(a[1], &show)) return Refuse(c, "show command is not a number: " + a[1]);
    int scope = SCOPE_PERSONAL;
    if (a.size() == 3 && !ParseScope(c, a[2], &scope)) return false;
    std::string stored, error;
    if (!c.store.LookUpGroup(scope, a[0], &stored, &error)) return Refuse(c, error.empty() ? "no group " + a[0] : error);
    Activate(c, scope, stored);
    return true;
}

// The name an item gets without one: its program's file name without extension.
std::string DefaultItemName(const std::string &program) {
    std::string base = program.substr(program.find_last_of("/\\:") + 1);
    size_t dot = base.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

// A numeric argument of AddItem that may be left empty (then fallback).
bool OptionalInt(Context &c, const std::vector<std::string> &a, size_t i, long fallback, long *value) {
    *value = fallback;
    if (i >= a.size() || a[i].empty()) return true;
    return ParseInt(a[i], value) || Refuse(c, "AddItem argument " + std::to_string(i + 1) + " is not a number: " + a[i]);
}

// AddItem's arguments after the icon index: a position (none given, or -1,-1:
// the next free place; given empty: 0,0), default directory, hot key, minimize.
bool ReadPlacement(Context &c, const std::vector<std::string> &a, ProgramItem *item) {
    long x = 0, y = 0, hotKey = 0, minimize = 0;
    if (!OptionalInt(c, a, 4, 0, &x) || !OptionalInt(c, a, 5, 0, &y) || !OptionalInt(c, a, 7, 0, &hotKey) ||
        !OptionalInt(c, a, 8, 0, &minimize))
        return false;
    item->placed = a.size() > 4 && !(x == -1 && y == -1);
    item->x = item->placed ? static_cast<int>(x) : 0;
    item->y = item->placed ? static_cast<int>(y) : 0;
    item->workingDir = a.size() > 6 ? a[6] : "";
    item->hotKey = static_cast<int>(hotKey);
    item->minimize = minimize != 0;
    return true;
}

// AddItem(commandLine[, name[, iconFile[, iconIndex, x, y, dir, hotkey, minimize, memory]]]).
bool AddItem(Context &c, const std::vector<std::string> &a) {
    if (c.session.activeScope < 0) return Refuse(c, "AddItem with no active group");
    std::string program = SplitCommandLine(a[0])[0];
    if (program.empty()) return Refuse(c, "AddItem without a program");
    ProgramItem item;
    item.commandLine = a[0];
    item.name = a.size() > 1 && !a[1].empty() ? a[1] : DefaultItemName(program);
    item.iconFile = a.size() > 2 && !a[2].empty() ? a[2] : program;
    long index = 0;
    if (a.size() > 3 && !a[3].empty() && !ParseInt(a[3], &index))
        return Refuse(c, "icon index is not a number: " + a[3]);
    item.iconIndex = static_cast<int>(index);
    if (!ReadPlacement(c, a, &item)) return false;
    std::string error;
    if (!c.store.PutItem(c.session.activeScope, c.session.activeGroup, item, &error)) return Refuse(c, error);
    return true;
}

// DeleteItem(name): from the active group.
bool DeleteItem(Context &c, const std::vector<std::string> &a) {
    if (c.session.activeScope < 0) return Refuse(c, "DeleteItem with no active group");
    std::string error;
    if (!c.store.DeleteItem(c.session.activeScope, c.session.activeGroup, a[0], &error))
        return Refuse(c, error);
    return true;
}

// DeleteGroup(name[, common]): refused for a group that does not exist.
bool DeleteGroup(Context &c, const std::vector<std::string> &a) {
    int scope = SCOPE_PERSONAL;
    if (a.size() == 2 && !ParseScope(c, a[1], &scope)) return false;
    std::string error;
    if (!c.store.DeleteGroup(scope, a[0], &error)) return Refuse(c, error);
    if (c.session.activeScope == scope && SameItemName(c.session.activeGroup, a[0])) c.session.activeScope = -1;
    return true;
}

// ExitProgman(save): the server ends when this conversation does.
bool ExitProgman(Context &c, const std::vector<std::string> &) {
    c.session.exitRequested = true;
    return true;
}

struct CommandEntry {
    const char *name;
    size_t minArgs, maxArgs;
    bool (*run)(Context &, const std::vector<std::string> &);
};

const CommandEntry kCommands[] = {
    {"CreateGroup", 1, 3, CreateGroup}, {"ShowGroup", 2, 3, ShowGroup},     {"AddItem", 1, 10, AddItem},
    {"DeleteItem", 1, 1, DeleteItem},   {"DeleteGroup", 1, 2, DeleteGroup}, {"ExitProgman", 0, 1, ExitProgman},
};

// Names must make file names and desktop entry values: no control characters.
bool ArgumentsAllowed(const std::vector<std::string> &args) {
    for (const std::string &a : args)
        for (unsigned char ch : a)
            if (ch < 0x20 || ch == 0x7F) return false;
    return true;
}

}  // namespace

bool ProgmanRunExecute(GroupStore &store, ProgmanSession &session, const std::string &text, std::string *why) {
    std::vector<ExecCommand> commands;
    std::string error;
    if (!ParseExecute(text, &commands, &error)) {
        *why = "malformed command: " + error;
        return false;
    }
    Context c{store, session, why};
    for (ExecCommand &cmd : commands) {
        const CommandEntry *entry = nullptr;
        for (const CommandEntry &e : kCommands)
            if (strcasecmp(e.name, cmd.name.c_str()) == 0) entry = &e;
        if (entry == nullptr) return Refuse(c, "unknown command " + cmd.name);
        if (cmd.args.size() < entry->minArgs || cmd.args.size() > entry->maxArgs)
            return Refuse(c, std::string(entry->name) + ": wrong number of arguments");
        if (!ArgumentsAllowed(cmd.args)) return Refuse(c, std::string(entry->name) + ": control character in an argument");
        for (std::string &a : cmd.args) a = AnsiToUtf8(a);
        if (!entry->run(c, cmd.args)) return false;
    }
    return true;
}
