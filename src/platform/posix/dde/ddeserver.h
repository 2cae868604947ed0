// Serving a DDE service on Linux: the other end of the DDEML client calls, for
// programs such as tools/progman. Not a Win32 interface. One thread serves all
// conversations in turn, so a handler never runs concurrently with itself, and
// it never waits on any one client: answers are queued per conversation and
// sent as the client takes them.
//
// Limits (ddeserver.cpp): at most 64 conversations; a conversation whose
// unsent answers pass 256 KiB does not read them and is no longer answered
// (what it sent is still carried out, then it is closed); one idle for 5
// minutes (nothing received, nothing queued, nothing taken) is closed. When
// the table is full, the conversation idle longest makes room for a newcomer
// if it has been idle at least 1 s; else the newcomer is told the server is
// busy (WELCOME with DDE_WELCOME_BUSY). Test builds read PELLOR_DDE_IDLE_MS
// and PELLOR_DDE_EVICT_MS at DdeServerOpen in place of the two times.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

typedef unsigned DdeServerConv;  // one conversation of a server, never reused

class DdeServerHandler {
public:
    virtual ~DdeServerHandler() = default;
    // A client asks for a conversation on topic; true accepts it.
    virtual bool OnConnect(DdeServerConv conv, const std::string &topic) = 0;
    // One execute transaction's bytes, as sent; returns the status word
    // (0x8000 = acknowledged), which is sent back only after this returns.
    virtual uint16_t OnExecute(DdeServerConv conv, const uint8_t *data, size_t length) = 0;
    // A window request for the server's window (DdeWindowOp of ddewire.h).
    // DDE_WINDOW_STYLE returns the style, which clients are told after every
    // request; the other operations' results are not sent.
    virtual int32_t OnWindow(DdeServerConv conv, uint32_t op, int32_t argument) = 0;
    // A request for an item's data in a clipboard format: true with *data (the
    // bytes to send, CF_TEXT with its NUL) when the server has the item; false
    // fails the request, as a server without the item answers it.
    virtual bool OnRequest(DdeServerConv, const std::string &, uint32_t, std::string *) { return false; }
    // The conversation ended: the client closed it or broke the protocol.
    virtual void OnDisconnect(DdeServerConv) {}
    // Something a log should hold: a malformed frame, a client that went away.
    virtual void OnProblem(DdeServerConv, const std::string &) {}
    // Asked after every event; false ends DdeServerRun.
    virtual bool KeepServing() = 0;
    // When OnTimer is next wanted, in DdeNowMs time; UINT64_MAX for never.
    virtual uint64_t NextTimerMs() { return UINT64_MAX; }
    // Called after every wait, timer due or not.
    virtual void OnTimer() {}
};

struct DdeServer;

// Listens for service on this machine's rendezvous. Null, with *error, when the
// rendezvous cannot be used or another server already serves the service.
DdeServer *DdeServerOpen(const std::string &service, std::string *error);

// Serves conversations until handler.KeepServing() returns false. Signals
// blocked by the caller are let in only while waiting (waitMask is the mask to
// wait with, as for ppoll; null keeps the current one).
void DdeServerRun(DdeServer *server, DdeServerHandler &handler, const sigset_t *waitMask);

// One turn of DdeServerRun, for tests and fuzz targets that drive the loop
// themselves: waits at most maxWaitMs (-1: until a client or a timer needs the
// server) and serves what is ready. Asks nothing of handler.KeepServing();
// false when the wait failed.
bool DdeServerTurn(DdeServer *server, DdeServerHandler &handler, const sigset_t *waitMask, int maxWaitMs);

// The process id of a conversation's client, from the socket's peer
// credentials; -1 when unknown.
int DdeServerPeerPid(DdeServer *server, DdeServerConv conv);

// Ends one conversation: the client hears the disconnect.
void DdeServerDisconnect(DdeServer *server, DdeServerConv conv);

// Ends every conversation, stops listening and removes the socket.
void DdeServerClose(DdeServer *server);
