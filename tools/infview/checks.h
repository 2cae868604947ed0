// infview's checks: the mistakes in a script that the reader accepts silently,
// reported compiler-style as "FILE:LINE: warning: TEXT" on standard error.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class Checker {
  public:
    explicit Checker(std::string file) : file_(std::move(file)) {}

    // Checks the file's bytes as a whole: a byte-order mark, UTF-16, a NUL byte that
    // ends the script early. True when the reader stopped short of the file's end.
    bool CheckImage(const std::string &image);
    // Checks the raw logical line (quote marks still in it) before the parser cuts it.
    void CheckRaw(uint32_t fileLine, const char *line);
    // Checks a group header after the parser has cut it.
    void CheckGroup(uint32_t fileLine, const char *group);
    // Checks an item line after the parser has cut it (group may be null).
    void CheckItem(uint32_t fileLine, const char *group);
    // Warns that the script ends inside a continued line that starts on fileLine.
    void UnterminatedLine(uint32_t fileLine);

    int Warnings() const { return warnings_; }

  private:
    void Warn(uint32_t fileLine, const std::string &text);
    void CheckField(uint32_t fileLine, const char *what, const char *value, bool sentToProgman);
    void CheckLength(uint32_t fileLine, const char *command, size_t length);
    void CheckDuplicate(uint32_t fileLine, const char *group);

    std::string file_;
    int warnings_ = 0;
    // Lower-cased group name -> lower-cased item name -> the file line of its first item.
    std::map<std::string, std::map<std::string, uint32_t>> items_;
};
