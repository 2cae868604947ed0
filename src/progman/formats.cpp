#include "progman/formats.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// A command put together piece by piece, as snprintf would make it of the same
// format at a fraction of the cost: one is formatted for every command sent.
class Command {
  public:
    Command &operator<<(std::string_view text) {
        text_ += text;
        return *this;
    }
    Command &operator<<(int32_t value) {
        char digits[12];
        text_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    // snprintf's contract: at most size bytes with the NUL into out (never more than
    // wsprintfA writes), and the whole length back; only the length when out is null.
    size_t Into(char *out, size_t size) const {
        if (out == nullptr) size = 0;
        if (size > kMaxProgmanCommand + 1) size = kMaxProgmanCommand + 1;
        if (size > 0) {
            size_t n = std::min(text_.size(), size - 1);
            std::memcpy(out, text_.data(), n);
            out[n] = '\0';
        }
        return text_.size();
    }

  private:
    std::string text_;
};

int32_t CommonField(int common) { return common ? 1 : 0; }

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
    return (Command() << "[ShowGroup(" << group << ", " << showCommand << "," << CommonField(common) << ")]")
        .Into(out, size);
}

size_t FormatCreateGroup(char *out, size_t size, const char *group, const char *groupFile, int common) {
    Command c;
    c << "[CreateGroup(" << group;
    if (groupFile[0] != '\0') c << "," << groupFile;
    return (c << "," << CommonField(common) << ")]").Into(out, size);
}

size_t FormatAddItem(char *out, size_t size, const char *commandLine, const char *name, const char *iconFile,
                     int32_t iconIndex) {
    return (Command() << "[AddItem(" << commandLine << ", " << name << ", " << iconFile << ", "
                      << IconIndexSent(iconIndex) << ")]")
        .Into(out, size);
}

size_t FormatDeleteItem(char *out, size_t size, const char *name) {
    return (Command() << "[DeleteItem(" << name << ")]").Into(out, size);
}

size_t FormatArgument(char *out, size_t size, const char *text) {
    if (!NeedsQuotes(text)) return (Command() << text).Into(out, size);
    return (Command() << "\"" << text << "\"").Into(out, size);
}

size_t FormatAddItemExact(char *out, size_t size, const ProgmanItemFields &item) {
    Command c;
    auto arg = [&c](const char *text) -> Command & {
        return NeedsQuotes(text) ? c << "\"" << text << "\"" : c << text;
    };
    c << "[AddItem(";
    arg(item.commandLine) << ",";
    arg(item.name) << ",";
    arg(item.iconPath) << "," << item.iconIndex << "," << item.x << "," << item.y << ",";
    arg(item.defaultDir) << "," << item.hotKey << "," << int32_t{item.minimize ? 1 : 0} << ")]";
    return c.Into(out, size);
}
