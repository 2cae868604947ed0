// The Program Manager's commands as the icon upgrade sends them, in one place:
// the pass formats them here, and so do the tools that predict or check what it
// sends. Pure text, no platform.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest command the Program Manager gets whole: wsprintfA, which the
// Windows program formats with, writes at most 1024 bytes with the NUL.
constexpr size_t kMaxProgmanCommand = 1023;

// The Program Manager's icon field counts from this.
constexpr int32_t kIconIndexBase = 666;

// The icon index of a script's text as the pass reads it: atoi's reading
// (blanks, sign, digits), clamped to 32 bits instead of overflowing.
int32_t IconIndex(const char *text);
// The icon field sent for an icon index: the sum wraps as 32-bit arithmetic does.
int32_t IconIndexSent(int32_t iconIndex);

// Each formats its command into out (at most size bytes with the NUL, and never
// more than wsprintfA would write) and returns the command's whole length, which
// is all it does when out is null.
size_t FormatShowGroup(char *out, size_t size, const char *group, const char *showCommand, int common);
size_t FormatCreateGroup(char *out, size_t size, const char *group, const char *groupFile, int common);
size_t FormatAddItem(char *out, size_t size, const char *commandLine, const char *name, const char *iconFile,
                     int32_t iconIndex);
size_t FormatDeleteItem(char *out, size_t size, const char *name);

// An item with every field the Program Manager describes, for a file that puts
// it back as it was: the icon index goes as given (no base added), and a text
// field that holds a separator is quoted.
struct ProgmanItemFields {
    const char *commandLine, *name, *iconPath, *defaultDir;
    int32_t iconIndex, x, y, hotKey;
    bool minimize;
};
size_t FormatAddItemExact(char *out, size_t size, const ProgmanItemFields &item);
// A group name or path as an argument: quoted when it holds a separator and no quote.
size_t FormatArgument(char *out, size_t size, const char *text);
