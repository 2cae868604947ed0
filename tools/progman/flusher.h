// Flushes files and directories to disk on a thread of its own, batch after
// batch in the order given, so that serving never waits for the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A file to flush, held by its descriptor (the batch closes it) so that the
// file written is the one flushed even when it was renamed or rotated away
// since; name is for the error.
struct HeldFile {
    int fd;
    std::string name;
};

// One flush: the doomed files unlinked, then the directories (fsync) and files
// (fdatasync) one by one when there are a few, else every file system that
// holds one of them whole, with one syncfs each (flusher.cpp says why). A path
// that is gone has nothing to unlink or flush.
struct FlushBatch {
    std::vector<std::string> doomed, dirs;
    std::vector<HeldFile> files;
    uint64_t ackedAt = 0;  // DdeNowMs of the first acknowledgement the batch makes durable; 0: none

    FlushBatch() = default;
    FlushBatch(FlushBatch &&other) noexcept { *this = std::move(other); }
    FlushBatch &operator=(FlushBatch &&other) noexcept;
    ~FlushBatch();
    bool empty() const { return doomed.empty() && dirs.empty() && files.empty(); }
};

// Carries out a batch; false, with *error, when a path or file could not be flushed.
bool FlushPaths(const FlushBatch &batch, std::string *error);

class Flusher {
public:
    Flusher();
    ~Flusher();  // flushes what was submitted, then ends the thread
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;

    // Batches queued while another is flushed are flushed together, after it.
    void Submit(FlushBatch batch);
    // Waits until everything submitted so far is on disk.
    void Drain();
    // Whether everything submitted so far is on disk, without waiting.
    bool Idle();
    // The first failure since the last call, or empty.
    std::string TakeError();
    // How long acknowledged changes waited for the disk since the last call:
    // "flush lag: N batches, p50 A ms, p99 B ms, max C ms, K over 100 ms", or empty when none did.
    std::string TakeLagSummary();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FlushBatch> queue_;
    bool busy_ = false, stop_ = false;
    std::string error_;
    std::vector<uint32_t> lagMs_;  // per batch with an acknowledgement: its first one to on disk
    unsigned delayMs_;  // test builds: a slow disk, each batch taking this much longer (PELLOR_FLUSH_DELAY_MS)
    std::thread thread_;
};
