// pmctl: asks the Program Manager that serves now what it holds, what an icon
// upgrade would do to it, and saves and restores its groups. It never starts a
// Program Manager. The same source builds for Linux and for Windows.
//
// Exit status: 0 done (plan: nothing would change), 2 (plan only) something
// would change, 1 an error: no Program Manager, a refused restore line, a
// group the Program Manager does not describe.
#include "conversation.h"
#include "plan.h"

#include "platform/escape.h"
#include "progman/groupinfo.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <strings.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: pmctl groups                      the groups the Program Manager lists\n"
    "       pmctl show GROUP                  a group and its items, every field\n"
    "       pmctl plan SCRIPT [--upgrade-icons] [--json]\n"
    "                                         what \"upgrade /run_inf SCRIPT\" (or /upgrade_icons) would do;\n"
    "                                         status 0 nothing would change, 2 something would\n"
    "       pmctl save GROUP... -o FILE       a file of commands that puts the groups back as they are\n"
    "       pmctl exec FILE                   sends each line of FILE as one command; ACK or NACK per line\n"
    "       pmctl --version | --help\n"
    "Status 1 on an error, such as no Program Manager answering (pmctl never starts one).\n";

int Fail(const std::string &why) {
    std::fprintf(stderr, "pmctl: %s\n", EscapeControls(why).c_str());
    return 1;
}

bool SameName(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string NotDescribed(const std::string &group) {
    return "this Program Manager does not describe its groups' items (no answer for group \"" + group + "\")";
}

// What the Program Manager lists, for the commands that need it.
bool ListGroups(PmConversation &pm, std::vector<std::string> *groups, std::string *why) {
    std::string text;
    UINT error = 0;
    if (!pm.Request(kGroupsItem, &text, &error)) {
        *why = "the Program Manager does not list its groups (DDE error 0x" + std::to_string(error) + ")";
        return false;
    }
    *groups = ParseGroupList(text);
    return true;
}

// A group's description; *why tells a group not listed from one not described.
bool Describe(PmConversation &pm, const std::vector<std::string> &groups, const std::string &name, GroupInfo *info,
              std::string *why) {
    bool listed = false;
    for (const std::string &g : groups) listed = listed || SameName(g, name);
    std::string text;
    UINT error = 0;
    if (!pm.Request(name, &text, &error)) {
        *why = listed ? NotDescribed(name) : "the Program Manager has no group \"" + name + "\"";
        return false;
    }
    if (!ParseGroupInfo(text, info, why)) {
        *why = "the description of \"" + name + "\" is not readable: " + *why;
        return false;
    }
    return true;
}

int Groups(PmConversation &pm) {
    std::vector<std::string> groups;
    std::string why;
    if (!ListGroups(pm, &groups, &why)) return Fail(why);
    for (const std::string &g : groups) std::printf("%s\n", EscapeControls(g).c_str());
    return 0;
}

int Show(PmConversation &pm, const std::string &name) {
    std::vector<std::string> groups;
    GroupInfo info;
    std::string why;
    if (!ListGroups(pm, &groups, &why) || !Describe(pm, groups, name, &info, &why)) return Fail(why);
    std::printf("%s: %d items (group file %s)\n", EscapeControls(info.name).c_str(), info.itemCount,
                EscapeControls(info.path).c_str());
    for (const GroupItemInfo &i : info.items)
        std::printf("  %s: %s (icon %s, %d; dir %s; at %d,%d; hot key %d; minimize %d)\n",
                    EscapeControls(i.name).c_str(), EscapeControls(i.commandLine).c_str(),
                    EscapeControls(i.iconPath).c_str(), i.iconIndex, EscapeControls(i.defaultDir).c_str(), i.x, i.y,
                    i.hotKey, i.minimize ? 1 : 0);
    return 0;
}

int PlanCommand(PmConversation &pm, const std::string &script, bool upgradeIcons, bool json) {
    PlanSource source;
    std::string why;
    if (!ListGroups(pm, &source.groups, &why)) return Fail(why);
    source.describe = [&](const std::string &group, GroupInfo *info) {
        std::string unused;
        return Describe(pm, source.groups, group, info, &unused);
    };
    Plan plan;
    if (!BuildPlan(script, upgradeIcons, source, &plan, &why)) return Fail(why);
    if (!plan.itemsKnown)
        std::fprintf(stderr, "pmctl: this Program Manager does not describe its groups' items: "
                             "the items of the groups it has are unknown\n");
    std::fputs((json ? PlanJson(plan) : PlanText(plan)).c_str(), stdout);
    return plan.Changes() ? 2 : 0;
}

int Save(PmConversation &pm, const std::vector<std::string> &names, const std::string &path) {
    std::vector<std::string> groups;
    std::string why, commands;
    if (!ListGroups(pm, &groups, &why)) return Fail(why);
    for (const std::string &name : names) {
        GroupInfo info;
        if (!Describe(pm, groups, name, &info, &why) || !FormatRestore(info, &commands, &why)) return Fail(why);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << commands) || !out.flush()) return Fail("cannot write " + path);
    std::printf("saved %zu group%s to %s\n", names.size(), names.size() == 1 ? "" : "s", path.c_str());
    return 0;
}

int Exec(PmConversation &pm, const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail("cannot read " + path);
    int status = 0;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        std::string outcome;
        bool ok = pm.Execute(line, &outcome);
        std::printf("%s %s%s\n", ok ? "ACK" : "NACK", EscapeControls(line).c_str(),
                    ok ? "" : (" (" + outcome + ")").c_str());
        if (!ok) status = 1;
    }
    return status;
}

struct Command {
    std::string name;
    std::vector<std::string> args;
    std::string output;  // -o
    bool upgradeIcons = false, json = false;
};

// Reads the command line; false when it does not make a command.
bool ParseCommand(int argc, char **argv, Command *c) {
    if (argc < 2) return false;
    c->name = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-o" && i + 1 < argc && c->output.empty()) c->output = argv[++i];
        else if (a == "--upgrade-icons" && c->name == "plan") c->upgradeIcons = true;
        else if (a == "--json" && c->name == "plan") c->json = true;
        else if (a.size() > 1 && a[0] == '-') return false;
        else c->args.push_back(a);
    }
    const struct {
        const char *name;
        size_t minArgs, maxArgs;
        bool output;
    } shapes[] = {{"groups", 0, 0, false}, {"show", 1, 1, false}, {"plan", 1, 1, false},
                  {"save", 1, 1000, true}, {"exec", 1, 1, false}};
    for (const auto &s : shapes)
        if (c->name == s.name)
            return c->args.size() >= s.minArgs && c->args.size() <= s.maxArgs && c->output.empty() != s.output;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("pmctl %s\n", PELLOR_VERSION);
        return 0;
    }
    Command c;
    if (!ParseCommand(argc, argv, &c)) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    PmConversation pm;
    std::string why;
    if (!pm.Open(&why)) return Fail(why);
    if (c.name == "groups") return Groups(pm);
    if (c.name == "show") return Show(pm, c.args[0]);
    if (c.name == "plan") return PlanCommand(pm, c.args[0], c.upgradeIcons, c.json);
    if (c.name == "save") return Save(pm, c.args, c.output);
    return Exec(pm, c.args[0]);
}
