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

// Stops a process by its id when the guard ends, so that no test leaves a
// process behind, even when it fails: SIGKILL, or with graceMs first SIGTERM
// and SIGKILL only if it lingers that long; then reaps it if it is our child.
class ProcessGuard {
  public:
    explicit ProcessGuard(int pid = -1, int graceMs = 0) : pid_(pid), graceMs_(graceMs) {}
    ~ProcessGuard() { Stop(); }
    ProcessGuard(const ProcessGuard &) = delete;
    ProcessGuard &operator=(const ProcessGuard &) = delete;
    void Watch(int pid) { pid_ = pid; }
    int pid() const { return pid_; }
    bool Alive() const { return !WaitExit(0); }
    // Waits up to timeoutMs for the process to end by itself; true when it did.
    // Never reaps, so that whoever started it still gets its exit status.
    bool WaitExit(int timeoutMs) const;
    void Kill(int signal);
    void Stop();

  private:
    int pid_;
    int graceMs_;
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

// A file's bytes, all of them (empty when it cannot be read); named apart from
// the Win32 ReadFile and WriteFile that tests of the platform call.
std::string ReadWholeFile(const std::string &path);
// Replaces the file's bytes with content; mode, when given, becomes the file's
// permissions; otherwise they stay as created or as they were.
void WriteWholeFile(const std::string &path, const std::string &content, int mode = -1);
