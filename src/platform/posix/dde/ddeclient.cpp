// DDEML client calls over the local DDE protocol of ddewire.h.
//
// As in DDEML an instance belongs to the thread that created it: its string
// handles, conversations and callback live in thread-local tables, and the
// callback runs on that thread from inside DDE calls and message retrieval.
// Handles are numbers from one counter, never pointers, so a stale or foreign
// handle is refused instead of dereferenced.
#include "platform/posix/dde/ddeinternal.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/machine.h"
#include "platform/posix/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// DdeConnect has no time-out argument; a server that accepts the socket but
// never answers the greeting must not hang the caller. A stopped server is
// not waited for at all, as a hung window is passed over without a wait.
constexpr int kConnectTimeoutMs = 5000;
// Window requests wait for the next frame up to this much, then go alone.
constexpr size_t kWindowBatchBytes = 1024;

constexpr UINT ST_CONNECTED = 0x0001;
constexpr UINT ST_CLIENT = 0x0010;
constexpr UINT XST_NULL = 0;
constexpr UINT XST_CONNECTED = 2;

std::atomic<uintptr_t> nextHandle{0x10000};

uintptr_t NewHandle() { return nextHandle.fetch_add(2); }

struct Atom {
    std::string text;
    unsigned refs = 0;
};

struct Conversation {
    uintptr_t handle = 0;
    int fd = -1;
    DdeFrameReader reader;
    uintptr_t service = 0;  // string handles the conversation holds a reference on
    uintptr_t topic = 0;
    uintptr_t window = 0;   // our side's window, and the server's as clients see it
    uintptr_t partner = 0;
    bool notified = false;  // XTYP_DISCONNECT already delivered
    uint32_t seq = 0;
    int32_t style = 0;       // the partner window's style as last known
    uint32_t styleSeq = 0;   // the request that style reflects: older news is stale
    std::vector<uint8_t> outbox;  // requests not yet taken by the socket
    bool Connected() const { return fd >= 0; }
    ~Conversation() {
        if (fd >= 0) close(fd);  // a thread that ends ends its conversations
    }
};

struct Instance {
    DWORD id = 0;
    PFNCALLBACK callback = nullptr;
    DWORD command = 0;
    UINT lastError = DMLERR_NO_ERROR;
    std::vector<std::pair<uintptr_t, Atom>> atoms;
    std::vector<std::unique_ptr<Conversation>> conversations;
    std::vector<std::pair<uintptr_t, std::vector<uint8_t>>> data;  // what requests brought, until freed
};

thread_local std::vector<std::unique_ptr<Instance>> instances;

Instance *FindInstance(DWORD id) {
    for (auto &i : instances)
        if (i->id == id && id != 0) return i.get();
    return nullptr;
}

Conversation *FindConversation(HCONV conv, Instance **owner) {
    uintptr_t h = reinterpret_cast<uintptr_t>(conv);
    for (auto &i : instances)
        for (auto &c : i->conversations)
            if (c->handle == h && h != 0) {
                if (owner != nullptr) *owner = i.get();
                return c.get();
            }
    return nullptr;
}

Atom *FindAtom(Instance *inst, uintptr_t handle) {
    for (auto &a : inst->atoms)
        if (a.first == handle && handle != 0) return &a.second;
    return nullptr;
}

void ReleaseAtom(Instance *inst, uintptr_t handle) {
    for (auto it = inst->atoms.begin(); it != inst->atoms.end(); ++it)
        if (it->first == handle) {
            if (--it->second.refs == 0) inst->atoms.erase(it);
            return;
        }
}

void Drop(Conversation *c) {
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

// Delivers XTYP_DISCONNECT for every conversation of this thread that ended
// unannounced. Callbacks may uninitialize instances, so each one is looked up
// again after the previous callback returned.
void DeliverDisconnects() {
    std::vector<std::pair<DWORD, uintptr_t>> pending;
    for (auto &i : instances)
        for (auto &c : i->conversations)
            if (!c->Connected() && !c->notified) {
                c->notified = true;
                pending.emplace_back(i->id, c->handle);
            }
    for (auto &p : pending) {
        Instance *inst = FindInstance(p.first);
        if (inst == nullptr || inst->callback == nullptr) continue;
        inst->callback(XTYP_DISCONNECT, 0, reinterpret_cast<HCONV>(p.second), nullptr, nullptr, nullptr, 0, 0);
    }
}

// Hands queued requests to the socket until the deadline; what it does not
// take yet stays queued, whole frames behind it, so the stream stays intact.
DdeIo Flush(Conversation *c, uint64_t deadline) {
    while (!c->outbox.empty()) {
        ssize_t n = send(c->fd, c->outbox.data(), c->outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c->outbox.erase(c->outbox.begin(), c->outbox.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return DDE_IO_CLOSED;
        int left = DdeRemainingMs(deadline);
        if (left == 0) return DDE_IO_TIMEOUT;
        pollfd p{c->fd, POLLOUT, 0};
        if (poll(&p, 1, left) < 0 && errno != EINTR) return DDE_IO_CLOSED;
    }
    return DDE_IO_OK;
}

// Takes in a frame the server may send between answers: its window's style,
// or a late acknowledgement of an execute that timed out (seq below upTo).
// False when the frame has no place there.
bool TakeUnasked(Conversation *c, const DdeFrame &frame, uint32_t upTo) {
    if (frame.type == DDE_FRAME_WINDOW_STATE && frame.seq <= c->seq) {
        if (frame.seq >= c->styleSeq) c->style = static_cast<int32_t>(DdePayloadU32(frame));
        return true;
    }
    return (frame.type == DDE_FRAME_ACK || frame.type == DDE_FRAME_DATA) && frame.seq < upTo;
}

// Sends what is queued and reads what the conversation has received, without blocking.
void Absorb(Conversation *c) {
    if (!c->Connected()) return;
    if (Flush(c, 0) == DDE_IO_CLOSED || DdeReadAvailable(c->fd, c->reader) == DDE_IO_CLOSED) {
        Drop(c);
        return;
    }
    DdeFrame frame;
    std::string problem;
    for (;;) {
        DdeFrameReader::Result r = c->reader.Next(&frame, &problem);
        if (r == DdeFrameReader::NEED_MORE) return;
        if (r != DdeFrameReader::FRAME || !DdeFrameProblem(frame).empty() || !TakeUnasked(c, frame, c->seq + 1)) {
            Drop(c);
            return;
        }
    }
}

// Sends a request and waits for the reply of that sequence number, taking in
// what the server may send meanwhile. DDE_IO_BAD stands for any protocol violation.
DdeIo Request(Conversation *c, const std::vector<uint8_t> &frame, uint16_t replyType, uint64_t deadline,
              DdeFrame *reply) {
    c->outbox.insert(c->outbox.end(), frame.begin(), frame.end());
    DdeIo io = Flush(c, deadline);
    if (io != DDE_IO_OK) return io;
    RunWhileAnswerAwaited();
    std::string problem;
    for (;;) {
        io = DdeReceiveFrame(c->fd, c->reader, reply, deadline, &problem);
        if (io != DDE_IO_OK) return io;
        if (reply->type == replyType && reply->seq == c->seq) return DDE_IO_OK;
        if (!TakeUnasked(c, *reply, c->seq)) return DDE_IO_BAD;
    }
}

// The welcome a server sent before it closed the socket: a busy server answers
// at once and closes, maybe before our greeting could be sent. CLOSED when none.
DdeIo TakeLastWord(Conversation *c, DdeFrame *reply) {
    DdeReadAvailable(c->fd, c->reader);
    std::string problem;
    if (c->reader.Next(reply, &problem) == DdeFrameReader::FRAME && DdeFrameProblem(*reply).empty() &&
        reply->type == DDE_FRAME_WELCOME && reply->seq == 0)
        return DDE_IO_OK;
    return DDE_IO_CLOSED;
}

// The live conversation whose partner window is hwnd; null when there is none.
// Nothing is read here: what the server said since comes in with the next
// answer, or at the next message wait.
Conversation *PartnerConversation(HWND hwnd) {
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    for (auto &i : instances)
        for (auto &c : i->conversations)
            if (c->partner == h && h != 0) return c->Connected() ? c.get() : nullptr;
    return nullptr;
}

// A socket to the first live server of service that runs as our user: a
// stranger that listens in our name is refused and noted; a stopped server is
// passed over, as a hung window would be. -1 when none.
int ConnectService(const std::string &service) {
    for (const std::string &dir : DdeServiceDirs(service)) {
        int fd = DdeSocketConnect(dir, service);
        if (fd < 0) continue;
        std::string who;
        if (!DdePeerIsUs(fd, &who)) {
            PlatformNote("refused the server of " + service + " in " + dir + ": " + who + " is not us");
        } else if (!DdePeerStopped(fd)) {
            return fd;
        }
        close(fd);
    }
    return -1;
}

UINT Fail(Instance *inst, UINT error) {
    inst->lastError = error;
    return error;
}

// The data object behind a handle of this thread's instances, with its owner; null when none.
std::vector<uint8_t> *FindData(HDDEDATA handle, Instance **owner) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    for (auto &i : instances)
        for (auto &d : i->data)
            if (d.first == h && h != 0) {
                *owner = i.get();
                return &d.second;
            }
    return nullptr;
}

// Ends a transaction that got no answer: a time-out leaves the conversation
// usable (a late answer is skipped by its sequence number), anything else ends it.
HDDEDATA Unanswered(Instance *inst, Conversation *c, DdeIo io, UINT timeoutError) {
    if (io == DDE_IO_TIMEOUT) {
        Fail(inst, timeoutError);
        return nullptr;
    }
    Drop(c);
    Fail(inst, DMLERR_SERVER_DIED);
    DeliverDisconnects();
    return nullptr;
}

// XTYP_REQUEST: the item's data as a handle of the caller's instance, or null
// when the server has no such item or does not answer in time.
HDDEDATA RequestItem(Instance *inst, Conversation *c, HSZ item, UINT format, DWORD timeout) {
    Atom *name = FindAtom(inst, reinterpret_cast<uintptr_t>(item));
    if (name == nullptr || format == 0 || timeout == TIMEOUT_ASYNC) {
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
    }
    if (!c->Connected()) {
        Fail(inst, DMLERR_NO_CONV_ESTABLISHED);
        return nullptr;
    }
    std::vector<uint8_t> payload(4);
    for (int b = 0; b < 4; b++) payload[b] = static_cast<uint8_t>(format >> (8 * b));
    payload.insert(payload.end(), name->text.begin(), name->text.end());
    payload.push_back(0);
    DdeFrame reply;
    DdeIo io = Request(c, DdeEncodeFrame(DDE_FRAME_REQUEST, ++c->seq, payload.data(), payload.size()), DDE_FRAME_DATA,
                       DdeNowMs() + timeout, &reply);
    if (io != DDE_IO_OK) return Unanswered(inst, c, io, DMLERR_DATAACKTIMEOUT);
    uint32_t status = DdePayloadU32(reply);
    if (!(status & kDdeDataAck)) {
        Fail(inst, (status & DDE_FBUSY) ? DMLERR_BUSY : DMLERR_NOTPROCESSED);
        return nullptr;
    }
    uintptr_t h = NewHandle();
    inst->data.emplace_back(h, std::vector<uint8_t>(reply.payload.begin() + 4, reply.payload.end()));
    return reinterpret_cast<HDDEDATA>(h);
}

}  // namespace

void DdeThreadPollFds(std::vector<int> *fds) {
    for (auto &i : instances)
        for (auto &c : i->conversations)
            if (c->Connected()) fds->push_back(c->fd);
}

void DdeThreadPump() {
    for (auto &i : instances)
        for (auto &c : i->conversations) Absorb(c.get());
    DeliverDisconnects();
}

bool DdePartnerStyle(HWND hwnd, int32_t *style) {
    Conversation *c = PartnerConversation(hwnd);
    if (c == nullptr) return false;
    *style = c->style;
    return true;
}

bool DdeWindowPost(HWND hwnd, uint32_t op, int32_t arg, int32_t styleAfter) {
    Conversation *c = PartnerConversation(hwnd);
    if (c == nullptr) return false;
    uint8_t payload[8];
    for (int b = 0; b < 4; b++) {
        payload[b] = static_cast<uint8_t>(op >> (8 * b));
        payload[4 + b] = static_cast<uint8_t>(static_cast<uint32_t>(arg) >> (8 * b));
    }
    std::vector<uint8_t> frame = DdeEncodeFrame(DDE_FRAME_WINDOW, ++c->seq, payload, sizeof payload);
    c->outbox.insert(c->outbox.end(), frame.begin(), frame.end());
    c->style = styleAfter;
    c->styleSeq = c->seq;
    // The request rides with the conversation's next frame, so that the server wakes once for
    // both; a message wait or the end of the instance sends it too. Only a pile of them goes
    // alone. A server that does not read leaves it queued, and the caller goes on.
    if (c->outbox.size() >= kWindowBatchBytes && Flush(c, 0) == DDE_IO_CLOSED)
        Drop(c);  // the callback hears of it at the next DDE call or message wait
    return c->Connected();
}

extern "C" {

UINT WINAPI DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD command, DWORD) {
    if (instance == nullptr || callback == nullptr) return DMLERR_INVALIDPARAMETER;
    if (*instance != 0) {  // re-initialization changes an existing instance's flags only
        Instance *inst = FindInstance(*instance);
        if (inst == nullptr) return DMLERR_INVALIDPARAMETER;
        inst->command = command;
        inst->callback = callback;
        return DMLERR_NO_ERROR;
    }
    auto inst = std::make_unique<Instance>();
    inst->id = static_cast<DWORD>(NewHandle());
    inst->callback = callback;
    inst->command = command;
    *instance = inst->id;
    instances.push_back(std::move(inst));
    return DMLERR_NO_ERROR;
}

BOOL WINAPI DdeUninitialize(DWORD instance) {
    for (auto it = instances.begin(); it != instances.end(); ++it)
        if ((*it)->id == instance && instance != 0) {
            // Ending the instance ends its conversations: the servers see the close.
            std::unique_ptr<Instance> gone = std::move(*it);
            instances.erase(it);
            for (auto &c : gone->conversations) {
                if (c->Connected()) Flush(c.get(), 0);  // window requests still waiting for a frame to ride with
                Drop(c.get());
            }
            return TRUE;
        }
    return FALSE;
}

UINT WINAPI DdeGetLastError(DWORD instance) {
    Instance *inst = FindInstance(instance);
    if (inst == nullptr) return DMLERR_DLL_NOT_INITIALIZED;
    UINT e = inst->lastError;
    inst->lastError = DMLERR_NO_ERROR;
    return e;
}

HSZ WINAPI DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codePage) {
    Instance *inst = FindInstance(instance);
    if (inst == nullptr) return nullptr;
    if (text == nullptr || (codePage != 0 && codePage != CP_WINANSI)) {
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
    }
    std::string s(text);
    if (s.empty()) return nullptr;  // the empty string has no handle in DDEML
    if (s.size() > kDdeMaxName) {
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
    }
    // Names are atoms: one handle per name, whatever its case.
    for (auto &a : inst->atoms)
        if (SameAsciiName(a.second.text, s)) {
            a.second.refs++;
            return reinterpret_cast<HSZ>(a.first);
        }
    uintptr_t h = NewHandle();
    inst->atoms.emplace_back(h, Atom{s, 1});
    return reinterpret_cast<HSZ>(h);
}

BOOL WINAPI DdeFreeStringHandle(DWORD instance, HSZ hsz) {
    Instance *inst = FindInstance(instance);
    uintptr_t h = reinterpret_cast<uintptr_t>(hsz);
    if (inst == nullptr || FindAtom(inst, h) == nullptr) return FALSE;
    ReleaseAtom(inst, h);
    return TRUE;
}

HCONV WINAPI DdeConnect(DWORD instance, HSZ service, HSZ topic, PCONVCONTEXT) {
    if (FindInstance(instance) == nullptr) return nullptr;
    DdeThreadPump();
    Instance *inst = FindInstance(instance);  // a callback may have ended it
    if (inst == nullptr) return nullptr;
    uintptr_t hs = reinterpret_cast<uintptr_t>(service), ht = reinterpret_cast<uintptr_t>(topic);
    Atom *s = FindAtom(inst, hs), *t = FindAtom(inst, ht);
    if (s == nullptr || t == nullptr) {  // wildcard service or topic is not offered
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
    }
    int fd = ConnectService(s->text);
    if (fd < 0) {
        Fail(inst, DMLERR_NO_CONV_ESTABLISHED);
        return nullptr;
    }
    auto c = std::make_unique<Conversation>();
    c->fd = fd;
    std::string hello = s->text + '\0' + t->text + '\0';
    DdeFrame reply;
    DdeIo io = Request(c.get(), DdeEncodeFrame(DDE_FRAME_HELLO, 0, hello.data(), hello.size()), DDE_FRAME_WELCOME,
                       DdeNowMs() + kConnectTimeoutMs, &reply);
    if (io == DDE_IO_CLOSED) io = TakeLastWord(c.get(), &reply);
    if (io != DDE_IO_OK || DdePayloadU32(reply) != DDE_WELCOME_ACCEPTED) {
        Drop(c.get());
        bool busy = io == DDE_IO_OK && DdePayloadU32(reply) == DDE_WELCOME_BUSY;
        Fail(inst, busy ? DMLERR_BUSY : DMLERR_NO_CONV_ESTABLISHED);
        return nullptr;
    }
    c->style = static_cast<int32_t>(DdePayloadU32(reply, 4));
    c->handle = NewHandle();
    c->window = NewHandle();
    c->partner = NewHandle();
    c->service = hs;
    c->topic = ht;
    s->refs++;
    t->refs++;
    HCONV result = reinterpret_cast<HCONV>(c->handle);
    inst->conversations.push_back(std::move(c));
    return result;
}

UINT WINAPI DdeQueryConvInfo(HCONV conv, DWORD transaction, PCONVINFO info) {
    Instance *inst = nullptr;
    Conversation *c = FindConversation(conv, &inst);
    if (c == nullptr || info == nullptr || info->cb < sizeof(DWORD)) return 0;
    if (transaction != QID_SYNC) {  // no asynchronous transactions exist to ask about
        Fail(inst, DMLERR_UNFOUND_QUEUE_ID);
        return 0;
    }
    CONVINFO ci{};
    ci.cb = sizeof ci;
    ci.hszSvcPartner = reinterpret_cast<HSZ>(c->service);
    ci.hszServiceReq = reinterpret_cast<HSZ>(c->service);
    ci.hszTopic = reinterpret_cast<HSZ>(c->topic);
    ci.wStatus = ST_CLIENT | (c->Connected() ? ST_CONNECTED : 0);
    ci.wConvst = c->Connected() ? XST_CONNECTED : XST_NULL;
    ci.wLastError = inst->lastError;
    ci.ConvCtxt.cb = sizeof ci.ConvCtxt;
    ci.ConvCtxt.iCodePage = CP_WINANSI;
    ci.hwnd = reinterpret_cast<HWND>(c->window);
    ci.hwndPartner = reinterpret_cast<HWND>(c->partner);
    // Copy no more than the caller's record holds, as DDEML does for older layouts.
    UINT n = info->cb < sizeof ci ? info->cb : static_cast<UINT>(sizeof ci);
    std::memcpy(info, &ci, n);
    info->cb = n;
    return n;
}

HDDEDATA WINAPI DdeClientTransaction(LPBYTE data, DWORD length, HCONV conv, HSZ item, UINT format, UINT type,
                                     DWORD timeout, LPDWORD result) {
    if (result != nullptr) *result = 0;
    Instance *inst = nullptr;
    if (FindConversation(conv, &inst) == nullptr) return nullptr;
    // Nothing is read ahead of the request: its answer brings whatever the server
    // sent before it, and a server gone shows in the exchange itself.
    DeliverDisconnects();
    Conversation *c = FindConversation(conv, &inst);
    if (c == nullptr) return nullptr;
    if (type == XTYP_REQUEST) return RequestItem(inst, c, item, format, timeout);
    if (type != XTYP_EXECUTE || timeout == TIMEOUT_ASYNC || data == nullptr || length == 0 ||
        length > kDdeMaxExecute) {
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
    }
    if (!c->Connected()) {
        Fail(inst, DMLERR_NO_CONV_ESTABLISHED);
        return nullptr;
    }
    DdeFrame reply;
    DdeIo io = Request(c, DdeEncodeFrame(DDE_FRAME_EXECUTE, ++c->seq, data, length), DDE_FRAME_ACK,
                       DdeNowMs() + timeout, &reply);
    if (io != DDE_IO_OK) return Unanswered(inst, c, io, DMLERR_EXECACKTIMEOUT);
    DWORD status = DdePayloadU32(reply) & 0xFFFF;
    if (result != nullptr) *result = status;
    if (status & DDE_FACK) return reinterpret_cast<HDDEDATA>(1);
    Fail(inst, (status & DDE_FBUSY) ? DMLERR_BUSY : DMLERR_NOTPROCESSED);
    return nullptr;
}

DWORD WINAPI DdeGetData(HDDEDATA data, LPBYTE destination, DWORD max, DWORD offset) {
    Instance *inst = nullptr;
    std::vector<uint8_t> *object = FindData(data, &inst);
    if (object == nullptr) return 0;
    if (offset > object->size()) {
        Fail(inst, DMLERR_INVALIDPARAMETER);
        return 0;
    }
    if (destination == nullptr) return static_cast<DWORD>(object->size());
    DWORD n = std::min<DWORD>(max, static_cast<DWORD>(object->size() - offset));
    if (n > 0) std::memcpy(destination, object->data() + offset, n);
    return n;
}

BOOL WINAPI DdeFreeDataHandle(HDDEDATA data) {
    Instance *inst = nullptr;
    std::vector<uint8_t> *object = FindData(data, &inst);
    if (object == nullptr) return FALSE;
    for (auto it = inst->data.begin(); it != inst->data.end(); ++it)
        if (&it->second == object) {
            inst->data.erase(it);
            break;
        }
    return TRUE;
}

}  // extern "C"
