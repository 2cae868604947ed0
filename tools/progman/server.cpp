#include "server.h"

#include "platform/escape.h"
#include "progman/groupinfo.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/user/showstyle.h"
#include "platform/win32.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

volatile sig_atomic_t ProgmanStopSignal = 0;

namespace {

constexpr int32_t kWindowStyle = 0x10000000 | 0x00CF0000;  // WS_VISIBLE | WS_OVERLAPPEDWINDOW

// How long acknowledged changes gather before they go to the flusher as one
// batch. The batch's flush (a few syncs, or one syncfs for many directories)
// has the rest of the 100 ms an acknowledgement may wait for the disk;
// batches that meet a flush still running are merged behind it. Each flush
// costs about the same, whatever the batch holds, and its writes take the
// machine from the pass: 10 ms batches made the pass on disk 3-6% faster than
// 5 ms ones. With two busy loops on the build machine's two cores, 1.2% of
// 20 ms batches waited past 100 ms; in one run 0.2% of 10 ms ones and 0.04%
// of 5 ms ones, both well within the promise.
constexpr uint64_t kCommitDelayMs = 10;
// How often an exit that waits for the flush looks again.
constexpr uint64_t kDrainPollMs = 20;

}  // namespace

ProgmanServer::ProgmanServer(const std::string &root, GroupStore &store, bool minimized)
    : root_(root), store_(store), journal_(root + "/journal.log"), log_(root + "/progman.log"),
      style_(kWindowStyle | (minimized ? WS_MINIMIZE : 0)) {}

bool ProgmanServer::OnConnect(DdeServerConv conv, const std::string &topic) {
    if (strcasecmp(topic.c_str(), "PROGMAN") != 0) return false;
    Conversation &c = conversations_[conv];
    c.who = "pid " + std::to_string(DdeServerPeerPid(server_, conv)) + " conv " + std::to_string(conv);
    journal_.Append(c.who + "\tconnect");
    return true;
}

uint16_t ProgmanServer::OnExecute(DdeServerConv conv, const uint8_t *data, size_t length) {
    // The command arrives with its terminating NUL; the text ends there.
    std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), length));
    Conversation &c = conversations_[conv];
    std::string why;
    bool ok = ProgmanRunExecute(store_, c.session, text, &why);
    LogPassedOver();
    std::string entry = c.who;
    entry += '\t';
    AppendControlsEscaped(&entry, text);
    entry += ok ? "\tACK" : "\tNACK";
    if (!journal_.Append(entry))
        Log("cannot append to the journal: " + std::string(std::strerror(errno)));
    if (!ok) Log("refused " + EscapeControls(text) + ": " + why);
    if (commitAt_ == UINT64_MAX) {
        firstAck_ = DdeNowMs();
        commitAt_ = firstAck_ + kCommitDelayMs;
    }
    return ok ? DDE_FACK : DDE_FNOTPROCESSED;
}

int32_t ProgmanServer::OnWindow(DdeServerConv, uint32_t op, int32_t argument) {
    if (op == DDE_WINDOW_SHOW) style_ = StyleAfterShow(style_, argument);
    return style_;
}

namespace {

GroupInfo Describe(const std::string &root, int scope, const StoredGroup &g) {
    GroupInfo info;
    info.name = Utf8ToAnsi(g.name);
    info.path = Utf8ToAnsi(ScopeDir(root, scope) + "/" + EncodeFileName(g.name));
    info.itemCount = static_cast<int32_t>(g.items.size());
    for (const ProgramItem &i : g.items) {
        GroupItemInfo item;
        item.name = Utf8ToAnsi(i.name);
        item.commandLine = Utf8ToAnsi(i.commandLine);
        item.defaultDir = Utf8ToAnsi(i.workingDir);
        item.iconPath = Utf8ToAnsi(i.iconFile);
        item.x = i.placed ? i.x : -1;
        item.y = i.placed ? i.y : -1;
        item.iconIndex = i.iconIndex;
        item.hotKey = i.hotKey;
        item.minimize = i.minimize;
        info.items.push_back(item);
    }
    return info;
}

}  // namespace

bool ProgmanServer::OnRequest(DdeServerConv, const std::string &item, uint32_t format, std::string *data) {
    if (format != CF_TEXT) return false;
    if (strcasecmp(item.c_str(), kGroupsItem) == 0) {
        std::vector<std::string> names;
        for (int scope : {SCOPE_COMMON, SCOPE_PERSONAL})
            for (const std::string &g : StoreGroupNames(root_, scope)) names.push_back(Utf8ToAnsi(g));
        *data = FormatGroupList(names) + '\0';
        return true;
    }
    std::string name = AnsiToUtf8(item), problem;
    for (int scope : {SCOPE_PERSONAL, SCOPE_COMMON}) {
        StoredGroup found;
        bool described = store_.DescribeGroup(scope, name, &found, &problem);
        LogPassedOver();
        if (!problem.empty()) Log("cannot describe group " + EscapeControls(name) + ": " + EscapeControls(problem));
        if (!described) continue;
        *data = FormatGroupInfo(Describe(root_, scope, found)) + '\0';
        return true;
    }
    return false;
}

void ProgmanServer::OnDisconnect(DdeServerConv conv) {
    auto it = conversations_.find(conv);
    if (it == conversations_.end()) return;
    if (it->second.session.exitRequested) exitAsked_ = true;
    journal_.Append(it->second.who + "\tdisconnect");
    conversations_.erase(it);
    Commit();
}

void ProgmanServer::LogPassedOver() {
    for (const std::string &passed : store_.TakePassedOver()) Log("passed over " + EscapeControls(passed));
}

void ProgmanServer::OnProblem(DdeServerConv conv, const std::string &what) {
    Log(conv == 0 ? what : "conversation " + std::to_string(conv) + ": " + what);
}

bool ProgmanServer::KeepServing() {
    if (ProgmanStopSignal != 0) return false;
    return !exitAsked_ || !conversations_.empty() || !flusher_.Idle();
}

uint64_t ProgmanServer::NextTimerMs() {
    bool draining = exitAsked_ && conversations_.empty();
    return draining ? std::min(commitAt_, DdeNowMs() + kDrainPollMs) : commitAt_;
}

void ProgmanServer::OnTimer() {
    if (commitAt_ != UINT64_MAX && DdeRemainingMs(commitAt_) == 0) Commit();
}

void ProgmanServer::Commit(bool ending) {
    commitAt_ = UINT64_MAX;
    std::string error = flusher_.TakeError();
    if (!error.empty()) Log(error);
    FlushBatch batch = store_.TakeUnsynced(ending);
    batch.ackedAt = firstAck_;
    firstAck_ = 0;
    for (LogFile *log : {&journal_, &log_})
        if (int fd = log->TakeUnsynced(); fd >= 0) batch.files.push_back({fd, log->path()});
    flusher_.Submit(std::move(batch));
}

bool ProgmanServer::OpenLogs(std::string *problem) {
    if (!journal_.Open(problem) || !log_.Open(problem)) return false;
    for (LogFile *log : {&journal_, &log_})
        if (int64_t cut = log->TakeTrimmed(); cut > 0)
            Log("cut off the last " + std::to_string(cut) + " bytes of " + log->path() +
                ": a torn tail left by a power loss");
    return true;
}

void ProgmanServer::Finish() {
    Commit(true);
    flusher_.Drain();
    std::string error = flusher_.TakeError();
    if (!error.empty()) Log(error);
    if (std::string lag = flusher_.TakeLagSummary(); !lag.empty()) Log(lag);
    log_.Sync();
}
