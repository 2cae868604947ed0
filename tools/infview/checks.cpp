// The checks of infview: first on the raw logical line, where the quote marks still
// show what the parser will drop, then on the values the parser cut.
#include "checks.h"

#include "platform/escape.h"
#include "progman/formats.h"
#include "script/script.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

const char *const FieldNames[] = {"label", "item name", "command line", "icon file", "icon index", "flag word"};

// Bytes of the Program Manager's command syntax: inside a field they end or split the command.
const char ProgmanSyntax[] = "[]()\"";

std::string Lower(const char *s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The bytes [begin, end) as the file showed them: quote marks as '"'.
std::string Shown(const char *begin, const char *end) {
    std::string s(begin, end);
    for (char &c : s)
        if (static_cast<unsigned char>(c) == QUOTE_MARK) c = '"';
    return s;
}

bool Blank(const char *begin, const char *end) {
    for (const char *p = begin; p < end; p++)
        if (*p != ' ' && static_cast<unsigned char>(*p) != QUOTE_MARK) return false;
    return true;
}

bool IsNumber(const char *text) {
    const char *p = text;
    while (*p == ' ') p++;
    if (*p == '+' || *p == '-') p++;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    while (std::isdigit(static_cast<unsigned char>(*p))) p++;
    while (*p == ' ') p++;
    return *p == '\0';
}

}  // namespace

void Checker::Warn(uint32_t fileLine, const std::string &text) {
    std::fprintf(stderr, "%s:%u: warning: %s\n", EscapeControls(file_).c_str(), fileLine, EscapeControls(text).c_str());
    warnings_++;
}

void Checker::CheckRaw(uint32_t fileLine, const char *line) {
    const bool header = line[0] == '[';
    const char *stops = header ? "]" : ",=";
    const char *p = header ? line + 1 : line;
    if (header && std::strchr(line, ']') == nullptr)
        Warn(fileLine, "the group header has no ']': the group name runs to the end of the line");
    bool cutWarned = false;
    // The fields as the parser walks them: each ends at the next stop byte, quoted or not.
    for (size_t field = 0; field < (header ? 1 : std::size(FieldNames)); field++) {
        const char *what = header ? "group name" : FieldNames[field];
        const char *end = p + std::strcspn(p, stops);
        const char *open = nullptr, *close = nullptr;
        int marks = 0;
        for (const char *q = p; q < end; q++) {
            if (static_cast<unsigned char>(*q) != QUOTE_MARK) continue;
            if (marks == 0) open = q;
            if (marks == 1) close = q;
            marks++;
        }
        if (open != nullptr && !Blank(p, open))
            Warn(fileLine, std::string("in the ") + what + ", text before the opening quote is dropped: \"" +
                               Shown(p, open) + "\"");
        if (close != nullptr && !Blank(close + 1, end))
            Warn(fileLine, std::string("in the ") + what + ", text after the closing quote is dropped: \"" +
                               Shown(close + 1, end) + "\"");
        if (marks % 2 != 0 && *end != '\0' && !header && !cutWarned) {
            Warn(fileLine, "a ',' or '=' inside quotes ends the field: the later fields move one place on");
            cutWarned = true;
        }
        if (*end == '\0') {
            if (!header && field + 1 < std::size(FieldNames))
                Warn(fileLine, "fewer than six fields: the missing ones are empty");
            return;
        }
        p = end + 1;
    }
    if (!header && !Blank(p, p + std::strlen(p)))
        Warn(fileLine, "more than six fields: the text after the sixth is dropped: \"" +
                           Shown(p, p + std::strlen(p)) + "\"");
}

bool Checker::CheckImage(const std::string &image) {
    const bool utf16 = image.rfind("\xFF\xFE", 0) == 0 || image.rfind("\xFE\xFF", 0) == 0 ||
                       (image.size() >= 2 && (image[0] == '\0') != (image[1] == '\0'));
    if (utf16)
        Warn(1, "the file is UTF-16 (a \"Unicode\" save): the reader stops at its first NUL byte; save it as ANSI or "
                "UTF-8");
    else if (image.rfind("\xEF\xBB\xBF", 0) == 0)
        Warn(1, "the file starts with a UTF-8 byte-order mark: the reader takes its three bytes as text of line 1");
    size_t nul = image.find('\0');
    if (nul == std::string::npos) return false;
    if (!utf16) {
        auto line = static_cast<uint32_t>(std::count(image.begin(), image.begin() + static_cast<long>(nul), '\n') + 1);
        Warn(line, "a NUL byte ends the script here: the " + std::to_string(image.size() - nul) +
                       " bytes from it on are not read");
    }
    return true;
}

void Checker::CheckField(uint32_t fileLine, const char *what, const char *value, bool sentToProgman) {
    for (const char *p = value; *p != '\0'; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) {
            char text[128];
            std::snprintf(text, sizeof text, "the %s holds the control character 0x%02X", what, c);
            Warn(fileLine, text);
            break;
        }
    }
    if (!sentToProgman) return;
    // A bracket first: it is the worse mistake, able to start a second command.
    const char *syntax = std::strpbrk(value, "[]");
    if (syntax == nullptr) syntax = std::strpbrk(value, ProgmanSyntax);
    if (syntax == nullptr) return;
    const bool bracket = *syntax == '[' || *syntax == ']';
    Warn(fileLine, std::string("the ") + what + " holds '" + *syntax + "', which " +
                       (bracket ? "can end the Program Manager's command and start another"
                                : "the Program Manager reads as part of its command syntax"));
}

void Checker::CheckLength(uint32_t fileLine, const char *command, size_t length) {
    if (length <= kMaxProgmanCommand) return;
    char text[160];
    std::snprintf(text, sizeof text, "the %s command is %zu characters long: only the first %zu are sent", command,
                  length, kMaxProgmanCommand);
    Warn(fileLine, text);
}

void Checker::CheckGroup(uint32_t fileLine, const char *group) {
    if (group[0] == '\0') Warn(fileLine, "the group name is empty: its CreateGroup is refused, so its items never arrive");
    CheckField(fileLine, "group name", group, true);
    CheckLength(fileLine, "CreateGroup", FormatCreateGroup(nullptr, 0, group, "", 0));
    CheckLength(fileLine, "ShowGroup", FormatShowGroup(nullptr, 0, group, "8", 0));
}

void Checker::CheckDuplicate(uint32_t fileLine, const char *group) {
    auto [it, added] = items_[Lower(group)].emplace(Lower(itemName), fileLine);
    if (added) return;
    char text[96];
    std::snprintf(text, sizeof text, "(first on line %u): the later one replaces it", it->second);
    Warn(fileLine, std::string("a second item named \"") + itemName + "\" in group \"" + group + "\" " + text);
}

void Checker::CheckItem(uint32_t fileLine, const char *group) {
    if (group == nullptr) Warn(fileLine, "an item before the first group header is skipped");
    if (itemName[0] == '\0') Warn(fileLine, "the item name is empty: the Program Manager refuses an item without one");
    const std::pair<const char *, const char *> fields[] = {
        {"item name", itemName}, {"command line", commandLine}, {"icon file", iconFile}};
    for (const auto &[what, value] : fields) CheckField(fileLine, what, value, true);
    CheckField(fileLine, "icon index", iconIndexText, false);
    CheckField(fileLine, "flag word", flagWord, false);
    const int32_t index = IconIndex(iconIndexText);
    if (iconIndexText[0] != '\0' && !IsNumber(iconIndexText)) {
        char text[64];
        std::snprintf(text, sizeof text, ": it is read as %d", index);
        Warn(fileLine, std::string("the icon index \"") + iconIndexText + "\" is not a number" + text);
    } else if (index > INT32_MAX - kIconIndexBase || std::strtoll(iconIndexText, nullptr, 10) != index) {
        char text[96];
        std::snprintf(text, sizeof text, ": it is read as %d and sent as %d", index, IconIndexSent(index));
        Warn(fileLine, std::string("the icon index \"") + iconIndexText + "\" lies outside the 32-bit range" + text);
    }
    if (flagWord[0] != '\0' && LookupKeyword(FlagKeywordIndex, flagWord) == 0)
        Warn(fileLine, "unknown flag word: it sets no flag");
    CheckLength(fileLine, "AddItem", FormatAddItem(nullptr, 0, commandLine, itemName, iconFile, IconIndex(iconIndexText)));
    CheckLength(fileLine, "DeleteItem", FormatDeleteItem(nullptr, 0, itemName));
    if (group != nullptr) CheckDuplicate(fileLine, group);
}

void Checker::UnterminatedLine(uint32_t fileLine) {
    Warn(fileLine, "the script ends inside a continued line: a '+' at its end swallowed that line");
}
