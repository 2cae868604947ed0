// What this machine itself needs for the work of one Program Manager command,
// without any of our code: a local socket request and its reply, rewriting a
// small file and renaming it into place, and a rename.
//
//   floor_bench DIR [ROUNDS]     (default 20000 round trips; a quarter as many file operations)
//   floor_bench --flush DIR [DIRS [ROUNDS]]   (default 100 directories, 20 rounds)
//
// The second form weighs the ways to make a batch of changes durable, as the
// Program Manager's flusher must: DIRS directories each get a file renamed in
// them and a log gets a line, then the batch is flushed by fsync of each
// directory and fdatasync of the log one after the other ("each"), by the same
// calls issued together from 8 threads ("together"), or by one syncfs
// ("syncfs"). Milliseconds per batch, the mechanisms taking turns round by round.
//
// DIR is where the files go (a disk or tmpfs directory; a scratch directory is
// made and removed in it). Prints one line per measure, "name mean median p99
// max" in microseconds, for bench/floor.sh to read. The socket's other end is a
// child process, as progman is to upgrade; it is stopped by its pid at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMessage = 100;  // about one execute string, or its answer with the next request

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

void Report(const char *name, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    std::printf("%s %.2f %.2f %.2f %.2f\n", name, mean, at(0.5), at(0.99), samples.back());
}

bool Full(ssize_t n) { return n == static_cast<ssize_t>(kMessage); }

// Reads exactly one message; false at end of stream.
bool ReadMessage(int fd, char *buffer) {
    size_t got = 0;
    while (got < kMessage) {
        ssize_t n = recv(fd, buffer + got, kMessage - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Round trips to an echoing child process over a local stream socket.
bool RoundTrips(int rounds) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    pid_t child = fork();
    if (child < 0) return false;
    char buffer[kMessage];
    if (child == 0) {
        close(pair[0]);
        while (ReadMessage(pair[1], buffer))
            if (!Full(send(pair[1], buffer, kMessage, MSG_NOSIGNAL))) break;
        _exit(0);
    }
    close(pair[1]);
    std::memset(buffer, 'x', sizeof buffer);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(rounds));
    bool ok = true;
    for (int i = 0; ok && i < rounds; i++) {
        Clock::time_point start = Clock::now();
        ok = Full(send(pair[0], buffer, kMessage, MSG_NOSIGNAL)) && ReadMessage(pair[0], buffer);
        samples.push_back(Micros(start, Clock::now()));
    }
    close(pair[0]);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    if (ok) Report("roundtrip", samples);
    return ok;
}

// Writes a small file anew under a temporary name and renames it over the item.
bool Rewrites(int dirfd, int rounds) {
    std::string text(300, 'i');
    std::vector<double> samples;
    for (int i = 0; i < rounds; i++) {
        Clock::time_point start = Clock::now();
        int fd = openat(dirfd, ".tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ok = fd >= 0 && close(fd) == 0 && ok && renameat(dirfd, ".tmp", dirfd, "item.desktop") == 0;
        samples.push_back(Micros(start, Clock::now()));
        if (!ok) return false;
    }
    Report("rewrite", samples);
    return true;
}

// Renames the item away and back, one rename per sample.
bool Renames(int dirfd, int rounds) {
    std::vector<double> samples;
    const char *names[] = {"item.desktop", ".spare"};
    for (int i = 0; i < rounds; i++) {
        Clock::time_point start = Clock::now();
        bool ok = renameat(dirfd, names[i % 2], dirfd, names[(i + 1) % 2]) == 0;
        samples.push_back(Micros(start, Clock::now()));
        if (!ok) return false;
    }
    Report("rename", samples);
    return true;
}

// One batch's syncs, from threads threads at once (1: one after the other).
void SyncAll(const std::vector<int> &fds, size_t threads) {
    if (threads <= 1) {
        for (int fd : fds) fsync(fd);
        return;
    }
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; t++)
        pool.emplace_back([&fds, t, threads] {
            for (size_t i = t; i < fds.size(); i += threads) fsync(fds[i]);
        });
    for (std::thread &thread : pool) thread.join();
}

// The flush mechanisms against each other, on dirs directories under base.
int Flushes(const std::string &base, int dirs, int rounds) {
    std::vector<int> fds;
    for (int d = 0; d < dirs; d++) {
        std::string dir = base + "/g" + std::to_string(d);
        mkdir(dir.c_str(), 0700);
        fds.push_back(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        close(openat(fds.back(), "a", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    }
    int log = open((base + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    fds.push_back(log);
    const char *kinds[] = {"each", "together", "syncfs"};
    std::vector<double> samples[3];
    for (int r = 0; r < rounds * 3; r++) {
        for (int d = 0; d < dirs; d++) renameat(fds[d], r % 2 ? "b" : "a", fds[d], r % 2 ? "a" : "b");
        if (write(log, "a line of the journal\n", 22) != 22) return 1;
        Clock::time_point start = Clock::now();
        if (r % 3 == 2) syncfs(log);
        else SyncAll(fds, r % 3 == 0 ? 1 : 8);
        samples[r % 3].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    for (int k = 0; k < 3; k++) Report(kinds[k], samples[k]);
    for (int d = 0; d < dirs; d++) {
        for (const char *name : {"a", "b"}) unlinkat(fds[d], name, 0);
        close(fds[d]);
        rmdir((base + "/g" + std::to_string(d)).c_str());
    }
    close(log);
    unlink((base + "/log").c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--flush") == 0) {
        std::string dir = std::string(argv[2]) + "/pellor-flush-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) return 2;
        int status = Flushes(dir, argc > 3 ? std::max(1, std::atoi(argv[3])) : 100,
                             argc > 4 ? std::max(2, std::atoi(argv[4])) : 20);
        rmdir(dir.c_str());
        return status;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: floor_bench DIR [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 2 ? std::max(100, std::atoi(argv[2])) : 20000;
    std::string dir = std::string(argv[1]) + "/pellor-floor-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("floor: mkdtemp");
        return 2;
    }
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dirfd >= 0 && RoundTrips(rounds) && Rewrites(dirfd, rounds / 4) && Renames(dirfd, rounds / 4);
    if (dirfd >= 0) {
        for (const char *name : {"item.desktop", ".spare", ".tmp"}) unlinkat(dirfd, name, 0);
        close(dirfd);
    }
    rmdir(dir.c_str());
    if (!ok) std::perror("floor");
    return ok ? 0 : 1;
}
