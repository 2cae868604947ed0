// Flushes files and directories to disk on a thread of its own, batch after
// batch in the order given, so that serving never waits for the disk.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Flushes each path: files with fdatasync, then directories with fsync. A path
// that is gone has nothing to flush. False, with *error, when one could not be.
bool FlushPaths(const std::vector<std::string> &files, const std::vector<std::string> &dirs, std::string *error);

class Flusher {
public:
    Flusher();
    ~Flusher();  // flushes what was submitted, then ends the thread
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;

    void Submit(std::vector<std::string> files, std::vector<std::string> dirs);
    // Waits until everything submitted so far is on disk.
    void Drain();
    // The first failure since the last call, or empty.
    std::string TakeError();

private:
    struct Batch {
        std::vector<std::string> files, dirs;
    };
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> queue_;
    bool busy_ = false, stop_ = false;
    std::string error_;
    std::thread thread_;
};
