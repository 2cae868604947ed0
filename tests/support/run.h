// Running the real programs from tests: exit status and captured output, with
// a private emulated machine per test.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs program (a path) with args and extra environment entries ("NAME=value"),
// stdin from /dev/null, in directory cwd (empty: the current one). Kills it after timeoutMs.
RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}, int timeoutMs = 60000, const std::string &cwd = "");

// Starts program in the background with its output discarded; its pid, or -1.
int StartProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {}, const std::string &cwd = "");

// Stops a process by its id when the guard ends (SIGKILL, then reaps it if it
// is our child), so that no test leaves a process behind, even when it fails.
class ProcessGuard {
  public:
    explicit ProcessGuard(int pid = -1) : pid_(pid) {}
    ~ProcessGuard() { Stop(); }
    ProcessGuard(const ProcessGuard &) = delete;
    ProcessGuard &operator=(const ProcessGuard &) = delete;
    void Watch(int pid) { pid_ = pid; }
    int pid() const { return pid_; }
    bool Alive() const;
    // Waits up to timeoutMs for the process to end by itself; true when it did.
    bool WaitExit(int timeoutMs);
    void Stop();

  private:
    int pid_;
};

// Polls until done() holds or timeoutMs pass; the last result of done().
bool WaitFor(const std::function<bool()> &done, int timeoutMs);

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
