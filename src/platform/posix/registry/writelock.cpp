#include "platform/posix/registry/writelock.h"

#include "platform/posix/machine.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The signal that interrupts a wait that has lasted too long. Its handler does
// nothing: the point is that fcntl returns EINTR.
int WakeSignal() { return SIGRTMIN + 2; }

void IgnoreWake(int) {}

// Installs the no-op handler once, unless the program already handles the signal.
void PrepareWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(WakeSignal(), nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
        struct sigaction act {};
        act.sa_handler = IgnoreWake;  // no SA_RESTART: the wait must end
        sigemptyset(&act.sa_mask);
        sigaction(WakeSignal(), &act, nullptr);
    });
}

int SetLock(int fd, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
}

// A one-shot timer that sends WakeSignal() to this thread after ms.
class WakeTimer {
public:
    explicit WakeTimer(unsigned ms) {
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = WakeSignal();
        ev._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        if (timer_create(CLOCK_MONOTONIC, &ev, &timer_) != 0) return;
        armed_ = true;
        itimerspec spec{};
        spec.it_value.tv_sec = ms / 1000;
        spec.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
        timer_settime(timer_, 0, &spec, nullptr);
    }
    ~WakeTimer() {
        if (armed_) timer_delete(timer_);
    }
    bool armed() const { return armed_; }

private:
    timer_t timer_{};
    bool armed_ = false;
};

timespec Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

long ElapsedMs(const timespec &since) {
    timespec now = Now();
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

}  // namespace

int OpenWriteLock(const std::string &path, std::string *problem) {
    // A side file left loose by an older version is tightened; a link, a FIFO
    // or someone else's file is refused.
    return OpenPrivateFile(path, O_RDWR | O_CREAT, PRIVATE_WRITE, problem);
}

LSTATUS AcquireWriteLock(int fd, unsigned timeoutMs) {
    if (SetLock(fd, F_WRLCK, false) == 0) return ERROR_SUCCESS;
    if (errno != EACCES && errno != EAGAIN) return ERROR_REGISTRY_IO_FAILED;
    PrepareWakeSignal();
    sigset_t wake, old;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, &old);
    timespec start = Now();
    LSTATUS status = ERROR_TIMEOUT;
    for (;;) {
        long left = static_cast<long>(timeoutMs) - ElapsedMs(start);
        if (left <= 0) break;
        WakeTimer timer(static_cast<unsigned>(left));
        if (!timer.armed()) {
            status = ERROR_OUTOFMEMORY;
            break;
        }
        if (SetLock(fd, F_WRLCK, true) == 0) {
            status = ERROR_SUCCESS;
            break;
        }
        if (errno != EINTR) {
            status = errno == EDEADLK ? ERROR_TIMEOUT : ERROR_REGISTRY_IO_FAILED;
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return status;
}

void ReleaseWriteLock(int fd) { SetLock(fd, F_UNLCK, false); }

pid_t WriteLockHolder(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    return fl.l_pid > 0 ? fl.l_pid : -1;
}
