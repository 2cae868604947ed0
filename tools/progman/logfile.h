// The Program Manager's text logs (journal.log, progman.log): lines are
// written at once, so that a killed server loses none, and reach the disk at
// Sync. Past a size limit the file becomes <path>.1, replacing the older one.
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
    // Appends one line, time-stamped: "<time>\t<line>".
    bool Append(const std::string &line);
    // Flushes what was appended since the last Sync.
    bool Sync();
    // Whether lines were appended since the last Sync or TakeUnsynced, which
    // leaves their flush to the caller.
    bool TakeUnsynced();
    const std::string &path() const { return path_; }

private:
    bool Reopen();
    bool Rotate();

    std::string path_;
    int64_t limit_;
    int fd_ = -1;
    int64_t size_ = 0;
    bool unsynced_ = false;
    std::string problem_;  // why the last open failed
};

// Writes all of text to fd, past interruptions; the bytes written.
size_t WriteAll(int fd, const std::string &text);
