#include "reg.h"

#include "regfile.h"
#include "regsearch.h"
#include "regtext.h"

#include "platform/posix/machine.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Args = std::vector<std::u16string>;

const char kUsage[] =
    "REG Operation [Parameter List]\n\n"
    "  Operation  [ QUERY | ADD | DELETE | IMPORT | EXPORT ]\n\n"
    "Return Code:\n\n"
    "  0 - Successful\n"
    "  1 - Failed\n\n"
    "For help on a specific operation type:\n\n"
    "  REG Operation /?\n";

const char kCanceled[] = "The operation was canceled by the user.";

struct Switch {
    const char *name;  // lowercase, without the leading / or -
    bool takesValue;
};

// The switches given, by name, with their values.
using Options = std::map<std::string, std::u16string>;

// Matches args[from...] against the operation's switches ("/v" or "-V"); false
// for an unknown or repeated switch, a switch without its value, or a stray word.
bool ParseSwitches(const Args &args, size_t from, const std::vector<Switch> &table, Options *out) {
    for (size_t i = from; i < args.size(); i++) {
        const std::u16string &arg = args[i];
        if (arg.size() < 2 || (arg[0] != u'/' && arg[0] != u'-')) return false;
        std::string name = ToUtf8(arg.substr(1));
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const Switch *match = nullptr;
        for (const Switch &s : table) {
            if (name == s.name) match = &s;
        }
        if (match == nullptr || out->count(name) != 0) return false;
        if (match->takesValue) {
            if (i + 1 >= args.size()) return false;
            (*out)[name] = args[++i];
        } else {
            (*out)[name] = std::u16string();
        }
    }
    if (out->count("reg:32") && out->count("reg:64")) return false;
    return true;
}

bool IsHelp(const std::u16string &arg) { return arg == u"/?" || arg == u"-?" || arg == u"/h" || arg == u"-h" || arg == u"/H" || arg == u"-H"; }

// Prints, one to a line, what the registry layer said about its refusals.
void PrintNotes(const std::vector<std::string> &notes) {
    for (const std::string &note : notes) std::fprintf(stderr, "%s\n", note.c_str());
}

// The error, followed by the registry layer's reasons for it.
int Fail(const std::string &message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    PrintNotes(TakePlatformNotes());
    return 1;
}

int SyntaxError(const char *operation) {
    return Fail(std::string("ERROR: Invalid syntax.\nType \"REG ") + operation + " /?\" for usage.");
}

int InvalidKey(const char *operation) {
    return Fail(std::string("ERROR: Invalid key name.\nType \"REG ") + operation + " /?\" for usage.");
}

int Succeed() {
    std::printf("%s\n", kSuccess);
    return 0;
}

int Canceled() {
    std::printf("%s\n", kCanceled);
    return 1;
}

// The value's name as stored (the spelling it was created with), for display.
std::u16string StoredName(HKEY key, const std::u16string &name) {
    std::vector<Value> values;
    ListValues(key, &values);
    for (const Value &v : values) {
        if (SameName(v.name, name)) return v.name;
    }
    return name;
}

LSTATUS GetValue(HKEY key, const std::u16string &name, Value *value) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        value->data.assign(size, '\0');
        status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type,
                                  reinterpret_cast<LPBYTE>(value->data.data()), &size);
        if (status == ERROR_SUCCESS) {
            value->data.resize(size);
            value->name = StoredName(key, name);
            return status;
        }
    }
    return status;
}

std::string DisplayName(const std::u16string &name) { return name.empty() ? "(Default)" : ToUtf8(name); }

void PrintValue(const Value &v) {
    std::printf("    %s    %s    %s\n", DisplayName(v.name).c_str(), TypeName(v.type).c_str(),
                FormatData(v.type, v.data).c_str());
}

// One key of a recursive query: its path, its values and a blank line.
LSTATUS PrintKey(HKEY key, const std::u16string &path) {
    std::vector<Value> values;
    LSTATUS status = ListValues(key, &values);
    if (status != ERROR_SUCCESS) return status;
    std::printf("%s\n", ToUtf8(path).c_str());
    for (const Value &v : values) PrintValue(v);
    std::printf("\n");
    return ERROR_SUCCESS;
}

// The keys at and below key that hold the value, printed as reg query /v /s does.
LSTATUS SearchValue(HKEY key, const std::u16string &path, const std::u16string &name, unsigned *matches) {
    return WalkTree(key, path, true, [&](HKEY at, const std::u16string &atPath, const std::u16string &) -> LSTATUS {
        Value v;
        LSTATUS status = GetValue(at, name, &v);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        std::printf("%s\n", ToUtf8(atPath).c_str());
        PrintValue(v);
        std::printf("\n");
        ++*matches;
        return ERROR_SUCCESS;
    });
}

// The end of a search as reg.exe prints it; status 1 when nothing matched.
int EndOfSearch(LSTATUS status, unsigned matches) {
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    std::printf("End of search: %u match(es) found.\n", matches);
    return matches > 0 ? 0 : 1;
}

int QueryKey(HKEY key, const KeyPath &path, const Options &options) {
    bool recurse = options.count("s") != 0;
    if (options.count("v") || options.count("ve")) {
        std::u16string name = options.count("v") ? options.at("v") : std::u16string();
        if (recurse) {
            unsigned matches = 0;
            std::printf("\n");
            LSTATUS status = SearchValue(key, path.display, name, &matches);
            return EndOfSearch(status, matches);
        }
        Value v;
        LSTATUS status = GetValue(key, name, &v);
        if (status == ERROR_FILE_NOT_FOUND && name.empty()) {
            std::printf("\n%s\n    (Default)    REG_SZ    (value not set)\n\n", ToUtf8(path.display).c_str());
            return 0;
        }
        if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
        std::printf("\n%s\n", ToUtf8(path.display).c_str());
        PrintValue(v);
        std::printf("\n");
        return 0;
    }
    std::vector<Value> values;
    std::vector<std::u16string> subkeys;
    LSTATUS status = ListValues(key, &values);
    if (status == ERROR_SUCCESS) status = ListSubkeys(key, &subkeys);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    // reg.exe prints the key's own path only when it has values to show under it.
    std::printf("\n");
    if (!values.empty()) {
        std::printf("%s\n", ToUtf8(path.display).c_str());
        for (const Value &v : values) PrintValue(v);
        std::printf("\n");
    }
    if (!recurse) {
        for (const std::u16string &name : subkeys) std::printf("%s\n", ToUtf8(path.display + u"\\" + name).c_str());
        return 0;
    }
    status = WalkTree(key, path.display, true, [](HKEY at, const std::u16string &atPath, const std::u16string &name) {
        return name.empty() ? LSTATUS(ERROR_SUCCESS) : PrintKey(at, atPath);  // the key itself is shown above
    });
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    return 0;
}

int Search(HKEY key, const KeyPath &path, const SearchOptions &search) {
    unsigned matches = 0;
    std::printf("\n");
    LSTATUS status = SearchKey(key, path.display, search, &matches);
    return EndOfSearch(status, matches);
}

int Query(const Args &given) {
    if (given.size() == 3 && IsHelp(given[2])) {
        std::printf("REG QUERY KeyName [/v [ValueName] | /ve] [/s] [/f Data [/k] [/d] [/c] [/e]] [/t Type]\n");
        return 0;
    }
    if (given.size() < 3) return SyntaxError("QUERY");
    KeyPath path;
    if (!ParseKeyPath(given[2], &path)) return InvalidKey("QUERY");
    Args args = given;
    bool valueNames = TakeBareValueSwitch(&args, 3);
    Options options;
    if (!ParseSwitches(args, 3,
                       {{"v", true}, {"ve", false}, {"s", false}, {"f", true}, {"k", false}, {"d", false},
                        {"c", false}, {"e", false}, {"t", true}, {"reg:32", false}, {"reg:64", false}},
                       &options) ||
        (options.count("v") && options.count("ve"))) {
        return SyntaxError("QUERY");
    }
    bool searching = valueNames || AsksForSearch(options);
    SearchOptions search;
    if (searching && !SearchFromSwitches(options, valueNames, &search)) return SyntaxError("QUERY");
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    int result = searching ? Search(key, path, search) : QueryKey(key, path, options);
    RegCloseKey(key);
    return result;
}

int Add(const Args &args) {
    if (args.size() == 3 && IsHelp(args[2])) {
        std::printf("REG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n");
        return 0;
    }
    if (args.size() < 3) return SyntaxError("ADD");
    KeyPath path;
    if (!ParseKeyPath(args[2], &path)) return InvalidKey("ADD");
    Options options;
    if (!ParseSwitches(args, 3,
                       {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false},
                        {"reg:32", false}, {"reg:64", false}},
                       &options) ||
        (options.count("v") && options.count("ve"))) {
        return SyntaxError("ADD");
    }
    DWORD type = REG_SZ;
    if (options.count("t") && !TypeFromName(options.at("t"), TypeUse::Add, &type)) return SyntaxError("ADD");
    bool haveSeparator = options.count("s") != 0;
    if (haveSeparator && options.at("s").size() != 1) return SyntaxError("ADD");
    std::string bytes, error;
    if (!ParseAddData(type, options.count("d") != 0, options.count("d") ? options.at("d") : std::u16string(),
                      haveSeparator ? options.at("s")[0] : u'\0', haveSeparator, &bytes, &error)) {
        return Fail(error);
    }
    std::u16string name = options.count("v") ? options.at("v") : std::u16string();
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(path.root, path.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    if (!options.count("f") && RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        !Confirm("Value " + DisplayName(name) + " exists, overwrite(Yes/No)? ")) {
        RegCloseKey(key);
        return Canceled();
    }
    status = RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    return Succeed();
}

int Delete(const Args &args) {
    if (args.size() == 3 && IsHelp(args[2])) {
        std::printf("REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n");
        return 0;
    }
    if (args.size() < 3) return SyntaxError("DELETE");
    KeyPath path;
    if (!ParseKeyPath(args[2], &path)) return InvalidKey("DELETE");
    Options options;
    if (!ParseSwitches(args, 3,
                       {{"v", true}, {"ve", false}, {"va", false}, {"f", false}, {"reg:32", false}, {"reg:64", false}},
                       &options) ||
        options.count("v") + options.count("ve") + options.count("va") > 1) {
        return SyntaxError("DELETE");
    }
    bool wholeKey = !options.count("v") && !options.count("ve") && !options.count("va");
    if (wholeKey && path.sub.empty()) return InvalidKey("DELETE");  // a root cannot be deleted
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    std::u16string name = options.count("v") ? options.at("v") : std::u16string();
    std::string question = wholeKey                ? "Permanently delete the registry key " + ToUtf8(path.display)
                           : options.count("va") ? "Delete all values under the registry key " + ToUtf8(path.display)
                                                 : "Delete the registry value " + DisplayName(name);
    if (!options.count("f") && !Confirm(question + " (Yes/No)? ")) {
        RegCloseKey(key);
        return Canceled();
    }
    if (wholeKey) {
        status = RegDeleteTreeW(path.root, path.sub.c_str());
    } else if (options.count("va")) {
        std::vector<Value> values;
        status = ListValues(key, &values);
        for (size_t i = 0; status == ERROR_SUCCESS && i < values.size(); i++) {
            status = IsWholeName(values[i].name) ? RegDeleteValueW(key, values[i].name.c_str())
                                                 : ERROR_INVALID_PARAMETER;
        }
    } else {
        status = RegDeleteValueW(key, name.c_str());
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    return Succeed();
}

bool ReadWholeFile(const std::string &path, std::string *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return false;
    *bytes = content.str();
    return true;
}

// Writes bytes to path through a temporary file and a rename, so that a failed
// export never leaves a half-written file in place of an old one.
bool WriteFileAtomically(const std::string &path, const std::string &bytes, std::string *error) {
    std::string temp = path + ".tmp" + std::to_string(getpid());
    FILE *f = std::fopen(temp.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr) ok = (std::fflush(f) == 0) && (fsync(fileno(f)) == 0) && ok;
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        *error = std::strerror(errno);
        std::remove(temp.c_str());
    }
    return ok;
}

int Import(const Args &args) {
    if (args.size() == 3 && IsHelp(args[2])) {
        std::printf("REG IMPORT FileName\n");
        return 0;
    }
    Options options;
    if (args.size() < 3 || !ParseSwitches(args, 3, {{"reg:32", false}, {"reg:64", false}}, &options)) {
        return SyntaxError("IMPORT");
    }
    std::string file = ToUtf8(args[2]);
    std::string bytes;
    if (!ReadWholeFile(file, &bytes))
        return Fail("ERROR: Error opening the file. There may be a disk or file system error.");
    std::vector<ImportProblem> problems;
    ImportResult result = ImportRegText(DecodeRegFile(bytes), &problems);
    if (result == IMPORT_NOT_REG_FILE) {
        return Fail("ERROR: The specified file is not a registry script. You can only import binary registry files "
                    "from within the registry editor.");
    }
    for (const ImportProblem &p : problems) {
        std::fprintf(stderr, "ERROR: %s, line %zu: %s; %s\n", file.c_str(), p.line, p.reason.c_str(),
                     p.stopped ? "the import stopped there." : "the line was skipped.");
        PrintNotes(p.notes);
    }
    if (result == IMPORT_PROBLEMS) return Fail("ERROR: Not all data was successfully written to the registry.");
    return Succeed();
}

int Export(const Args &args) {
    if (args.size() == 3 && IsHelp(args[2])) {
        std::printf("REG EXPORT KeyName FileName [/y]\n");
        return 0;
    }
    if (args.size() < 4) return SyntaxError("EXPORT");
    KeyPath path;
    if (!ParseKeyPath(args[2], &path)) return InvalidKey("EXPORT");
    Options options;
    if (!ParseSwitches(args, 4, {{"y", false}, {"reg:32", false}, {"reg:64", false}}, &options)) {
        return SyntaxError("EXPORT");
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    std::string bytes = ExportRegFile(key, path.display, &status);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status));
    std::string file = ToUtf8(args[3]);
    struct stat st {};
    if (!options.count("y") && stat(file.c_str(), &st) == 0 &&
        !Confirm("File " + file + " already exists. Overwrite (Yes/No)? ")) {
        return Canceled();
    }
    std::string error;
    if (!WriteFileAtomically(file, bytes, &error)) return Fail("ERROR: " + file + ": " + error);
    return Succeed();
}

struct Operation {
    const char16_t *name;
    int (*run)(const Args &);
};

const Operation kOperations[] = {
    {u"query", Query}, {u"add", Add}, {u"delete", Delete}, {u"import", Import}, {u"export", Export},
};

}  // namespace

int RegMain(int argc, char **argv) {
    Args args;
    for (int i = 0; i < argc; i++) args.push_back(FromUtf8(argv[i]));
    if (args.size() < 2) return Fail("ERROR: Invalid syntax.\nType \"REG /?\" for usage.");
    if (IsHelp(args[1])) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (args.size() == 2 && args[1] == u"--version") {
        std::printf("reg %s\n", PELLOR_VERSION);
        return 0;
    }
    std::u16string op = args[1];
    for (char16_t &c : op) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    for (const Operation &o : kOperations) {
        if (op != o.name) continue;
        int status = o.run(args);
        PrintNotes(TakePlatformNotes());  // nothing the registry layer said goes unshown
        return status;
    }
    return Fail("ERROR: Invalid argument/option - '" + ToUtf8(args[1]) + "'.\nType \"REG /?\" for usage.");
}
