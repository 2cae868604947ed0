// Backups: each file goes to a temporary name in its directory, is flushed and renamed
// over its own name, so a reader (or a restore after a crash) sees it whole or not at all.
#include "backup/backup.h"

#include "platform/localtime.h"
#include "platform/syshooks.h"
#include "platform/win32.h"
#include "platform/wstr.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// Runs whose files the default directory keeps; older runs' files are removed.
constexpr size_t KeptRuns = 20;

struct Run {
    bool decided = false;
    bool wanted = false;
    bool rotate = false;  // the default directory: ours to tidy
    std::string dir;
    DWORD dirError = ERROR_SUCCESS;  // the default directory could not be made
    std::string stamp;               // <time>-<pid>, shared by the run's files
};
Run run;

std::string ErrorText(DWORD code) {
    char text[256];
    SystemErrorText(code, text, sizeof text);
    return text;
}

std::basic_string<WCHAR> Wide(const std::string &text) {
    std::basic_string<WCHAR> wide(text.size() + 1, 0);
    wide.resize(MbToWide(wide.data(), text.c_str(), wide.size()));
    return wide;
}

std::string Narrow(const WCHAR *text) {
    std::string narrow(WStrLen(text) * 3 + 1, '\0');
    narrow.resize(WideToMb(narrow.data(), text, narrow.size()));
    return narrow;
}

// YYYYMMDDTHHMMSS of the local time now.
std::string TimeStamp() {
    std::string iso = LocalTimeText(false);  // 2026-12-08T23:05:01+01:00
    std::string stamp;
    for (char c : iso.substr(0, 19))
        if (c != '-' && c != ':') stamp += c;
    return stamp;
}

bool IsOff(const char *text) {
    const char off[] = "off";
    for (size_t i = 0; i < sizeof off; i++)
        if ((text[i] | 0x20) != (off[i] | 0x20)) return false;
    return true;
}

void Decide() {
    if (run.decided) return;
    run.decided = true;
    run.stamp = TimeStamp() + "-" + std::to_string(CurrentProcessId());
    const char *named = std::getenv("PELLOR_BACKUP");
    if (named != nullptr && named[0] != '\0') {
        run.wanted = !IsOff(named);
        run.dir = named;
        return;
    }
    char dir[MAX_PATH * 4];
    DWORD error = DefaultBackupDir(dir, sizeof dir);
    if (error == ERROR_NOT_SUPPORTED) return;
    run.wanted = true;
    run.rotate = true;
    run.dir = dir;
    run.dirError = error;
}

std::string Join(const std::string &dir, const std::string &name) {
    bool ends = !dir.empty() && (dir.back() == '/' || dir.back() == PathSeparator);
    return ends ? dir + name : dir + PathSeparator + name;
}

// The run of a backup's file name, "<kind>-<time>-<pid>.<ext>" with lowercase kind and
// extension; empty for any other name, which is never ours to remove.
std::string RunOfName(const std::string &name) {
    auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0;
    while (i < name.size() && lower(name[i])) i++;
    if (i == 0 || i + 17 > name.size() || name[i] != '-') return "";
    size_t start = ++i;
    for (size_t k = 0; k < 15; k++, i++)
        if (k == 8 ? name[i] != 'T' : !digit(name[i])) return "";
    if (name[i++] != '-') return "";
    size_t pid = i;
    while (i < name.size() && digit(name[i])) i++;
    if (i == pid || i == name.size() || name[i] != '.') return "";
    size_t ext = ++i;
    while (i < name.size() && lower(name[i])) i++;
    if (i == ext || i != name.size()) return "";
    return name.substr(start, ext - 1 - start);
}

// Newer first: by time, then by process id (two runs in one second).
bool NewerRun(const std::string &a, const std::string &b) {
    if (a.compare(0, 15, b, 0, 15) != 0) return a.compare(0, 15, b, 0, 15) > 0;
    unsigned long pa = std::strtoul(a.c_str() + 16, nullptr, 10), pb = std::strtoul(b.c_str() + 16, nullptr, 10);
    return pa > pb;
}

// Removes the files of all but the newest runs; this run's files always stay.
void Rotate() {
    std::map<std::string, std::vector<std::string>> files;  // by run
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(Join(run.dir, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string name = Narrow(found.cFileName);
        std::string of = RunOfName(name);
        if (!of.empty()) files[of].push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::vector<std::string> runs;
    for (const auto &entry : files)
        if (entry.first != run.stamp) runs.push_back(entry.first);
    std::sort(runs.begin(), runs.end(), NewerRun);
    for (size_t i = KeptRuns - 1; i < runs.size(); i++)
        for (const std::string &name : files[runs[i]]) DeleteFileA(Join(run.dir, name).c_str());
}

// Writes bytes to a new file at temp, flushed; ERROR_SUCCESS or why not, with nothing left.
DWORD WriteNewFile(const std::string &temp, const void *bytes, size_t size) {
    auto create = [&] {
        return CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE file = create();
    // Left by a run that died with this time and id: ours to replace, and a link is removed, not followed.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && DeleteFileA(temp.c_str()))
        file = create();
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD error = ERROR_SUCCESS;
    const char *p = static_cast<const char *>(bytes);
    for (size_t done = 0; done < size && error == ERROR_SUCCESS;) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30)), written = 0;
        if (!WriteFile(file, p + done, chunk, &written, nullptr)) error = GetLastError();
        done += written;
    }
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
    if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
    if (error != ERROR_SUCCESS) DeleteFileA(temp.c_str());
    return error;
}

// Why dir cannot take a backup: it must be a directory that exists.
DWORD DirectoryError(const std::string &dir) {
    DWORD attributes = GetFileAttributesW(Wide(dir).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : GetLastError();
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

DWORD Write(const std::string &path, const void *bytes, size_t size) {
    std::string temp = path + ".tmp";
    DWORD error = WriteNewFile(temp, bytes, size);
    if (error != ERROR_SUCCESS) return error;
    if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        DeleteFileA(temp.c_str());
    }
    return error;
}

}  // namespace

bool BackupWanted() {
    Decide();
    return run.wanted;
}

bool BackupWrite(const char *kind, const char *extension, const void *bytes, size_t size, std::string *path,
                 std::string *error) {
    Decide();
    *path = run.dir;
    error->clear();
    DWORD status = !run.wanted ? ERROR_NOT_SUPPORTED : run.dirError;
    if (status == ERROR_SUCCESS) status = DirectoryError(run.dir);
    std::string name = std::string(kind) + "-" + run.stamp + extension;
    if (status == ERROR_SUCCESS && RunOfName(name) != run.stamp) status = ERROR_INVALID_NAME;
    if (status == ERROR_SUCCESS) {
        *path = Join(run.dir, name);
        status = Write(*path, bytes, size);
    }
    if (status != ERROR_SUCCESS) {
        *error = ErrorText(status);
        return false;
    }
    if (run.rotate) Rotate();
    return true;
}

void BackupForgetRun() { run = Run(); }
