// Command-line splitting by the rules of the Windows C runtime.
#include "platform/posix/process/winargs.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> ModuleNameCandidates(const std::string &line) {
    std::vector<std::string> names;
    size_t i = 0;
    while (i < line.size() && Blank(line[i])) i++;
    if (i < line.size() && line[i] == '"') {
        size_t close = line.find('"', i + 1);
        names.push_back(line.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1));
        return names;
    }
    size_t start = i;
    for (; i <= line.size(); i++) {
        if (i < line.size() && !Blank(line[i])) continue;
        if (i > start && !Blank(line[i - 1])) names.push_back(line.substr(start, i - start));
    }
    return names;
}

std::vector<std::string> SplitCommandLine(const std::string &line) {
    std::vector<std::string> args;
    size_t i = 0, n = line.size();
    // The program name: quotes toggle grouping and are dropped; backslashes are literal.
    std::string name;
    bool quoted = false;
    for (; i < n; i++) {
        if (line[i] == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && Blank(line[i])) break;
        name += line[i];
    }
    args.push_back(name);
    for (;;) {
        while (i < n && Blank(line[i])) i++;
        if (i >= n) break;
        std::string arg;
        quoted = false;
        for (;;) {
            size_t slashes = 0;
            while (i < n && line[i] == '\\') {
                slashes++;
                i++;
            }
            bool copy = true;
            if (i < n && line[i] == '"') {
                // 2n backslashes + quote: n backslashes and a quote that toggles;
                // 2n+1: n backslashes and a literal quote. "" inside quotes is a quote.
                if (slashes % 2 == 0) {
                    if (quoted && i + 1 < n && line[i + 1] == '"') {
                        i++;
                    } else {
                        copy = false;
                        quoted = !quoted;
                    }
                }
                slashes /= 2;
            }
            arg.append(slashes, '\\');
            if (i >= n || (!quoted && Blank(line[i]))) break;
            if (copy) arg += line[i];
            i++;
        }
        args.push_back(arg);
    }
    return args;
}
