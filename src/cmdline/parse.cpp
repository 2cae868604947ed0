// The parser's wide core and narrow front end.
#include "cmdline/cmdline.h"
#include "cmdline/arglist.h"
#include "platform/failalloc.h"
#include "platform/syshooks.h"
#include "platform/wstr.h"

#include <cstdlib>
#include <cstring>

namespace {

// Option names: '/' or '-' first is a switch on every system.
bool IsSwitchText(const WCHAR *s) { return s[0] == '/' || s[0] == '-'; }

// A record with an empty name cannot be matched or take a positional value.
bool IsSlot(const OptionRecordW *r) { return r->name[0] != 0 && !IsSwitchText(r->name); }

OptionRecordW *NextSlot(OptionRecordW *from) {
    for (OptionRecordW *r = from; r->name != nullptr; r++)
        if (IsSlot(r)) return r;
    return nullptr;
}

// The record an argument selects, trying every record in table order. *value is
// the attached value after ':', or null.
OptionRecordW *MatchSwitch(OptionRecordW *table, const WCHAR *arg, const WCHAR **value) {
    size_t m = WStrLen(arg);
    *value = nullptr;
    for (OptionRecordW *r = table; r->name != nullptr; r++) {
        size_t n = WStrLen(r->name);
        if (n == 0 || WStrNICmp(r->name + 1, arg + 1, n - 1) != 0) continue;
        if (m == n) return r;
        if (m > n && r->kind != KIND_NONE && arg[n] == ':') {
            *value = arg + n + 1;
            return r;
        }
    }
    return nullptr;
}

void StoreInteger(OptionRecordW *r, uint32_t v) {
    switch (r->kind) {
        case KIND_BYTE: *static_cast<uint8_t *>(r->target) = static_cast<uint8_t>(v); break;
        case KIND_SHORT:
        case KIND_USHORT:
        case KIND_HEX_SHORT: *static_cast<uint16_t *>(r->target) = static_cast<uint16_t>(v); break;
        default: std::memcpy(r->target, &v, sizeof v); break;
    }
}

// Appends " arg" to a rest-of-line target when the joined text and its NUL fit.
bool AppendRestOfLine(OptionRecordW *r, const WCHAR *arg) {
    auto *text = static_cast<WCHAR *>(r->target);
    size_t cur = WStrLen(text), add = WStrLen(arg);
    if (cur + 1 + add + 1 > r->length) return false;
    text[cur] = ' ';
    WStrCopy(text + cur + 1, arg);
    return true;
}

// The outcome of one rule: go on with the next argument, or stop the parse.
enum Step { NEXT, STOP };

}  // namespace

int StoreOptionValue(OptionRecordW *r, const WCHAR *value) {
    if (r->length == 0 || r->target == nullptr) return 0;  // nowhere to store, whatever the value
    if (value[0] == 0) {
        if (r->kind != KIND_STRING && r->kind != KIND_STRIP_BACKSLASH) return 0;
        static_cast<WCHAR *>(r->target)[0] = 0;
        return 1;
    }
    bool minus = value[0] == '-';
    switch (r->kind) {
        case KIND_BOOLEAN: {
            int32_t one = 1;
            std::memcpy(r->target, &one, sizeof one);
            return 1;
        }
        case KIND_CHAR: *static_cast<WCHAR *>(r->target) = value[0]; return 1;
        case KIND_BYTE:
        case KIND_SHORT:
        case KIND_LONG: StoreInteger(r, static_cast<uint32_t>(WStrToL(value, nullptr, 10))); return 1;
        case KIND_USHORT:
        case KIND_ULONG:
        case KIND_UINT:
            if (minus) return 0;
            StoreInteger(r, static_cast<uint32_t>(WStrToL(value, nullptr, 10)));
            return 1;
        case KIND_HEX_SHORT:
        case KIND_HEX_LONG:
            if (minus) return 0;
            StoreInteger(r, WStrToUL(value, nullptr, 16));
            return 1;
        case KIND_STRIP_BACKSLASH:
            if (value[0] == '\\') value++;
            [[fallthrough]];
        case KIND_STRING:
        case KIND_STRING2:
        case KIND_STRING3:
        case KIND_REST_OF_LINE: WStrCopyCut(static_cast<WCHAR *>(r->target), value, r->length); return 1;
        default: return 0;  // KIND_NONE, KIND_FILE_LIST and unknown kinds take no value here
    }
}

namespace {

// The walk over the arguments: what it has found so far and where the next positional goes.
struct Walk {
    OptionRecordW *table;
    uint32_t callFlags;
    OptionRecordW *slot;  // the next positional slot, or the rest-of-line slot once it took a value
    bool restOfLine = false;
    bool switchesEnded = false;
    uint16_t status = 0;
};

// A refused argument sets its status bit; the walk goes on past it only when the caller asked to.
Step Refuse(Walk &w, uint16_t bit) {
    w.status |= bit;
    return (w.callFlags & PARSEFLAG_CONTINUE) ? NEXT : STOP;
}

// The value that a record just took stops the walk when the caller asked for one value only.
Step Taken(const Walk &w, OptionRecordW *r) {
    r->flags |= OPTION_SEEN;
    return (w.callFlags & PARSEFLAG_STOP_AFTER_VALUE) ? STOP : NEXT;
}

// A switch given without a value: the two optional-text kinds take the empty string.
Step MissingValue(Walk &w, OptionRecordW *r) {
    bool optionalText = r->kind == KIND_STRING || r->kind == KIND_STRIP_BACKSLASH;
    if (!optionalText || r->length == 0 || r->target == nullptr) return Refuse(w, PARSE_BAD_ARGUMENT);
    static_cast<WCHAR *>(r->target)[0] = 0;
    r->flags |= OPTION_SEEN;
    return NEXT;
}

// A switch: its record, then its value, attached after ':' or in the next argument
// (which i then passes over).
Step SwitchStep(Walk &w, int count, WCHAR **args, int &i) {
    const WCHAR *value = nullptr;
    OptionRecordW *r = MatchSwitch(w.table, args[i], &value);
    if (r == nullptr) return (w.callFlags & PARSEFLAG_IGNORE_UNKNOWN) ? NEXT : Refuse(w, PARSE_BAD_ARGUMENT);
    if (r->flags & OPTION_SEEN) w.status |= PARSE_REPEATED;
    if (r->kind == KIND_NONE || r->kind == KIND_BOOLEAN) {
        r->flags |= OPTION_SEEN;
        if (r->kind == KIND_BOOLEAN && r->target != nullptr) {
            int32_t one = 1;
            std::memcpy(r->target, &one, sizeof one);
        }
        return NEXT;
    }
    if (value == nullptr && i + 1 < count && ArgumentRole(args[i + 1]) == ARGUMENT_POSITIONAL) value = args[++i];
    if (value == nullptr) return MissingValue(w, r);
    if (!StoreOptionValue(r, value)) return Refuse(w, PARSE_BAD_ARGUMENT);
    return Taken(w, r);
}

// A positional argument fills the next slot; a file list takes it and every argument after it.
Step PositionalStep(Walk &w, int count, WCHAR **args, int i) {
    OptionRecordW *slot = w.slot;
    if (slot == nullptr) return Refuse(w, PARSE_OVERFLOW);
    if (slot->kind == KIND_FILE_LIST) {
        // A target without room for the count and the vector pointer gets nothing.
        if (slot->target == nullptr || slot->length < sizeof(FileListValue)) {
            w.status |= PARSE_BAD_ARGUMENT;
            return STOP;
        }
        slot->flags |= OPTION_SEEN;
        CollectFileList(slot, count - i, args + i);
        return STOP;
    }
    if (!StoreOptionValue(slot, args[i])) return Refuse(w, PARSE_BAD_ARGUMENT);
    if (Taken(w, slot) == STOP) return STOP;
    if (slot->kind == KIND_REST_OF_LINE)
        w.restOfLine = true;
    else
        w.slot = NextSlot(slot + 1);
    return NEXT;
}

// One argument: joined to the rest of the line once that has begun, else by its role.
Step ArgumentStep(Walk &w, int count, WCHAR **args, int &i) {
    if (w.restOfLine) {
        if (AppendRestOfLine(w.slot, args[i])) return NEXT;
        w.status |= PARSE_OVERFLOW;
        return STOP;
    }
    int role = w.switchesEnded ? ARGUMENT_POSITIONAL : ArgumentRole(args[i]);
    if (role == ARGUMENT_END_OF_SWITCHES) {
        w.switchesEnded = true;
        return NEXT;
    }
    return role == ARGUMENT_SWITCH ? SwitchStep(w, count, args, i) : PositionalStep(w, count, args, i);
}

void ClearTargets(OptionRecordW *table) {
    for (OptionRecordW *r = table; r->name != nullptr; r++) {
        if (r->length == 0 || r->target == nullptr) continue;
        std::memset(r->target, 0, IsStringKind(r->kind) ? r->length * sizeof(WCHAR) : r->length);
    }
}

bool RequiredMissing(const OptionRecordW *table) {
    for (const OptionRecordW *r = table; r->name != nullptr; r++)
        if ((r->flags & OPTION_REQUIRED) && !(r->flags & OPTION_SEEN)) return true;
    return false;
}

}  // namespace

uint16_t ParseArgumentsW(int count, WCHAR **args, OptionRecordW *table, uint32_t callFlags) {
    if (count <= 0) return PARSE_NO_ARGUMENTS;
    if (!(callFlags & PARSEFLAG_KEEP_TARGETS)) ClearTargets(table);
    Walk w{table, callFlags, NextSlot(table)};
    // The index is 32 bits wide, so any number of arguments is walked once. A stop
    // leaves the required check undone: the walk did not see every argument.
    for (int i = 0; i < count; i++)
        if (ArgumentStep(w, count, args, i) == STOP) return w.status;
    if (RequiredMissing(table)) w.status |= PARSE_REQUIRED_MISSING;
    return w.status;
}

namespace {

// calloc, which the allocation failure hook of the test builds can make fail.
void *Calloc(size_t n, size_t size) { return AllocationFails() ? nullptr : std::calloc(n, size); }

// A zeroed wide copy of a narrow string, or null.
WCHAR *WideCopy(const char *s) {
    size_t n = std::strlen(s) + 1;
    auto *w = static_cast<WCHAR *>(Calloc(n, sizeof(WCHAR)));
    if (w != nullptr) MbToWide(w, s, n);
    return w;
}

// The wide copies of one front-end call; everything is released on destruction.
struct WideCopies {
    int count = 0;
    WCHAR **args = nullptr;
    size_t records = 0;
    OptionRecordW *table = nullptr;

    ~WideCopies() {
        if (args != nullptr)
            for (int i = 0; i < count; i++) std::free(args[i]);
        std::free(args);
        if (table != nullptr) {
            for (size_t i = 0; i < records; i++) {
                std::free(const_cast<WCHAR *>(table[i].name));
                if (IsStringKind(table[i].kind)) std::free(table[i].target);
            }
        }
        std::free(table);
    }
};

}  // namespace

uint16_t ParseArguments(int count, char **args, OptionRecord *table, uint32_t callFlags) {
    if (count <= 0) return PARSE_NO_ARGUMENTS;
    WideCopies w;
    w.args = static_cast<WCHAR **>(Calloc(static_cast<size_t>(count), sizeof(WCHAR *)));
    if (w.args == nullptr) return PARSE_NO_MEMORY;
    w.count = count;
    for (int i = 0; i < count; i++)
        if ((w.args[i] = WideCopy(args[i])) == nullptr) return PARSE_NO_MEMORY;

    size_t records = 0;
    while (table[records].name != nullptr) records++;
    w.table = static_cast<OptionRecordW *>(Calloc(records + 1, sizeof(OptionRecordW)));
    if (w.table == nullptr) return PARSE_NO_MEMORY;
    for (size_t i = 0; i < records; i++) {
        const OptionRecord &src = table[i];
        OptionRecordW &dst = w.table[i];
        w.records = i + 1;
        dst.flags = src.flags;
        dst.kind = src.kind;
        dst.length = src.length;
        if ((dst.name = WideCopy(src.name)) == nullptr) return PARSE_NO_MEMORY;
        if (src.length != 0) {
            if (IsStringKind(src.kind)) {
                dst.target = Calloc(src.length, sizeof(WCHAR));
                if (dst.target == nullptr) return PARSE_NO_MEMORY;
            } else {
                dst.target = src.target;
            }
            if (!(callFlags & PARSEFLAG_KEEP_TARGETS) && src.target != nullptr) std::memset(src.target, 0, src.length);
        }
    }

    uint16_t status = ParseArgumentsW(count, w.args, w.table, callFlags);

    for (size_t i = 0; i < records; i++) {
        OptionRecord &dst = table[i];
        const OptionRecordW &src = w.table[i];
        dst.flags = src.flags;
        if (IsStringKind(src.kind) && src.length != 0 && (src.flags & OPTION_SEEN) && dst.target != nullptr) {
            auto *out = static_cast<char *>(dst.target);
            size_t n = WideToMb(out, static_cast<const WCHAR *>(src.target), src.length - 1u);
            out[n] = '\0';
        }
    }
    return status;
}
