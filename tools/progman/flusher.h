// Flushes files and directories to disk on a thread of its own, batch after
// batch in the order given, so that serving never waits for the disk.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One flush, in this order: the doomed files unlinked, the files flushed with
// fdatasync, then the directories with fsync. A path that is gone has nothing
// to unlink or flush.
struct FlushBatch {
    std::vector<std::string> doomed, files, dirs;
    bool empty() const { return doomed.empty() && files.empty() && dirs.empty(); }
};

// Carries out a batch; false, with *error, when a path could not be flushed.
bool FlushPaths(const FlushBatch &batch, std::string *error);

class Flusher {
public:
    Flusher();
    ~Flusher();  // flushes what was submitted, then ends the thread
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;

    void Submit(FlushBatch batch);
    // Waits until everything submitted so far is on disk.
    void Drain();
    // Whether everything submitted so far is on disk, without waiting.
    bool Idle();
    // The first failure since the last call, or empty.
    std::string TakeError();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FlushBatch> queue_;
    bool busy_ = false, stop_ = false;
    std::string error_;
    unsigned delayMs_;  // test builds: a slow disk, each batch taking this much longer (PELLOR_FLUSH_DELAY_MS)
    std::thread thread_;
};
