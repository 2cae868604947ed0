#include "progman/groupinfo.h"

#include "progman/formats.h"

#include <cerrno>
#include <cstdlib>

namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// A quoted field at line[*at]: its text, with *at past the comma after it.
bool TakeQuoted(const std::string &line, size_t *at, std::string *field) {
    if (*at >= line.size() || line[*at] != '"') return false;
    size_t end = line.find("\",", *at + 1);
    if (end == std::string::npos) return false;
    *field = line.substr(*at + 1, end - *at - 1);
    *at = end + 2;
    return true;
}

bool ToInt(const std::string &text, int32_t *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// Splits the last n comma-separated fields off rest.
bool TakeLast(std::string *rest, size_t n, std::vector<std::string> *fields) {
    fields->assign(n, "");
    for (size_t i = n; i-- > 0;) {
        size_t comma = rest->rfind(',');
        if (comma == std::string::npos) return false;
        (*fields)[i] = rest->substr(comma + 1);
        rest->erase(comma);
    }
    return true;
}

bool ParseHeader(const std::string &line, GroupInfo *group) {
    size_t at = 0;
    std::vector<std::string> count;
    if (!TakeQuoted(line, &at, &group->name)) return false;
    std::string rest = "," + line.substr(at);
    if (!TakeLast(&rest, 1, &count) || !ToInt(count[0], &group->itemCount)) return false;
    group->path = rest.substr(1);
    return true;
}

bool ParseItem(const std::string &line, GroupItemInfo *item) {
    size_t at = 0;
    if (!TakeQuoted(line, &at, &item->name) || !TakeQuoted(line, &at, &item->commandLine)) return false;
    std::string rest = line.substr(at);
    std::vector<std::string> n;
    int32_t minimize = 0;
    if (!TakeLast(&rest, 5, &n) || !ToInt(n[0], &item->x) || !ToInt(n[1], &item->y) ||
        !ToInt(n[2], &item->iconIndex) || !ToInt(n[3], &item->hotKey) || !ToInt(n[4], &minimize))
        return false;
    size_t comma = rest.find(',');
    if (comma == std::string::npos) return false;
    item->defaultDir = rest.substr(0, comma);
    item->iconPath = rest.substr(comma + 1);
    item->minimize = minimize != 0;
    return true;
}

}  // namespace

std::string FormatGroupList(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) text += name + "\r\n";
    return text;
}

std::vector<std::string> ParseGroupList(const std::string &text) {
    std::vector<std::string> names;
    for (const std::string &line : Lines(text))
        if (!line.empty()) names.push_back(line);
    return names;
}

std::string FormatGroupInfo(const GroupInfo &group) {
    std::string text = "\"" + group.name + "\"," + group.path + "," + std::to_string(group.itemCount) + "\r\n";
    for (const GroupItemInfo &i : group.items) {
        text += "\"" + i.name + "\",\"" + i.commandLine + "\"," + i.defaultDir + "," + i.iconPath + ",";
        for (int32_t n : {i.x, i.y, i.iconIndex, i.hotKey}) text += std::to_string(n) + ",";
        text += i.minimize ? "1\r\n" : "0\r\n";
    }
    return text;
}

bool ParseGroupInfo(const std::string &text, GroupInfo *group, std::string *error) {
    *group = GroupInfo();
    std::vector<std::string> lines = Lines(text);
    if (lines.empty() || !ParseHeader(lines[0], group)) {
        *error = "line 1 is not \"name\",group file,item count";
        return false;
    }
    for (size_t i = 1; i < lines.size(); i++) {
        GroupItemInfo item;
        if (!ParseItem(lines[i], &item)) {
            *error = "line " + std::to_string(i + 1) + " is not an item";
            return false;
        }
        group->items.push_back(item);
    }
    return true;
}

namespace {

// One command from a formatter, whole or not at all.
template <typename F>
bool Command(F format, std::string *out, std::string *error) {
    size_t length = format(nullptr, 0);
    if (length > kMaxProgmanCommand) {
        *error = "a command of " + std::to_string(length) + " characters is longer than the Program Manager takes";
        return false;
    }
    std::string text(length + 1, '\0');
    format(text.data(), text.size());
    text.resize(length);
    *out += text + "\n";
    return true;
}

std::string Argument(const std::string &text) {
    std::string out(FormatArgument(nullptr, 0, text.c_str()) + 1, '\0');
    out.resize(FormatArgument(out.data(), out.size(), text.c_str()));
    return out;
}

}  // namespace

bool FormatRestore(const GroupInfo &group, std::string *out, std::string *error) {
    std::string name = Argument(group.name), path = Argument(group.path);
    bool ok = Command([&](char *o, size_t s) { return FormatCreateGroup(o, s, name.c_str(), path.c_str(), 0); },
                      out, error);
    for (const GroupItemInfo &i : group.items) {
        ProgmanItemFields f{i.commandLine.c_str(), i.name.c_str(), i.iconPath.c_str(), i.defaultDir.c_str(),
                            i.iconIndex,           i.x,            i.y,                i.hotKey,
                            i.minimize};
        ok = ok && Command([&](char *o, size_t s) { return FormatAddItemExact(o, s, f); }, out, error);
    }
    return ok;
}

bool FormatDeleteGroup(const std::string &name, std::string *out, std::string *error) {
    std::string line = "[DeleteGroup(" + Argument(name) + ")]";
    if (line.size() > kMaxProgmanCommand) {
        *error = "a command of " + std::to_string(line.size()) + " characters is longer than the Program Manager takes";
        return false;
    }
    *out += line + "\n";
    return true;
}
