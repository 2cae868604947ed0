// Running the real programs from tests: exit status and captured output, with
// a private emulated machine per test.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs program (a path) with args and extra environment entries ("NAME=value"),
// stdin from /dev/null, in the current directory. Kills it after timeoutMs.
RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}, int timeoutMs = 60000);

// build/bin/<name>
std::string BinPath(const std::string &name);

// A fresh private directory, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
