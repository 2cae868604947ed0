// Thread message queues: PostThreadMessageA, PeekMessageA, GetMessageA.
//
// A thread gets its queue the first time it asks for a message, as on Windows.
// Retrieving messages is also where this thread's DDE conversations are
// watched, so a server going away reaches the DDE callback from inside
// PeekMessageA or GetMessageA.
#include "platform/posix/dde/ddeinternal.h"

#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

struct Queue {
    std::deque<MSG> messages;
    int wake = -1;  // eventfd: counts posts, so a waiting GetMessageA wakes up
};

std::mutex queuesLock;
std::map<DWORD, std::shared_ptr<Queue>> queues;

// Removes the thread's queue when the thread ends.
struct QueueOwner {
    DWORD thread = 0;
    ~QueueOwner() {
        if (thread == 0) return;
        std::lock_guard<std::mutex> hold(queuesLock);
        auto it = queues.find(thread);
        if (it == queues.end()) return;
        close(it->second->wake);
        queues.erase(it);
    }
};
thread_local QueueOwner owner;

std::shared_ptr<Queue> ThisQueue() {
    DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> hold(queuesLock);
    auto it = queues.find(self);
    if (it != queues.end()) return it->second;
    auto q = std::make_shared<Queue>();
    q->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    queues[self] = q;
    owner.thread = self;
    return q;
}

// Only thread messages exist here: a null filter or (HWND)-1 matches them, a
// real window handle never does. WM_QUIT ignores the message range.
bool Matches(const MSG &m, HWND window, UINT first, UINT last) {
    if (window != nullptr && window != reinterpret_cast<HWND>(-1)) return false;
    if (m.message == WM_QUIT || (first == 0 && last == 0)) return true;
    return m.message >= first && m.message <= last;
}

// Takes the first matching message, clearing the wake-up count first so a
// post that races with this scan still wakes the next wait.
bool Take(Queue &q, LPMSG msg, HWND window, UINT first, UINT last, bool remove) {
    uint64_t count;
    if (read(q.wake, &count, sizeof count) < 0) {
        // nothing posted since the last look
    }
    std::lock_guard<std::mutex> hold(queuesLock);
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it)
        if (Matches(*it, window, first, last)) {
            *msg = *it;
            if (remove) q.messages.erase(it);
            return true;
        }
    return false;
}

}  // namespace

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(gettid()); }

BOOL WINAPI PostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> hold(queuesLock);
    auto it = queues.find(thread);
    if (it == queues.end()) {
        SetLastError(kErrorInvalidThreadId);
        return FALSE;
    }
    MSG m{};
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    it->second->messages.push_back(m);
    uint64_t one = 1;
    if (write(it->second->wake, &one, sizeof one) < 0) {
        // the counter is saturated: the waiter is awake anyway
    }
    return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    if (msg == nullptr) return FALSE;
    std::shared_ptr<Queue> q = ThisQueue();
    DdeThreadPump();
    return Take(*q, msg, window, first, last, (remove & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last) {
    if (msg == nullptr || (window != nullptr && window != reinterpret_cast<HWND>(-1))) {
        // No window of this thread receives messages: waiting would never end.
        SetLastError(kErrorInvalidWindowHandle);
        return -1;
    }
    std::shared_ptr<Queue> q = ThisQueue();
    for (;;) {
        DdeThreadPump();
        if (Take(*q, msg, window, first, last, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
        std::vector<int> fds;
        DdeThreadPollFds(&fds);
        std::vector<pollfd> watch;
        watch.push_back(pollfd{q->wake, POLLIN, 0});
        for (int fd : fds) watch.push_back(pollfd{fd, POLLIN, 0});
        if (poll(watch.data(), watch.size(), -1) < 0 && errno != EINTR) return -1;
    }
}

}  // extern "C"
