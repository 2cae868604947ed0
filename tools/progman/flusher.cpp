// The flushing thread.
#include "flusher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lag samples kept between two summaries: hours of batches at the busiest.
constexpr size_t kMaxLagSamples = 100000;
// What the README promises an acknowledgement waits for the disk at most, bar one in a
// hundred: the summary counts the batches past it, so that runs can be added up.
constexpr uint32_t kPromisedLagMs = 100;
// A batch of up to this many directories and files is synced one by one; a
// larger one with a syncfs of each file system it touches. An upgrade's
// batches of a few ms hold a directory or two and the journal: each fsync took
// under 1 ms with two busy loops on the build machine, where a syncfs in the
// same runs took 21 ms on average and up to 160 ms, as it writes whatever
// else is dirty on the file system. Past a few, the one syncfs wins: 6-19 ms
// for 100 or 1,000 directories where their fsyncs took 130-525 ms.
constexpr size_t kSyncEachUpTo = 8;

// Why a path could not be flushed, from errno; empty for a path that is gone
// (ENOENT), which has nothing to flush.
std::string Failure(const std::string &path) {
    return errno == ENOENT ? std::string() : "cannot flush " + path + ": " + std::strerror(errno);
}

// The file systems a batch touches: one open descriptor of each, and a name for its error.
struct FileSystems {
    std::vector<dev_t> devices;
    std::vector<int> fds;
    std::vector<std::string> names;
    std::vector<int> owned;  // descriptors opened here, closed at the end

    ~FileSystems() {
        for (int fd : owned) close(fd);
    }
    // Notes fd's file system; true when fd is kept to stand for it.
    bool Note(int fd, const std::string &name) {
        struct stat st {};
        if (fstat(fd, &st) != 0) return false;
        for (dev_t d : devices)
            if (d == st.st_dev) return false;
        devices.push_back(st.st_dev);
        fds.push_back(fd);
        names.push_back(name);
        return true;
    }
};

// A directory is opened never through a symlink and never waiting on a FIFO.
std::string FlushDir(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure(path);
    std::string failed = fsync(fd) == 0 ? std::string() : Failure(path);
    close(fd);
    return failed;
}

std::string NoteDir(FileSystems &systems, const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure(path);
    if (systems.Note(fd, path)) systems.owned.push_back(fd);
    else close(fd);
    return std::string();
}

// The p-th fraction of sorted samples.
uint32_t Percentile(const std::vector<uint32_t> &sorted, double p) {
    return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Batches waiting in the queue become one, flushed together.
void Merge(FlushBatch &into, FlushBatch &from) {
    into.doomed.insert(into.doomed.end(), from.doomed.begin(), from.doomed.end());
    into.dirs.insert(into.dirs.end(), from.dirs.begin(), from.dirs.end());
    into.files.insert(into.files.end(), from.files.begin(), from.files.end());
    from.files.clear();  // their descriptors now belong to into
    if (into.ackedAt == 0 || (from.ackedAt != 0 && from.ackedAt < into.ackedAt)) into.ackedAt = from.ackedAt;
}

#ifdef PELLOR_PROGMAN_TEST_TIMES
// Test builds only: PELLOR_FLUSH_DELAY_MS (at most a minute) makes every batch
// slow, as on a loaded disk, for the tests of an exit that waits for its flush.
unsigned TestDelayMs() {
    const char *text = std::getenv("PELLOR_FLUSH_DELAY_MS");
    return text == nullptr ? 0 : static_cast<unsigned>(std::min(std::strtoul(text, nullptr, 10), 60000UL));
}
#else
unsigned TestDelayMs() { return 0; }
#endif

}  // namespace

FlushBatch &FlushBatch::operator=(FlushBatch &&other) noexcept {
    if (this == &other) return *this;
    for (const HeldFile &f : files) close(f.fd);
    doomed = std::move(other.doomed);
    dirs = std::move(other.dirs);
    files = std::move(other.files);
    ackedAt = other.ackedAt;
    other.files.clear();
    return *this;
}

FlushBatch::~FlushBatch() {
    for (const HeldFile &f : files) close(f.fd);
}

namespace {

// A small batch, each directory and file by itself.
std::string SyncEach(const FlushBatch &batch) {
    std::string failure;
    for (const std::string &dir : batch.dirs)
        if (std::string f = FlushDir(dir); !f.empty() && failure.empty()) failure = f;
    for (const HeldFile &f : batch.files)
        if (fdatasync(f.fd) != 0 && failure.empty()) failure = "cannot flush " + f.name + ": " + std::strerror(errno);
    return failure;
}

}  // namespace

bool FlushPaths(const FlushBatch &batch, std::string *error) {
    for (const std::string &path : batch.doomed) unlink(path.c_str());
    if (batch.dirs.size() + batch.files.size() <= kSyncEachUpTo) {
        *error = SyncEach(batch);
        return error->empty();
    }
    std::string failure;
    FileSystems systems;
    for (const std::string &dir : batch.dirs)
        if (std::string f = NoteDir(systems, dir); !f.empty() && failure.empty()) failure = f;
    for (const HeldFile &f : batch.files) systems.Note(f.fd, f.name);
    for (size_t i = 0; i < systems.fds.size(); i++)
        if (syncfs(systems.fds[i]) != 0 && failure.empty())
            failure = "cannot flush " + systems.names[i] + ": " + std::strerror(errno);
    if (!failure.empty()) *error = failure;
    return failure.empty();
}

Flusher::Flusher() : delayMs_(TestDelayMs()), thread_([this] { Run(); }) {}

Flusher::~Flusher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Flusher::Submit(FlushBatch batch) {
    if (batch.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(batch));
    }
    changed_.notify_all();
}

void Flusher::Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

bool Flusher::Idle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && !busy_;
}

std::string Flusher::TakeLagSummary() {
    std::vector<uint32_t> lags;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lags.swap(lagMs_);
    }
    if (lags.empty()) return std::string();
    std::sort(lags.begin(), lags.end());
    return "flush lag: " + std::to_string(lags.size()) + " batches, p50 " + std::to_string(Percentile(lags, 0.5)) +
           " ms, p99 " + std::to_string(Percentile(lags, 0.99)) + " ms, max " + std::to_string(lags.back()) + " ms, " +
           std::to_string(lags.end() - std::upper_bound(lags.begin(), lags.end(), kPromisedLagMs)) + " over " +
           std::to_string(kPromisedLagMs) + " ms";
}

std::string Flusher::TakeError() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string error;
    error.swap(error_);
    return error;
}

// Batches run one at a time, those waiting merged into one; the queue is
// emptied before the thread ends.
void Flusher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        FlushBatch batch = std::move(queue_.front());
        queue_.pop_front();
        for (; !queue_.empty(); queue_.pop_front()) Merge(batch, queue_.front());
        busy_ = true;
        lock.unlock();
        if (delayMs_ != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
        std::string error;
        bool ok = FlushPaths(batch, &error);
        uint64_t done = NowMs();
        lock.lock();
        busy_ = false;
        if (batch.ackedAt != 0 && lagMs_.size() < kMaxLagSamples)
            lagMs_.push_back(static_cast<uint32_t>(done - batch.ackedAt));
        if (!ok && error_.empty()) error_ = error;
        changed_.notify_all();
    }
}
