// The serving side of local DDE: accepts conversations on the service's socket
// and turns frames into handler calls. Every frame is checked; a client that
// breaks the protocol, stays silent after connecting or after its last
// exchange, or stops reading its answers is dropped, and the others are served
// on. Sockets are non-blocking and answers wait in a queue per conversation
// until the socket takes them, so no client holds up another.
#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kHelloTimeoutMs = 5000;  // a connected socket must greet within this
constexpr size_t kMaxConversations = 64;
// Unsent answers past this mean a client that does not read: a DDEML client
// waits for each answer, and even window requests sent without waiting leave
// only 16 bytes each. The bound keeps 64 such clients within 16 MiB.
constexpr size_t kMaxQueuedBytes = 256 * 1024;
// A conversation with nothing received, queued or taken for this long is
// closed: a run of upgrade talks all the time, a person's test client may sit
// a while, a forgotten one must not hold a place (nor an exit) for ever.
constexpr uint64_t kIdleTimeoutMs = 5 * 60 * 1000;
// A full table gives the place of the conversation idle longest to a newcomer,
// if that one has been idle this long: a client between two commands is not
// quiet for a second, one that holds a place without using it is.
constexpr uint64_t kEvictIdleMs = 1000;
// Frames served for one conversation before the others get their turn.
constexpr int kFramesPerTurn = 64;

struct Peer {
    int fd = -1;
    int pid = -1;
    bool greeted = false;
    bool deaf = false;     // takes no answer: what it sent is served, but not answered
    bool eof = false;      // the client closed its end
    bool drained = false;  // a deaf peer's last input has been read
    bool backlog = false;  // complete frames wait in the reader for the next turn
    bool stalled = false;  // the socket took not all answers: POLLOUT says when it takes more
    uint64_t helloDeadline = 0;
    uint64_t lastActivity = 0;  // when something was last received, queued or taken
    DdeFrameReader reader;
    std::vector<uint8_t> outbox;  // answers the socket has not taken yet
};

}  // namespace

struct DdeServer {
    std::string service;
    std::string dir;
    int listenFd = -1;
    DdeServerConv next = 1;
    uint64_t idleMs = kIdleTimeoutMs;
    uint64_t evictMs = kEvictIdleMs;
    std::map<DdeServerConv, Peer> peers;
};

namespace {

#ifdef PELLOR_DDE_TEST_TIMES
// Test builds only: the environment may set the idle time-out and the idleness
// that makes a conversation give way (ms, at most a day), so that tests need
// not wait minutes.
void ReadTestTimes(DdeServer *s) {
    for (auto [name, value] : {std::pair{"PELLOR_DDE_IDLE_MS", &s->idleMs}, {"PELLOR_DDE_EVICT_MS", &s->evictMs}})
        if (const char *text = std::getenv(name); text != nullptr && text[0] != '\0')
            *value = std::min<uint64_t>(std::strtoull(text, nullptr, 10), 24 * 3600 * 1000);
}
#else
void ReadTestTimes(DdeServer *) {}
#endif

void DropPeer(DdeServer *s, DdeServerConv conv, DdeServerHandler *handler) {
    auto it = s->peers.find(conv);
    if (it == s->peers.end()) return;
    close(it->second.fd);
    bool greeted = it->second.greeted;
    s->peers.erase(it);
    if (greeted && handler != nullptr) handler->OnDisconnect(conv);
}

// Hands queued answers to the socket, as much as it takes now. A peer whose
// socket fails has gone: it becomes deaf.
void Flush(DdeServerConv conv, Peer &p, DdeServerHandler &handler) {
    size_t sent = 0;
    while (sent < p.outbox.size()) {
        ssize_t n = send(p.fd, p.outbox.data() + sent, p.outbox.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            handler.OnProblem(conv, "client went away before its answer");
            p.deaf = true;
            p.outbox.clear();
            return;
        }
    }
    p.stalled = sent < p.outbox.size();
    if (sent == 0) return;
    p.outbox.erase(p.outbox.begin(), p.outbox.begin() + static_cast<long>(sent));
    p.lastActivity = DdeNowMs();
}

// Sends the answers of this turn together, so that the client wakes once for
// all that one read brought in; a socket that was full waits for POLLOUT.
void SendAnswers(DdeServer *s, DdeServerConv conv, DdeServerHandler &handler) {
    auto it = s->peers.find(conv);
    if (it != s->peers.end() && !it->second.outbox.empty() && !it->second.stalled) Flush(conv, it->second, handler);
}

// Queues an answer, sent with the others of its turn. A peer that lets its
// queue pass kMaxQueuedBytes does not read: it becomes deaf.
void Answer(DdeServerConv conv, Peer &p, const std::vector<uint8_t> &frame, DdeServerHandler &handler) {
    if (p.deaf) return;
    p.outbox.insert(p.outbox.end(), frame.begin(), frame.end());
    p.lastActivity = DdeNowMs();
    if (p.outbox.size() > kMaxQueuedBytes) {
        handler.OnProblem(conv, "client does not read its answers: no longer answered");
        p.deaf = true;
        std::vector<uint8_t>().swap(p.outbox);
    }
}

// The conversation idle longest, if it has been idle at least evictMs; 0 when none.
DdeServerConv IdleLongest(DdeServer *s, uint64_t now) {
    DdeServerConv found = 0;
    uint64_t oldest = UINT64_MAX;
    for (auto &[conv, p] : s->peers)
        if (now - p.lastActivity >= s->evictMs && p.lastActivity < oldest) {
            oldest = p.lastActivity;
            found = conv;
        }
    return found;
}

// Tells a client there is no room for it and closes its socket. The answer
// comes before its greeting is read; a fresh socket always takes it.
void TurnAway(int fd) {
    std::vector<uint8_t> busy = DdeEncodeU32Pair(DDE_FRAME_WELCOME, 0, DDE_WELCOME_BUSY, 0);
    (void)send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // Closing over an unread greeting would reset the stream, and the client would never read its answer.
    char greeting[2 * (kDdeMaxName + 1) + kDdeHeaderSize];
    while (recv(fd, greeting, sizeof greeting, MSG_DONTWAIT) > 0) {
    }
    close(fd);
}

void AcceptPeers(DdeServer *s, DdeServerHandler &handler) {
    for (;;) {
        int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        std::string who;
        if (!DdePeerIsUs(fd, &who)) {
            handler.OnProblem(0, "refused a conversation from " + who + ": not our user");
            close(fd);
            continue;
        }
        uint64_t now = DdeNowMs();
        if (s->peers.size() >= kMaxConversations) {
            DdeServerConv victim = IdleLongest(s, now);
            if (victim == 0) {
                handler.OnProblem(0, "too many conversations: one turned away as busy");
                TurnAway(fd);
                continue;
            }
            handler.OnProblem(victim, "too many conversations: the one idle longest is closed");
            DropPeer(s, victim, &handler);
        }
        Peer &p = s->peers[s->next++];
        p.fd = fd;
        ucred cred{};
        socklen_t size = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) p.pid = cred.pid;
        p.helloDeadline = now + kHelloTimeoutMs;
        p.lastActivity = now;
    }
}

// Queues an answer for a conversation that the handler may have ended meanwhile.
void AnswerIfOpen(DdeServer *s, DdeServerConv conv, const std::vector<uint8_t> &frame, DdeServerHandler &handler) {
    auto it = s->peers.find(conv);
    if (it != s->peers.end()) Answer(conv, it->second, frame, handler);
}

// The DATA frame that answers a request: the item's data when the handler has
// it and it fits a frame, else a refusal.
std::vector<uint8_t> DataAnswer(DdeServerConv conv, const DdeFrame &f, DdeServerHandler &handler) {
    std::string item(reinterpret_cast<const char *>(f.payload.data()) + 4), data;
    bool found = handler.OnRequest(conv, item, DdePayloadU32(f), &data);
    if (found && data.size() > kDdeMaxData) {
        handler.OnProblem(conv, "the data of " + item + " is too long for one answer: refused");
        found = false;
    }
    std::vector<uint8_t> payload(4 + (found ? data.size() : 0));
    uint32_t status = found ? kDdeDataAck : 0;
    for (int b = 0; b < 4; b++) payload[b] = static_cast<uint8_t>(status >> (8 * b));
    if (found) std::copy(data.begin(), data.end(), payload.begin() + 4);
    return DdeEncodeFrame(DDE_FRAME_DATA, f.seq, payload.data(), payload.size());
}

// Handles one complete frame; false when the peer broke the protocol. A peer
// that does not take its answer becomes deaf: a Windows server carries out a
// command whose client stopped waiting, and so do we with what it sent.
bool HandleFrame(DdeServer *s, DdeServerConv conv, bool greeted, const DdeFrame &f, DdeServerHandler &handler) {
    if (!greeted) {
        if (f.type != DDE_FRAME_HELLO) {
            handler.OnProblem(conv, "conversation did not start with a greeting");
            return false;
        }
        const char *names = reinterpret_cast<const char *>(f.payload.data());
        std::string service(names), topic(names + service.size() + 1);
        bool accepted = SameAsciiName(service, s->service) && handler.OnConnect(conv, topic);
        // The window's style comes with the welcome, so that clients never have to ask for it.
        int32_t style = accepted ? handler.OnWindow(conv, DDE_WINDOW_STYLE, 0) : 0;
        AnswerIfOpen(s, conv,
                     DdeEncodeU32Pair(DDE_FRAME_WELCOME, f.seq, accepted ? DDE_WELCOME_ACCEPTED : DDE_WELCOME_REFUSED,
                                      static_cast<uint32_t>(style)),
                     handler);
        auto it = s->peers.find(conv);
        if (accepted && it != s->peers.end()) it->second.greeted = true;
        return accepted;
    }
    if (f.type == DDE_FRAME_EXECUTE) {
        uint16_t status = handler.OnExecute(conv, f.payload.data(), f.payload.size());
        AnswerIfOpen(s, conv, DdeEncodeU32(DDE_FRAME_ACK, f.seq, status), handler);
    } else if (f.type == DDE_FRAME_REQUEST) {
        AnswerIfOpen(s, conv, DataAnswer(conv, f, handler), handler);
    } else if (f.type == DDE_FRAME_WINDOW) {
        // Window requests are not answered; the client hears the style they leave.
        uint32_t op = DdePayloadU32(f);
        if (op != DDE_WINDOW_STYLE) handler.OnWindow(conv, op, static_cast<int32_t>(DdePayloadU32(f, 4)));
        int32_t style = handler.OnWindow(conv, DDE_WINDOW_STYLE, 0);
        AnswerIfOpen(s, conv, DdeEncodeU32(DDE_FRAME_WINDOW_STATE, f.seq, static_cast<uint32_t>(style)), handler);
    } else {
        handler.OnProblem(conv, "unexpected frame type " + std::to_string(f.type));
        return false;
    }
    return true;
}

// Takes in what a peer has sent; its end of stream is noted.
void Receive(Peer &p) {
    size_t before = p.reader.Buffered();
    if (DdeReadAvailable(p.fd, p.reader) == DDE_IO_CLOSED) p.eof = true;
    if (p.reader.Buffered() != before) p.lastActivity = DdeNowMs();
}

// Reads what a peer sent (unless frames from before still wait) and serves up
// to kFramesPerTurn of its frames. A peer that closed its end or went deaf is
// dropped once nothing it sent is left.
void ServePeer(DdeServer *s, DdeServerConv conv, DdeServerHandler &handler) {
    auto it = s->peers.find(conv);
    if (it == s->peers.end()) return;
    if (!it->second.backlog && !it->second.eof) Receive(it->second);
    for (int served = 0;; served++) {
        it = s->peers.find(conv);  // a handler may have ended the conversation
        if (it == s->peers.end()) return;
        Peer &p = it->second;
        if (served == kFramesPerTurn) {
            p.backlog = true;
            SendAnswers(s, conv, handler);
            return;
        }
        DdeFrame frame;
        std::string problem;
        DdeFrameReader::Result r = p.reader.Next(&frame, &problem);
        if (r == DdeFrameReader::NEED_MORE && p.deaf && !p.eof && !p.drained) {
            Receive(p);  // what a deaf peer had already sent is still served
            p.drained = true;
            continue;
        }
        if (r == DdeFrameReader::NEED_MORE) break;
        if (r == DdeFrameReader::FRAME) problem = DdeFrameProblem(frame);
        if (!problem.empty()) {
            handler.OnProblem(conv, "malformed frame: " + problem);
            SendAnswers(s, conv, handler);  // what came before it is answered
            DropPeer(s, conv, &handler);
            return;
        }
        if (!HandleFrame(s, conv, p.greeted, frame, handler)) {
            SendAnswers(s, conv, handler);  // a refused greeting hears why
            DropPeer(s, conv, &handler);
            return;
        }
    }
    SendAnswers(s, conv, handler);
    it = s->peers.find(conv);
    if (it == s->peers.end()) return;
    Peer &p = it->second;
    p.backlog = false;
    if (p.eof || p.deaf) {
        if (p.reader.Buffered() > 0) handler.OnProblem(conv, "client went away mid-frame");
        DropPeer(s, conv, &handler);
    }
}

// When a peer is due to be closed: its greeting's deadline, or the end of its idle time.
uint64_t PeerDeadline(const DdeServer *s, const Peer &p) {
    return p.greeted ? p.lastActivity + s->idleMs : p.helloDeadline;
}

// Drops the peers whose greeting or idle time is up.
void ExpirePeers(DdeServer *s, DdeServerHandler &handler) {
    uint64_t now = DdeNowMs();
    std::vector<DdeServerConv> due;
    for (auto &[conv, p] : s->peers)
        if (PeerDeadline(s, p) <= now) due.push_back(conv);
    for (DdeServerConv conv : due) {
        auto it = s->peers.find(conv);  // an earlier disconnect's handler may have ended it
        if (it == s->peers.end()) continue;
        handler.OnProblem(conv, it->second.greeted ? "conversation idle too long: closed"
                                                   : "client connected but never said which topic");
        DropPeer(s, conv, &handler);
    }
}

// The ppoll time-out that ends at deadline, capped at maxWaitMs (-1: no cap); null for none.
timespec *WaitUntil(uint64_t deadline, int maxWaitMs, timespec *wait) {
    if (deadline == UINT64_MAX && maxWaitMs < 0) return nullptr;
    int left = deadline == UINT64_MAX ? maxWaitMs : DdeRemainingMs(deadline);
    if (maxWaitMs >= 0) left = std::min(left, maxWaitMs);
    wait->tv_sec = left / 1000;
    wait->tv_nsec = (left % 1000) * 1000000L;
    return wait;
}

}  // namespace

DdeServer *DdeServerOpen(const std::string &service, std::string *error) {
    if (service.empty() || service.size() > kDdeMaxName) {
        *error = "bad service name";
        return nullptr;
    }
    std::string dir = DdeRendezvousDir();
    if (dir.empty()) {
        *error = "no private rendezvous directory in the machine directory";
        return nullptr;
    }
    int fd = DdeSocketListen(dir, service, error);
    if (fd < 0) return nullptr;
    DdeRecordRendezvous(dir, service);  // for clients whose environment names another rendezvous
    listen(fd, SOMAXCONN);  // runs that meet connect at once: none may find the queue full
    DdeServer *s = new DdeServer;
    s->service = service;
    s->dir = dir;
    s->listenFd = fd;
    ReadTestTimes(s);
    return s;
}

bool DdeServerTurn(DdeServer *s, DdeServerHandler &handler, const sigset_t *waitMask, int maxWaitMs) {
    std::vector<pollfd> watch{pollfd{s->listenFd, POLLIN, 0}};
    std::vector<DdeServerConv> order;
    uint64_t nearest = handler.NextTimerMs();
    for (auto &[conv, p] : s->peers) {
        // A peer with frames still waiting is not read from until they are served.
        short events = static_cast<short>((p.backlog ? 0 : POLLIN) | (p.outbox.empty() ? 0 : POLLOUT));
        watch.push_back(pollfd{p.fd, events, 0});
        order.push_back(conv);
        nearest = std::min(nearest, p.backlog ? 0 : PeerDeadline(s, p));
    }
    timespec wait{};
    int ready = ppoll(watch.data(), watch.size(), WaitUntil(nearest, maxWaitMs, &wait), waitMask);
    if (ready < 0 && errno != EINTR) {
        handler.OnProblem(0, "poll failed");
        return false;
    }
    for (size_t i = 0; i < order.size(); i++) {
        auto it = s->peers.find(order[i]);
        if (it == s->peers.end()) continue;
        short revents = ready > 0 ? watch[i + 1].revents : 0;
        if (revents & POLLOUT) Flush(order[i], it->second, handler);
        if ((revents & ~POLLOUT) != 0 || it->second.backlog || it->second.deaf) ServePeer(s, order[i], handler);
    }
    // Newcomers after the others spoke: a peer that just did is not the one idle longest.
    if (ready > 0 && (watch[0].revents & POLLIN)) AcceptPeers(s, handler);
    ExpirePeers(s, handler);
    handler.OnTimer();
    return true;
}

void DdeServerRun(DdeServer *s, DdeServerHandler &handler, const sigset_t *waitMask) {
    while (handler.KeepServing())
        if (!DdeServerTurn(s, handler, waitMask, -1)) return;
}

int DdeServerPeerPid(DdeServer *s, DdeServerConv conv) {
    auto it = s->peers.find(conv);
    return it == s->peers.end() ? -1 : it->second.pid;
}

void DdeServerDisconnect(DdeServer *s, DdeServerConv conv) { DropPeer(s, conv, nullptr); }

void DdeServerClose(DdeServer *s) {
    if (s == nullptr) return;
    for (auto &entry : s->peers) close(entry.second.fd);
    s->peers.clear();
    close(s->listenFd);
    DdeForgetRendezvous(s->dir, s->service);
    DdeSocketUnlink(s->dir, s->service);
    delete s;
}
