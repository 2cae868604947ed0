// The DDE server's serving loop with the Program Manager's own handler, on a
// scratch machine, driven turn by turn (DdeServerTurn, never waiting) while up
// to four clients connect, send, read and vanish in the order the input says.
// Clients 0 and 1 play by the rules: they greet at once, send well-formed
// frames (in pieces of any size) and read their answers. Clients 2 and 3 send
// raw bytes, greetings, executes or floods of window requests, and may never
// read. Properties: a client that plays by the rules is never dropped, and
// every request it sent whole is answered, in order; the store holds what the
// journal's commands, replayed on an empty store, make of it.
//
// Each input byte is an operation (what, and for which client); operations
// that need more take the bytes after it. Nothing sleeps and no clock decides
// what is checked: a local socket holds what was sent at once, a turn serves
// what the sockets hold, the server's time-outs are seconds to minutes away,
// and the settling at the end is bounded.
#include "commands.h"
#include "server.h"
#include "store.h"
#include "support.h"

#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kClients = 4;
constexpr int kPolite = 2;              // clients below this play by the rules
constexpr int kBurstBudget = 4096;      // requests the bursts and floods of one input may add
constexpr int kSettleTurns = 4000;      // far more than the input's frames need
const char kHello[] = "PROGMAN\0PROGMAN";  // with the string's own NUL: both names ended

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    // Text up to a NUL (or 200 bytes): the journal's \xHH is then never a
    // backslash sent, so its lines replay exactly.
    std::string Text() {
        std::string text;
        while (at < size && data[at] != 0 && text.size() < 200) {
            char c = static_cast<char>(data[at++]);
            text += c == '\\' ? '/' : c;
        }
        if (at < size && data[at] == 0) at++;
        return text;
    }
};

struct Expected {
    uint64_t end;  // the request is whole once the stream has sent this many bytes
    uint16_t type;
    uint32_t seq;
};

struct Client {
    int fd = -1;
    DdeFrameReader reader;
    std::vector<uint8_t> unsent;
    uint64_t sent = 0, queued = 0;  // bytes of the stream sent, and made
    uint32_t seq = 0;
    std::deque<Expected> pending;   // requests not yet sent whole, with the answer each wants
    std::deque<Expected> awaiting;  // sent whole, not answered yet
};

const char *const kCommands[] = {
    "[CreateGroup(G%)]",     "[CreateGroup(G%,1)]", "[AddItem(a.exe, I%)]", "[AddItem(b.exe /x, I%, b.ico, 3)]",
    "[DeleteItem(I%)]",      "[DeleteGroup(G%)]",   "[ShowGroup(G%, 1)]",   "[ShowGroup(G%, 8,1)]",
    "[CreateGroup(G%)][AddItem(c.exe, I%)][DeleteItem(I%)]", "[ExitProgman(1)]",
};

// One of the commands above, on one of four groups and items.
std::string TableCommand(uint8_t pick) {
    std::string command = kCommands[pick % std::size(kCommands)];
    for (size_t at; (at = command.find('%')) != std::string::npos;)
        command.replace(at, 1, std::to_string(pick / 16 % 4));
    return command;
}

// Adds a frame to the client's stream; answer is the reply it wants, 0 for none.
void Queue(Client &c, const std::vector<uint8_t> &frame, uint16_t answer) {
    c.unsent.insert(c.unsent.end(), frame.begin(), frame.end());
    c.queued += frame.size();
    if (answer != 0) c.pending.push_back(Expected{c.queued, answer, c.seq});
}

// Closes the client's socket: it starts over.
void Reset(Client &c) {
    if (c.fd >= 0) close(c.fd);
    c = Client{};
}

// How many bytes a transmission hands over: 1 to 128, or 1 to 128 KiB for floods.
size_t Amount(uint8_t b) { return b < 128 ? b + 1u : (b - 127u) * 1024; }

// Hands up to limit bytes to the socket; false when the server has closed it.
bool Transmit(Client &c, size_t limit) {
    size_t n = std::min(limit, c.unsent.size());
    if (n == 0) return true;
    ssize_t sent = send(c.fd, c.unsent.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    c.unsent.erase(c.unsent.begin(), c.unsent.begin() + sent);
    c.sent += static_cast<uint64_t>(sent);
    while (!c.pending.empty() && c.pending.front().end <= c.sent) {
        c.awaiting.push_back(c.pending.front());
        c.pending.pop_front();
    }
    return true;
}

// A client that plays by the rules reads: each answer is the one its oldest
// whole request wants, and the server never closes on it.
void ReadPolite(Client &c) {
    FUZZ_CHECK(DdeReadAvailable(c.fd, c.reader) == DDE_IO_OK);
    for (;;) {
        DdeFrame f;
        std::string problem;
        DdeFrameReader::Result r = c.reader.Next(&f, &problem);
        FUZZ_CHECK(r != DdeFrameReader::BAD);
        if (r == DdeFrameReader::NEED_MORE) return;
        FUZZ_CHECK(DdeFrameProblem(f).empty());
        FUZZ_CHECK(!c.awaiting.empty());
        FUZZ_CHECK(f.type == c.awaiting.front().type && f.seq == c.awaiting.front().seq);
        if (f.type == DDE_FRAME_WELCOME) FUZZ_CHECK(DdePayloadU32(f) == DDE_WELCOME_ACCEPTED);
        c.awaiting.pop_front();
    }
}

// What a rude client reads is dropped; the end of its stream ends it.
void ReadRude(Client &c) {
    uint8_t buffer[16384];
    ssize_t n;
    while ((n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    }
    if (n == 0) Reset(c);
}

void Connect(Client &c, bool polite) {
    if (c.fd >= 0) return;
    c.fd = DdeSocketConnect(DdeRendezvousDir(), "PROGMAN");
    FUZZ_CHECK(c.fd >= 0);
    if (!polite) return;
    Queue(c, DdeEncodeFrame(DDE_FRAME_HELLO, 0, kHello, sizeof kHello), DDE_FRAME_WELCOME);
    FUZZ_CHECK(Transmit(c, c.unsent.size()) && c.unsent.empty());  // a client greets at once
}

// Queues a request, or a burst of the same one (more than a turn serves at once).
void SendPolite(Client &c, Input &in, int *budget) {
    uint8_t how = in.Byte();
    int count = std::min(how >= 224 ? (how - 223) * 4 : 1, *budget);
    *budget -= count;
    if (how % 4 == 3) {
        uint8_t payload[8] = {static_cast<uint8_t>(1 + in.Byte() % 3), 0, 0, 0, in.Byte(), 0, 0, 0};
        for (int i = 0; i < count; i++)
            Queue(c, DdeEncodeFrame(DDE_FRAME_WINDOW, ++c.seq, payload, sizeof payload), DDE_FRAME_WINDOW_STATE);
        return;
    }
    std::string text = how % 4 == 2 ? in.Text() : TableCommand(in.Byte());
    for (int i = 0; i < count; i++)
        Queue(c, DdeEncodeFrame(DDE_FRAME_EXECUTE, ++c.seq, text.c_str(), text.size() + 1), DDE_FRAME_ACK);
}

void SendRude(Client &c, Input &in, int *budget) {
    uint8_t how = in.Byte();
    if (how % 4 == 0) {
        for (int n = in.Byte() % 64 + 1; n > 0; n--) {
            uint8_t b = in.Byte();
            c.unsent.push_back(b == '\\' ? '/' : b);
        }
    } else if (how % 4 == 1) {
        Queue(c, DdeEncodeFrame(DDE_FRAME_HELLO, 0, kHello, sizeof kHello), 0);
    } else if (how % 4 == 2) {
        std::string text = in.Text();
        Queue(c, DdeEncodeFrame(DDE_FRAME_EXECUTE, ++c.seq, text.c_str(), text.size() + 1), 0);
    } else {
        for (int n = std::min<int>(in.Byte() * 4, *budget); n > 0; n--, --*budget)
            Queue(c, DdeEncodeU32Pair(DDE_FRAME_WINDOW, ++c.seq, DDE_WINDOW_STYLE, 0), 0);
    }
}

// Serves until every request of the clients that play by the rules is sent
// and answered; the turns it takes are bounded.
void Settle(DdeServer *server, ProgmanServer &handler, Client *clients) {
    for (int turn = 0;; turn++) {
        bool done = true;
        for (int k = 0; k < kPolite; k++) {
            Client &c = clients[k];
            if (c.fd < 0) continue;
            FUZZ_CHECK(Transmit(c, c.unsent.size()));
            ReadPolite(c);
            done = done && c.unsent.empty() && c.awaiting.empty();
        }
        if (done) return;
        FUZZ_CHECK(turn < kSettleTurns);
        FUZZ_CHECK(DdeServerTurn(server, handler, nullptr, 0));
    }
}

// The journal's text of a command, as it was sent.
std::string Unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The groups and items the files of a store hold.
std::string Listing(const std::string &root) {
    std::string out;
    for (int scope : {SCOPE_COMMON, SCOPE_PERSONAL})
        for (const StoredGroup &g : StoreList(root, scope)) {
            out += std::to_string(scope) + " " + g.name + "\n";
            for (const ProgramItem &i : g.items)
                out += "  " + i.name + ": " + i.commandLine + " " + i.iconFile + " " + std::to_string(i.iconIndex) +
                       "\n";
        }
    return out;
}

// Replays the journal's commands, each with its conversation's session, on an
// empty store: each has the outcome journaled, and the stores end up alike.
void CheckJournal(const std::string &root, const std::string &replayRoot) {
    RemoveTree(replayRoot);
    FUZZ_CHECK(mkdir(replayRoot.c_str(), 0700) == 0);
    GroupStore replay(replayRoot);
    std::string error;
    FUZZ_CHECK(replay.Open(&error));
    std::map<std::string, ProgmanSession> sessions;
    std::ifstream journal(root + "/journal.log");  // none until a conversation opens
    for (std::string line; std::getline(journal, line);) {
        std::vector<std::string> fields(1);
        for (char c : line) {
            if (c == '\t')
                fields.emplace_back();
            else
                fields.back() += c;
        }
        if (fields.size() != 4) continue;  // a connect or a disconnect
        std::string why;
        FUZZ_CHECK(ProgmanRunExecute(replay, sessions[fields[1]], Unescape(fields[2]), &why) == (fields[3] == "ACK"));
    }
    FUZZ_CHECK(Listing(root) == Listing(replayRoot));
}

// The scratch machine, set up once: the rendezvous goes into it.
const std::string &Machine() {
    static const std::string dir = [] {
        std::string d = ScratchDir() + "/machine";
        FUZZ_CHECK(mkdir(d.c_str(), 0700) == 0);
        setenv("PELLOR_MACHINE", d.c_str(), 1);
        unsetenv("XDG_RUNTIME_DIR");
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;  // executes write files: keep an input's cost bounded
    const std::string root = Machine() + "/progman";
    RemoveTree(root);
    FUZZ_CHECK(mkdir(root.c_str(), 0700) == 0);
    std::string error;
    GroupStore store(root);
    FUZZ_CHECK(store.Open(&error));
    DdeServer *server = DdeServerOpen("PROGMAN", &error);
    FUZZ_CHECK(server != nullptr);
    Client clients[kClients];
    {
        ProgmanServer handler(root, store, false);
        handler.Attach(server);
        Input in{data, size};
        int budget = kBurstBudget;
        while (in.at < in.size) {
            uint8_t op = in.Byte();
            Client &c = clients[op / 6 % kClients];
            bool polite = op / 6 % kClients < kPolite;
            if (op % 6 == 0) {
                Connect(c, polite);
            } else if (op % 6 == 1 && c.fd >= 0) {
                polite ? SendPolite(c, in, &budget) : SendRude(c, in, &budget);
            } else if (op % 6 == 2 && c.fd >= 0 && !Transmit(c, Amount(in.Byte()))) {
                FUZZ_CHECK(!polite);  // the server closed on a client that plays by the rules
                Reset(c);
            } else if (op % 6 == 3 && c.fd >= 0) {
                polite ? ReadPolite(c) : ReadRude(c);
            } else if (op % 6 == 4) {
                Reset(c);  // gone, maybe mid-frame or before its answers
            } else if (op % 6 == 5) {
                FUZZ_CHECK(DdeServerTurn(server, handler, nullptr, 0));
            }
        }
        Settle(server, handler, clients);
        for (Client &c : clients) Reset(c);
        DdeServerClose(server);
        handler.Finish();
    }
    CheckJournal(root, ScratchDir() + "/replay");
    return 0;
}
