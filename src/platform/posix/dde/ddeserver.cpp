// The serving side of local DDE: accepts conversations on the service's socket
// and turns frames into handler calls. Every frame is checked; a client that
// breaks the protocol, stays silent after connecting or stops reading its
// answers is dropped, and the others are served on.
#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kHelloTimeoutMs = 5000;  // a connected socket must greet within this
constexpr int kReplyTimeoutMs = 2000;  // a client must take its answer within this
constexpr size_t kMaxConversations = 64;

struct Peer {
    int fd = -1;
    int pid = -1;
    bool greeted = false;
    bool deaf = false;  // took no answer: what it sent is served, but not answered
    uint64_t helloDeadline = 0;
    DdeFrameReader reader;
};

}  // namespace

struct DdeServer {
    std::string service;
    std::string dir;
    int listenFd = -1;
    DdeServerConv next = 1;
    std::map<DdeServerConv, Peer> peers;
};

namespace {

void DropPeer(DdeServer *s, DdeServerConv conv, DdeServerHandler *handler) {
    auto it = s->peers.find(conv);
    if (it == s->peers.end()) return;
    close(it->second.fd);
    bool greeted = it->second.greeted;
    s->peers.erase(it);
    if (greeted && handler != nullptr) handler->OnDisconnect(conv);
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
        if (s->peers.size() >= kMaxConversations) {
            handler.OnProblem(0, "too many conversations: one refused");
            close(fd);
            continue;
        }
        Peer &p = s->peers[s->next++];
        p.fd = fd;
        ucred cred{};
        socklen_t size = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) p.pid = cred.pid;
        p.helloDeadline = DdeNowMs() + kHelloTimeoutMs;
    }
}

// Handles one complete frame; false when the peer broke the protocol. A peer
// that does not take its answer becomes deaf: a Windows server carries out a
// command whose client stopped waiting, and so do we with what it sent.
bool HandleFrame(DdeServer *s, DdeServerConv conv, Peer &p, const DdeFrame &f, DdeServerHandler &handler) {
    std::vector<uint8_t> reply;
    if (!p.greeted) {
        if (f.type != DDE_FRAME_HELLO) {
            handler.OnProblem(conv, "conversation did not start with a greeting");
            return false;
        }
        const char *names = reinterpret_cast<const char *>(f.payload.data());
        std::string service(names), topic(names + service.size() + 1);
        bool accepted = SameAsciiName(service, s->service) && handler.OnConnect(conv, topic);
        // The window's style comes with the welcome, so that clients never have to ask for it.
        int32_t style = accepted ? handler.OnWindow(conv, DDE_WINDOW_STYLE, 0) : 0;
        DdeSendAll(p.fd, DdeEncodeU32Pair(DDE_FRAME_WELCOME, f.seq, accepted ? 1 : 0, static_cast<uint32_t>(style)),
                   DdeNowMs() + kReplyTimeoutMs);
        if (accepted) p.greeted = true;
        return accepted;
    }
    if (f.type == DDE_FRAME_EXECUTE) {
        uint16_t status = handler.OnExecute(conv, f.payload.data(), f.payload.size());
        reply = DdeEncodeU32(DDE_FRAME_ACK, f.seq, status);
    } else if (f.type == DDE_FRAME_WINDOW) {
        // Window requests are not answered; the client hears the style they leave.
        uint32_t op = DdePayloadU32(f);
        if (op != DDE_WINDOW_STYLE) handler.OnWindow(conv, op, static_cast<int32_t>(DdePayloadU32(f, 4)));
        int32_t style = handler.OnWindow(conv, DDE_WINDOW_STYLE, 0);
        reply = DdeEncodeU32(DDE_FRAME_WINDOW_STATE, f.seq, static_cast<uint32_t>(style));
    } else {
        handler.OnProblem(conv, "unexpected frame type " + std::to_string(f.type));
        return false;
    }
    if (!p.deaf && DdeSendAll(p.fd, reply, DdeNowMs() + kReplyTimeoutMs) != DDE_IO_OK) {
        handler.OnProblem(conv, "client went away before its answer");
        p.deaf = true;
    }
    return true;
}

// Reads what a peer sent and serves every complete frame in it.
void ServePeer(DdeServer *s, DdeServerConv conv, DdeServerHandler &handler) {
    auto it = s->peers.find(conv);
    if (it == s->peers.end()) return;
    bool closed = DdeReadAvailable(it->second.fd, it->second.reader) == DDE_IO_CLOSED, drained = false;
    for (;;) {
        it = s->peers.find(conv);  // a handler may have ended the conversation
        if (it == s->peers.end()) return;
        DdeFrame frame;
        std::string problem;
        DdeFrameReader::Result r = it->second.reader.Next(&frame, &problem);
        if (r == DdeFrameReader::NEED_MORE && it->second.deaf && !closed && !drained) {
            // What a deaf peer had already sent is still served.
            closed = DdeReadAvailable(it->second.fd, it->second.reader) == DDE_IO_CLOSED;
            drained = true;
            continue;
        }
        if (r == DdeFrameReader::NEED_MORE) break;
        if (r == DdeFrameReader::FRAME) problem = DdeFrameProblem(frame);
        if (!problem.empty()) {
            handler.OnProblem(conv, "malformed frame: " + problem);
            DropPeer(s, conv, &handler);
            return;
        }
        if (!HandleFrame(s, conv, it->second, frame, handler)) {
            DropPeer(s, conv, &handler);
            return;
        }
    }
    if (closed || it->second.deaf) {
        if (it->second.reader.Buffered() > 0) handler.OnProblem(conv, "client went away mid-frame");
        DropPeer(s, conv, &handler);
    }
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
    return s;
}

void DdeServerRun(DdeServer *s, DdeServerHandler &handler, const sigset_t *waitMask) {
    while (handler.KeepServing()) {
        std::vector<pollfd> watch{pollfd{s->listenFd, POLLIN, 0}};
        std::vector<DdeServerConv> order;
        uint64_t nearest = UINT64_MAX;
        for (auto &[conv, p] : s->peers) {
            watch.push_back(pollfd{p.fd, POLLIN, 0});
            order.push_back(conv);
            if (!p.greeted && p.helloDeadline < nearest) nearest = p.helloDeadline;
        }
        nearest = std::min(nearest, handler.NextTimerMs());
        timespec wait{};
        timespec *timeout = nullptr;
        if (nearest != UINT64_MAX) {
            int left = DdeRemainingMs(nearest);
            wait.tv_sec = left / 1000;
            wait.tv_nsec = (left % 1000) * 1000000L;
            timeout = &wait;
        }
        int ready = ppoll(watch.data(), watch.size(), timeout, waitMask);
        if (ready < 0 && errno != EINTR) {
            handler.OnProblem(0, "poll failed");
            return;
        }
        if (ready > 0 && (watch[0].revents & POLLIN)) AcceptPeers(s, handler);
        for (size_t i = 0; ready > 0 && i < order.size(); i++)
            if (watch[i + 1].revents != 0) ServePeer(s, order[i], handler);
        for (DdeServerConv conv : order) {
            auto it = s->peers.find(conv);
            if (it != s->peers.end() && !it->second.greeted && DdeRemainingMs(it->second.helloDeadline) == 0) {
                handler.OnProblem(conv, "client connected but never said which topic");
                DropPeer(s, conv, &handler);
            }
        }
        handler.OnTimer();
    }
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
