#include "regsearch.h"

#include "regtext.h"

#include "platform/posix/registry/names.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace {

std::u16string Folded(std::u16string text) {
    for (char16_t &c : text) c = FoldUnit(c);
    return text;
}

bool TypeWanted(const SearchOptions &options, DWORD type) {
    return options.types.empty() || std::find(options.types.begin(), options.types.end(), type) != options.types.end();
}

// A value matches by its name or by its data as reg query shows it.
bool ValueMatches(const SearchOptions &options, const Value &v) {
    if (!TypeWanted(options, v.type)) return false;
    if (options.valueNames && SearchMatches(options, v.name)) return true;
    return options.data && SearchMatches(options, FromUtf8(FormatData(v.type, v.data)));
}

// The values of a key that match, under the key's path, and a blank line after them.
void PrintMatchingValues(const SearchOptions &options, const std::u16string &path, const std::vector<Value> &values,
                         unsigned *matches) {
    if (!options.valueNames && !options.data) return;
    bool header = false;
    for (const Value &v : values) {
        if (!ValueMatches(options, v)) continue;
        if (!header) std::printf("%s\n", ToUtf8(path).c_str());
        header = true;
        std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : ToUtf8(v.name).c_str(),
                    TypeName(v.type).c_str(), FormatData(v.type, v.data).c_str());
        ++*matches;
    }
    if (header) std::printf("\n");
}

}  // namespace

bool SearchMatches(const SearchOptions &options, const std::u16string &text) {
    if (options.pattern == u"*") return true;
    std::u16string hay = options.caseSensitive ? text : Folded(text);
    std::u16string needle = options.caseSensitive ? options.pattern : Folded(options.pattern);
    return options.exact ? hay == needle : hay.find(needle) != std::u16string::npos;
}

bool ParseSearchTypes(const std::u16string &text, std::vector<DWORD> *types) {
    for (size_t start = 0;;) {
        size_t comma = text.find(u',', start);
        std::u16string item = text.substr(start, comma == std::u16string::npos ? std::u16string::npos : comma - start);
        DWORD type = REG_NONE;
        if (!TypeFromName(item, TypeUse::Search, &type)) return false;
        types->push_back(type);
        if (comma == std::u16string::npos) return true;
        start = comma + 1;
    }
}

bool AsksForSearch(const Switches &options) {
    for (const char *name : {"f", "k", "d", "c", "e", "t"}) {
        if (options.count(name) != 0) return true;
    }
    return false;
}

bool TakeBareValueSwitch(std::vector<std::u16string> *args, size_t from) {
    auto isSwitch = [](const std::u16string &a, const char16_t *name) {
        return a.size() >= 2 && (a[0] == u'/' || a[0] == u'-') && SameName(a.substr(1), name);
    };
    auto first = args->begin() + static_cast<std::ptrdiff_t>(from);
    bool search = std::any_of(first, args->end(), [&](const std::u16string &a) { return isSwitch(a, u"f"); });
    if (!search) return false;
    for (size_t i = from; i < args->size(); i++) {
        if (!isSwitch((*args)[i], u"v")) continue;
        bool bare = i + 1 == args->size() || (*args)[i + 1].empty() || (*args)[i + 1][0] == u'/' ||
                    (*args)[i + 1][0] == u'-';
        if (!bare) return false;
        args->erase(args->begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }
    return false;
}

bool SearchFromSwitches(const Switches &options, bool valueNames, SearchOptions *search) {
    if (options.count("v") || options.count("ve")) return false;
    if (options.count("f")) search->pattern = options.at("f");
    if (search->pattern.empty()) return false;
    bool k = options.count("k") != 0, d = options.count("d") != 0;
    if (k || d || valueNames) {  // only where asked; by default keys, value names and data
        search->keys = k;
        search->valueNames = valueNames;
        search->data = d;
    } else if (options.count("t")) {
        search->keys = false;  // keys have no type: /t alone asks for values
    }
    search->caseSensitive = options.count("c") != 0;
    search->exact = options.count("e") != 0;
    search->recurse = options.count("s") != 0;
    return !options.count("t") || ParseSearchTypes(options.at("t"), &search->types);
}

LSTATUS SearchKey(HKEY key, const std::u16string &path, const SearchOptions &options, unsigned *matches) {
    auto printName = [&](const std::u16string &keyPath, const std::u16string &name) {
        if (!options.keys || !SearchMatches(options, name)) return;
        std::printf("%s\n", ToUtf8(keyPath).c_str());
        ++*matches;
    };
    return WalkTree(key, path, options.recurse,
                    [&](HKEY at, const std::u16string &atPath, const std::u16string &name) -> LSTATUS {
                        if (!name.empty()) printName(atPath, name);
                        std::vector<Value> values;
                        LSTATUS status = ListValues(at, &values);
                        if (status != ERROR_SUCCESS) return status;
                        PrintMatchingValues(options, atPath, values, matches);
                        if (options.recurse) return ERROR_SUCCESS;  // the walk shows the subkeys
                        std::vector<std::u16string> subkeys;
                        status = ListSubkeys(at, &subkeys);
                        for (const std::u16string &sub : subkeys) printName(atPath + u"\\" + sub, sub);
                        return status;
                    });
}
