// The Program Manager's side of its DDE conversations: each execute string is
// run on the store and journaled before its answer, and the changes go to the
// flusher. tools/progman serves with it, and so does the fuzz target that
// drives the serving loop itself.
#pragma once

#include "commands.h"
#include "flusher.h"
#include "logfile.h"
#include "store.h"

#include "platform/posix/dde/ddeserver.h"

#include <csignal>
#include <cstdint>
#include <map>
#include <string>

// The stop signal caught (SIGTERM, SIGINT, SIGHUP), or 0: serving ends on one.
extern volatile sig_atomic_t ProgmanStopSignal;

class ProgmanServer : public DdeServerHandler {
public:
    // Journal and log go to root; minimized is the window's state at start.
    ProgmanServer(const std::string &root, GroupStore &store, bool minimized);

    void Attach(DdeServer *server) { server_ = server; }

    bool OnConnect(DdeServerConv conv, const std::string &topic) override;
    // Applied to the files before the answer goes out; handed to the flusher
    // within kCommitDelayMs, on the disk well within 100 ms.
    uint16_t OnExecute(DdeServerConv conv, const uint8_t *data, size_t length) override;
    int32_t OnWindow(DdeServerConv, uint32_t op, int32_t argument) override;
    // "Groups" and each group's name, in CF_TEXT as groupinfo.h lays them out
    // and in the ANSI code page: the files as they are now, Common groups
    // before Personal ones in the list, a Personal group before a Common one
    // of the same name. Nothing for an unknown item.
    bool OnRequest(DdeServerConv, const std::string &item, uint32_t format, std::string *data) override;
    // An exit asked for waits for the last conversation, so that a run that
    // met another one never loses the server under it.
    void OnDisconnect(DdeServerConv conv) override;
    void OnProblem(DdeServerConv conv, const std::string &what) override;
    // Until a stop signal, or an exit asked for once the last conversation has
    // ended and its changes are on disk: a run that comes while they are
    // written is served, rather than finding a copy on its way out.
    bool KeepServing() override;
    uint64_t NextTimerMs() override;
    void OnTimer() override;

    // Hands the changed directories and then the logs (by descriptor) to the
    // flusher; the spares too once the server is about to end.
    void Commit(bool ending = false);
    // Everything on disk before the server exits; the log says how long
    // acknowledged changes waited for the disk.
    void Finish();
    void Log(const std::string &line) { log_.Append(line); }
    // Names in the log what the store passed over as it read a group's folder.
    void LogPassedOver();
    // Opens the journal and the log before anything is served: a symlink, a
    // FIFO or someone else's file in their place stops the server. A torn
    // tail a power loss left in them is cut off, and the log says so.
    bool OpenLogs(std::string *problem);

private:
    struct Conversation {
        ProgmanSession session;
        std::string who;  // "pid <client> conv <n>", as the journal names it
    };

    std::string root_;
    GroupStore &store_;
    LogFile journal_, log_;
    Flusher flusher_;
    DdeServer *server_ = nullptr;
    int32_t style_;  // the window's, as ShowWindow leaves it
    bool exitAsked_ = false;
    uint64_t commitAt_ = UINT64_MAX;
    uint64_t firstAck_ = 0;  // of the changes not yet handed to the flusher; 0: none
    std::map<DdeServerConv, Conversation> conversations_;
};
