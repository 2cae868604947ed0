// The flushing thread.
#include "flusher.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Why a path could not be flushed, from errno; empty for a path that is gone
// (ENOENT), which has nothing to flush.
std::string Failure(const std::string &path) {
    return errno == ENOENT ? std::string() : "cannot flush " + path + ": " + std::strerror(errno);
}

// A directory is opened never through a symlink and never waiting on a FIFO.
std::string FlushDir(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure(path);
    std::string failed = fsync(fd) == 0 ? std::string() : Failure(path);
    close(fd);
    return failed;
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
    other.files.clear();
    return *this;
}

FlushBatch::~FlushBatch() {
    for (const HeldFile &f : files) close(f.fd);
}

bool FlushPaths(const FlushBatch &batch, std::string *error) {
    for (const std::string &path : batch.doomed) unlink(path.c_str());
    std::string failure;
    for (const std::string &dir : batch.dirs)
        if (std::string f = FlushDir(dir); !f.empty() && failure.empty()) failure = f;
    for (const HeldFile &f : batch.files)
        if (fdatasync(f.fd) != 0 && failure.empty()) failure = "cannot flush " + f.name + ": " + std::strerror(errno);
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

std::string Flusher::TakeError() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string error;
    error.swap(error_);
    return error;
}

// Batches run one at a time and in order; the queue is emptied before the thread ends.
void Flusher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        FlushBatch batch = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        if (delayMs_ != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
        std::string error;
        bool ok = FlushPaths(batch, &error);
        lock.lock();
        busy_ = false;
        if (!ok && error_.empty()) error_ = error;
        changed_.notify_all();
    }
}
