// ParseArguments: the input is a selector byte and NUL-separated arguments. The
// selector picks the program's own option table or a table with every kind
// (each target in a heap block of exactly its length, so that AddressSanitizer
// sees a store beyond it), and the call flags.
#include "cmdline/arglist.h"
#include "cmdline/cmdline.h"
#include "options/options.h"
#include "support.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct KindRecord {
    const char *name;
    uint16_t kind;
    uint16_t length;  // bytes, or characters for the string kinds
};

// Every kind, with the lengths a caller gives; short strings so that cutting is reached.
const KindRecord kKinds[] = {
    {"/x", KIND_NONE, 0},          {"/f", KIND_BOOLEAN, 4},       {"/b", KIND_BYTE, 1},
    {"/c", KIND_CHAR, 2},          {"/s", KIND_STRING, 5},        {"/h", KIND_SHORT, 2},
    {"/us", KIND_USHORT, 2},       {"/n", KIND_LONG, 4},          {"/un", KIND_ULONG, 4},
    {"/xs", KIND_HEX_SHORT, 2},    {"/xl", KIND_HEX_LONG, 4},     {"/u", KIND_UINT, 4},
    {"/s2", KIND_STRING2, 3},      {"/s3", KIND_STRING3, 1},      {"/sb", KIND_STRIP_BACKSLASH, 4},
    {"-", KIND_BOOLEAN, 4},        {"/", KIND_STRING, 2},         {"first", KIND_STRING, 6},
    {"second", KIND_SHORT, 2},     {"rest", KIND_REST_OF_LINE, 12}, {"files", KIND_FILE_LIST, sizeof(FileListValue)},
};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// The every-kind table; bit 0 of mode drops the rest-of-line slot so that the file list is reached.
uint16_t ParseEveryKind(int count, char **argv, uint32_t flags, unsigned mode) {
    OptionRecord table[kKindCount + 1] = {};
    size_t n = 0;
    for (const KindRecord &k : kKinds) {
        if ((mode & 1) && k.kind == KIND_REST_OF_LINE) continue;
        size_t bytes = k.length;  // narrow string targets hold one byte a character
        table[n++] = {k.name, static_cast<uint16_t>((mode & 2) && k.kind == KIND_SHORT ? OPTION_REQUIRED : 0), k.kind,
                      k.length, bytes != 0 ? std::malloc(bytes) : nullptr};
    }
    for (size_t i = 0; i < n; i++)
        if (table[i].target != nullptr) std::memset(table[i].target, 0x5A, table[i].length);
    uint16_t status = ParseArguments(count, argv, table, flags);
    for (size_t i = 0; i < n; i++) {
        if (IsStringKind(table[i].kind) && (table[i].flags & OPTION_SEEN) && table[i].length != 0)
            FUZZ_CHECK(std::memchr(table[i].target, 0, table[i].length) != nullptr);  // a string stays terminated
        std::free(table[i].target);
    }
    // The parser keeps the file list for its caller; this caller is done with it.
    std::free(ArgList.vector);
    std::free(ArgList.buffer);
    init_arg_list(&ArgList, ARG_LIST_CAPACITY);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Wildcard arguments search the current directory: a small private tree.
    if (chdir(ScratchDir().c_str()) != 0) std::abort();
    for (const char *dir : {"sub", "sub/Deep", "other"})
        if (mkdir(dir, 0700) != 0) std::abort();
    for (const char *file : {"a.c", "B.TXT", "readme  .txt", "sub/x.c", "sub/W.txt", "sub/Deep/y.c", "other/z"}) {
        FILE *f = std::fopen(file, "w");
        if (f == nullptr) std::abort();
        std::fclose(f);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned selector = data[0];
    std::vector<std::string> args = SplitAtNul(data + 1, size - 1);
    if (args.size() > 64) return 0;
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int count = (selector & 0x80) ? 0 : static_cast<int>(args.size());
    const uint32_t flags = selector & 0x0F;

    if (selector & 0x10) {
        // The file-list slot searches the file system for wildcard arguments: the
        // walk stays in the empty scratch directory, never above it or at the root.
        for (const std::string &a : args)
            if (a.find("..") != std::string::npos || a.find(':') != std::string::npos ||
                ((a[0] == '\\' || a[0] == '/') && a.find_first_of("*?[") != std::string::npos))
                return 0;
        ParseEveryKind(count, argv.data(), flags, selector >> 5);
    } else {
        for (OptionRecord *r = OptionTable; r->name != nullptr; r++) r->flags = 0;
        ParseArguments(count, argv.data(), OptionTable, flags);
        FUZZ_CHECK(std::memchr(scriptPath, 0, sizeof scriptPath) != nullptr);
    }
    return 0;
}
