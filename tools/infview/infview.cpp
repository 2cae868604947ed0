// infview: shows how the script reader takes INF scripts, line by line, and
// warns about the likely mistakes that the reader itself accepts silently.
// The listing goes to standard output, the warnings to standard error as
// "FILE:LINE: warning: TEXT", in file order, LINE being the line of the file
// where the logical line starts.
// Exit status, of the worst script: 0 clean, 1 with warnings, 2 when one cannot be read.
#include "checks.h"

#include "platform/escape.h"
#include "platform/win32.h"
#include "script/pool.h"
#include "script/script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char Usage[] =
    "usage: infview SCRIPT.inf... | --version | --help\n"
    "Lists each logical line of INF scripts as the icon upgrade reads them (standard output)\n"
    "and warns about likely mistakes as FILE:LINE: warning: TEXT (standard error).\n"
    "Exit status, of the worst script: 0 no warnings, 1 warnings, 2 a script cannot be read.\n";

// A logical line with its quote marks made visible, and its other control characters escaped.
std::string Visible(const char *line) {
    std::string s;
    for (const char *p = line; *p != '\0'; p++) {
        if (static_cast<unsigned char>(*p) == QUOTE_MARK)
            s += "\xE2\x90\x81";  // U+2401, the symbol for the quote mark byte
        else
            s += *p;
    }
    return EscapeControls(s);
}

// The script as the reader takes it, with the file line on which each logical line
// starts, and the file's bytes. False when it cannot be read: the reader's own
// answer decides that.
bool ReadScript(const char *path, std::string *image, std::string *lines, std::vector<uint32_t> *starts,
                std::string *why) {
    char *loaded = nullptr;
    uint32_t length = 0, count = 0;
    uint16_t status = LoadScript(path, &loaded, &length, &count);
    if (status != LOAD_OK) {
        *why = status == LOAD_NO_MEMORY                  ? "not enough memory"
               : GetLastError() == ERROR_FILE_TOO_LARGE ? "larger than the " + std::to_string(kMaxScriptSize) +
                                                              " bytes a script may hold"
                                                        : "cannot open or read the file";
        return false;
    }
    // Only the reader's answer counts: the listing comes from the mapped reading below.
    if (loaded != nullptr) PoolFree(loaded);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *image = bytes.str();
    std::string text = *image + "\n";
    if (!in || text.size() > UINT32_MAX - 1) {
        *why = "cannot open or read the file";
        return false;
    }
    lines->assign(text.size() + 1, '\0');
    starts->assign(std::count(text.begin(), text.end(), '\n') + 1, 0);
    lines->resize(TokenizeImageMapped(text.c_str(), lines->data(), starts->data()));
    return true;
}

// Lists and checks one script: 0 clean, 1 with warnings, 2 unreadable. With
// several scripts, each one's summary names it.
int View(const char *path, bool several) {
    std::string image, lines, why;
    std::vector<uint32_t> starts;
    if (!ReadScript(path, &image, &lines, &starts, &why)) {
        std::fprintf(stderr, "infview: cannot read %s (%s)\n", EscapeControls(path).c_str(), why.c_str());
        return 2;
    }

    Checker check(path);
    bool cutShort = check.CheckImage(image);
    uint32_t lineCount = CountLines(lines.data(), static_cast<uint32_t>(lines.size()));
    lines.push_back('\0');  // an unterminated last line reads as a string too
    char *cursor = lines.data();
    for (uint32_t i = 0; i < lineCount; i++) {
        uint32_t at = starts[i];
        std::printf("line %u: %s\n", at, Visible(cursor).c_str());
        std::fflush(stdout);
        check.CheckRaw(at, cursor);
        int isItem = 0;
        cursor = ParseLine(cursor, &isItem);
        if (!isItem) {
            std::printf("  group \"%s\"\n", Visible(groupName).c_str());
            check.CheckGroup(at, groupName);
            continue;
        }
        std::printf("  item in %s%s%s: name \"%s\", command \"%s\", icon file \"%s\", icon index \"%s\", flag word \"%s\"%s\n",
                    groupName ? "\"" : "", groupName ? Visible(groupName).c_str() : "(no group)", groupName ? "\"" : "",
                    Visible(itemName).c_str(), Visible(commandLine).c_str(), Visible(iconFile).c_str(),
                    Visible(iconIndexText).c_str(), Visible(flagWord).c_str(), (itemFlags & ITEM_VITAL) ? " (vital)" : "");
        check.CheckItem(at, groupName);
    }
    // A last line left open by a NUL byte is that byte's doing, told already.
    if (cursor < lines.data() + lines.size() - 1 && !cutShort) check.UnterminatedLine(starts[lineCount]);

    std::printf("%s%s%u line%s, %d warning%s\n", several ? EscapeControls(path).c_str() : "", several ? ": " : "",
                lineCount, lineCount == 1 ? "" : "s", check.Warnings(), check.Warnings() == 1 ? "" : "s");
    return check.Warnings() ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("infview %s\n", PELLOR_VERSION);
        return 0;
    }
    if (argc < 2) {
        std::fputs(Usage, stderr);
        return 2;
    }
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    int worst = 0;
    for (int i = 1; i < argc; i++) worst = std::max(worst, View(argv[i], argc > 2));
    return worst;
}
