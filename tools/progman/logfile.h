// The Program Manager's text logs (journal.log, progman.log): lines are
// written at once, so that a killed server loses none, and reach the disk at
// Sync or in the flusher's batch. Past a size limit the file becomes <path>.1,
// replacing the older one.
//
// A power cut can leave the tail of a log unwritten while its size reached
// the disk: NUL bytes, or a line cut short. Opening the log cuts that tail off
// back to its last whole line, so that lines appended afterwards never follow
// a hole.
#pragma once

#include <cstdint>
#include <string>

class LogFile {
public:
    explicit LogFile(std::string path, int64_t limit = int64_t{1} << 20) : path_(std::move(path)), limit_(limit) {}
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // Opens the file unless it is open; false, with *problem, when it is not
    // a regular file of ours (a symlink, a FIFO, someone else's).
    bool Open(std::string *problem);
    // The bytes of a torn tail the last open cut off, once; 0 when none.
    int64_t TakeTrimmed();
    // Appends one line, time-stamped: "<time>\t<line>".
    bool Append(const std::string &line);
    // Flushes what was appended since the last Sync.
    bool Sync();
    // When lines were appended since the last Sync or TakeUnsynced, a new
    // descriptor of the file that holds them, whose flush is left to the
    // caller; else -1.
    int TakeUnsynced();
    const std::string &path() const { return path_; }

private:
    bool Reopen();
    bool Rotate();

    std::string path_;
    int64_t limit_;
    int fd_ = -1;
    int64_t size_ = 0;
    int64_t trimmed_ = 0;
    bool unsynced_ = false;
    std::string problem_;  // why the last open failed
};

// Writes all of text to fd, past interruptions; the bytes written.
size_t WriteAll(int fd, const std::string &text);
