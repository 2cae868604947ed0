#include "progman/formats.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

size_t Format(char *out, size_t size, const char *format, ...) {
    if (out == nullptr) size = 0;
    if (size > kMaxProgmanCommand + 1) size = kMaxProgmanCommand + 1;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out, size, format, args);
    va_end(args);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

const char *CommonField(int common) { return common ? "1" : "0"; }

// Whether text needs quotes to arrive as one argument: it holds a separator or
// bracket, or begins or ends with a blank, and has no quote of its own (a
// quote inside quotes cannot be written, so such text goes as it is).
bool NeedsQuotes(const char *text) {
    size_t n = std::strlen(text);
    if (n == 0 || std::strchr(text, '"') != nullptr) return false;
    return std::strpbrk(text, ",()[]") != nullptr || text[0] == ' ' || text[n - 1] == ' ';
}

}  // namespace

int32_t IconIndex(const char *text) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t IconIndexSent(int32_t iconIndex) {
    return static_cast<int32_t>(static_cast<uint32_t>(iconIndex) + static_cast<uint32_t>(kIconIndexBase));
}

size_t FormatShowGroup(char *out, size_t size, const char *group, const char *showCommand, int common) {
    return Format(out, size, "[ShowGroup(%s, %s,%s)]", group, showCommand, CommonField(common));
}

size_t FormatCreateGroup(char *out, size_t size, const char *group, const char *groupFile, int common) {
    return Format(out, size, "[CreateGroup(%s%s%s,%s)]", group, groupFile[0] != '\0' ? "," : "", groupFile,
                  CommonField(common));
}

size_t FormatAddItem(char *out, size_t size, const char *commandLine, const char *name, const char *iconFile,
                     int32_t iconIndex) {
    return Format(out, size, "[AddItem(%s, %s, %s, %d)]", commandLine, name, iconFile, IconIndexSent(iconIndex));
}

size_t FormatDeleteItem(char *out, size_t size, const char *name) {
    return Format(out, size, "[DeleteItem(%s)]", name);
}

size_t FormatArgument(char *out, size_t size, const char *text) {
    return Format(out, size, NeedsQuotes(text) ? "\"%s\"" : "%s", text);
}

size_t FormatAddItemExact(char *out, size_t size, const ProgmanItemFields &item) {
    auto arg = [](const char *text) { return NeedsQuotes(text) ? "\"" + std::string(text) + "\"" : std::string(text); };
    return Format(out, size, "[AddItem(%s,%s,%s,%d,%d,%d,%s,%d,%d)]", arg(item.commandLine).c_str(),
                  arg(item.name).c_str(), arg(item.iconPath).c_str(), item.iconIndex, item.x, item.y,
                  arg(item.defaultDir).c_str(), item.hotKey, item.minimize ? 1 : 0);
}
