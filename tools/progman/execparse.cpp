// Execute-string parsing: [Name] or [Name(args)], repeated, blanks allowed
// between the parts. An argument ends at ',' or ')' outside double quotes and
// loses the blanks around it; quotes have no escape.
#include "execparse.h"

#include <utility>

namespace {

constexpr size_t kMaxCommands = 64;
constexpr size_t kMaxArgs = 16;

bool Blank(char c) { return c == ' ' || c == '\t'; }

bool NameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

struct Cursor {
    const std::string &s;
    size_t i = 0;
    void SkipBlanks() {
        while (i < s.size() && Blank(s[i])) i++;
    }
    bool At(char c) const { return i < s.size() && s[i] == c; }
};

// One argument, leaving the cursor on the ',' or ')' after it. Separators
// inside double quotes do not count. An argument that is one quoted string
// loses its quotes; any other keeps them, so a command line such as
// "C:\Program Files\x.exe" /s arrives as Windows needs it.
bool ParseArg(Cursor &c, std::string *arg, std::string *error) {
    c.SkipBlanks();
    size_t start = c.i;
    bool quoted = false;
    while (c.i < c.s.size() && (quoted || (c.s[c.i] != ',' && c.s[c.i] != ')'))) {
        if (c.s[c.i] == '"') quoted = !quoted;
        c.i++;
    }
    if (quoted) {
        *error = "unbalanced quote";
        return false;
    }
    if (c.i >= c.s.size()) {
        *error = "missing ')'";
        return false;
    }
    size_t end = c.i;
    while (end > start && Blank(c.s[end - 1])) end--;
    if (end - start >= 2 && c.s[start] == '"' && c.s.find('"', start + 1) == end - 1) {
        start++;
        end--;
    }
    arg->assign(c.s, start, end - start);
    return true;
}

bool ParseCommand(Cursor &c, ExecCommand *cmd, std::string *error) {
    c.i++;  // '['
    c.SkipBlanks();
    size_t start = c.i;
    while (c.i < c.s.size() && NameChar(c.s[c.i])) c.i++;
    if (c.i == start) {
        *error = "missing command name";
        return false;
    }
    cmd->name = c.s.substr(start, c.i - start);
    c.SkipBlanks();
    if (c.At('(')) {
        c.i++;
        c.SkipBlanks();
        if (c.At(')')) {
            c.i++;  // "()" is no arguments at all
        } else {
            for (;;) {
                std::string arg;
                if (!ParseArg(c, &arg, error)) return false;
                if (cmd->args.size() == kMaxArgs) {
                    *error = "too many arguments";
                    return false;
                }
                cmd->args.push_back(std::move(arg));
                if (c.s[c.i++] == ')') break;
            }
        }
        c.SkipBlanks();
    }
    if (!c.At(']')) {
        *error = c.i < c.s.size() ? "unexpected text in command " + cmd->name : "missing ']'";
        return false;
    }
    c.i++;
    return true;
}

}  // namespace

bool ParseExecute(const std::string &text, std::vector<ExecCommand> *commands, std::string *error) {
    commands->clear();
    Cursor c{text};
    c.SkipBlanks();
    while (c.i < text.size()) {
        if (!c.At('[')) {
            *error = "text outside brackets";
            commands->clear();
            return false;
        }
        ExecCommand cmd;
        if (commands->size() == kMaxCommands || !ParseCommand(c, &cmd, error)) {
            if (commands->size() == kMaxCommands) *error = "too many commands";
            commands->clear();
            return false;
        }
        commands->push_back(std::move(cmd));
        c.SkipBlanks();
    }
    if (commands->empty()) {
        *error = "no command";
        return false;
    }
    return true;
}
