// DDEML client calls against scripted servers in a thread of the test, the
// wire protocol's checks, the rendezvous, and the server side of ddeserver.h.
#include "helpers.h"
#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A server speaking the raw protocol with scripted answers: each execute gets
// the next answer in turn (a delay, then a status word, garbage or nothing).
class FakeServer {
public:
    enum Greeting { WELCOME, REFUSE, SILENT };
    struct Answer {
        int delayMs = 0;
        int status = DDE_FACK;
        bool garbage = false;
        bool silent = false;
    };
    FakeServer(const char *service, Greeting greeting, std::vector<Answer> answers)
        : greeting_(greeting), answers_(std::move(answers)) {
        std::string error;
        listen_ = DdeSocketListen(DdeRendezvousDir(), service, &error);
        EXPECT_GE(listen_, 0) << error;
        service_ = service;
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        uint64_t one = 1;
        EXPECT_EQ(write(stop_, &one, sizeof one), 8);
        thread_.join();
        close(stop_);
        close(listen_);
        DdeSocketUnlink(DdeRendezvousDir(), service_);
    }
    int executes() const { return executes_; }

private:
    // Waits until fd is readable (true) or the server is told to stop (false).
    bool Wait(int fd, int timeoutMs = -1) {
        pollfd p[2] = {{stop_, POLLIN, 0}, {fd, POLLIN, 0}};
        int r = poll(p, fd < 0 ? 1 : 2, timeoutMs);
        return r > 0 && !(p[0].revents & POLLIN);
    }
    bool NextFrame(int fd, DdeFrameReader &reader, DdeFrame *frame) {
        std::string problem;
        for (;;) {
            if (reader.Next(frame, &problem) == DdeFrameReader::FRAME) return true;
            if (!Wait(fd) || DdeReadAvailable(fd, reader) == DDE_IO_CLOSED) return false;
        }
    }
    void Serve() {
        if (!Wait(listen_)) return;
        int client = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        DdeFrameReader reader;
        DdeFrame frame;
        if (client >= 0 && NextFrame(client, reader, &frame) && greeting_ != SILENT) {
            DdeSendAll(client, DdeEncodeU32Pair(DDE_FRAME_WELCOME, frame.seq, greeting_ == WELCOME, 0), DdeNowMs() + 1000);
            for (const Answer &a : answers_) {
                if (!NextFrame(client, reader, &frame)) break;
                executes_++;
                if (a.silent) continue;
                if (a.delayMs > 0 && Wait(-1, a.delayMs) == false && stopped()) break;
                if (a.garbage) {
                    send(client, "garbage, not a frame", 20, MSG_NOSIGNAL);
                } else {
                    DdeSendAll(client, DdeEncodeU32(DDE_FRAME_ACK, frame.seq, a.status), DdeNowMs() + 1000);
                }
            }
        }
        Wait(-1);
        if (client >= 0) close(client);
    }
    bool stopped() {
        pollfd p{stop_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    Greeting greeting_;
    std::vector<Answer> answers_;
    std::string service_;
    int listen_ = -1;
    int stop_ = eventfd(0, EFD_CLOEXEC);
    std::atomic<int> executes_{0};
    std::thread thread_;
};

TEST(DdeClient, StringHandlesAreCaseInsensitiveAtoms) {
    DdeClient client;
    HSZ a = DdeCreateStringHandleA(client.instance, "PROGMAN", 0);
    HSZ b = DdeCreateStringHandleA(client.instance, "progman", CP_WINANSI);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_NE(DdeCreateStringHandleA(client.instance, "Other", 0), a);
    EXPECT_EQ(DdeCreateStringHandleA(client.instance, nullptr, 0), nullptr);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NO_ERROR));  // reading clears it
    EXPECT_EQ(DdeCreateStringHandleA(client.instance, std::string(256, 'x').c_str(), 0), nullptr);
    EXPECT_TRUE(DdeFreeStringHandle(client.instance, a));
    EXPECT_TRUE(DdeFreeStringHandle(client.instance, b));  // two references, two frees
    EXPECT_FALSE(DdeFreeStringHandle(client.instance, a));
    EXPECT_EQ(DdeCreateStringHandleA(12345, "x", 0), nullptr);
}

TEST(DdeClient, InstancesAreCheckedAndEnded) {
    DWORD instance = 0;
    EXPECT_EQ(DdeInitializeA(&instance, nullptr, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
    DWORD bogus = 777;
    DdeClient client;
    EXPECT_EQ(DdeInitializeA(&bogus, [](UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) -> HDDEDATA {
                  return nullptr;
              }, APPCMD_CLIENTONLY, 0),
              static_cast<UINT>(DMLERR_INVALIDPARAMETER));
    EXPECT_NE(client.instance, 0u);
    EXPECT_EQ(DdeGetLastError(777), static_cast<UINT>(DMLERR_DLL_NOT_INITIALIZED));
    EXPECT_TRUE(DdeUninitialize(client.instance));
    EXPECT_FALSE(DdeUninitialize(client.instance));
    client.instance = 0;
}

TEST(DdeClient, ConnectWithoutServerFails) {
    DdeClient client;
    EXPECT_EQ(client.Connect("NOBODY", "NOBODY"), nullptr);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
}

TEST(DdeClient, ConnectFailsWhenRefusedOrUnanswered) {
    const struct {
        FakeServer::Greeting greeting;
        int minMs, maxMs;
    } cases[] = {{FakeServer::REFUSE, 0, 2000}, {FakeServer::SILENT, 4500, 9000}};
    for (const auto &c : cases) {
        FakeServer server("GREETER", c.greeting, {});
        DdeClient client;
        uint64_t start = DdeNowMs();
        EXPECT_EQ(client.Connect("greeter", "topic"), nullptr);
        uint64_t spent = DdeNowMs() - start;
        EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
        EXPECT_GE(spent, static_cast<uint64_t>(c.minMs));
        EXPECT_LE(spent, static_cast<uint64_t>(c.maxMs));
    }
}

TEST(DdeClient, ExecuteResultsFollowTheAcknowledgement) {
    FakeServer::Answer ack{}, nack{}, busy{};
    nack.status = 0;
    busy.status = DDE_FBUSY;
    FakeServer server("ACKER", FakeServer::WELCOME, {ack, nack, busy, ack});
    DdeClient client;
    HCONV conv = client.Connect("Acker", "any");
    ASSERT_NE(conv, nullptr);
    const struct {
        bool ok;
        DWORD status;
        UINT error;
    } expected[] = {{true, DDE_FACK, DMLERR_NO_ERROR},
                    {false, 0, DMLERR_NOTPROCESSED},
                    {false, DDE_FBUSY, DMLERR_BUSY},
                    {true, DDE_FACK, DMLERR_NO_ERROR}};
    for (const auto &e : expected) {
        DWORD status = 0xDEAD;
        HDDEDATA r = client.Execute(conv, "[x()]", 5000, &status);
        EXPECT_EQ(r != nullptr, e.ok);
        EXPECT_EQ(status, e.status);
        EXPECT_EQ(DdeGetLastError(client.instance), e.error);
    }
    EXPECT_EQ(server.executes(), 4);
}

TEST(DdeClient, ExecuteTimesOutAndSkipsTheLateAnswer) {
    FakeServer::Answer late{}, nack{};
    late.delayMs = 700;
    nack.status = 0;
    FakeServer server("SLOW", FakeServer::WELCOME, {late, nack});
    DdeClient client;
    HCONV conv = client.Connect("SLOW", "t");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    uint64_t start = DdeNowMs();
    EXPECT_EQ(client.Execute(conv, "[first]", 300, &status), nullptr);
    uint64_t spent = DdeNowMs() - start;
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_EXECACKTIMEOUT));
    EXPECT_GE(spent, 290u);
    EXPECT_LT(spent, 2000u);
    // The first answer's late positive ack must not be taken for the second's negative one.
    EXPECT_EQ(client.Execute(conv, "[second]", 5000, &status), nullptr);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NOTPROCESSED));
    EXPECT_TRUE(client.disconnects.empty());
}

TEST(DdeClient, ServerThatNeverAnswersCostsOnlyTheTimeOut) {
    FakeServer::Answer silent{};
    silent.silent = true;
    FakeServer server("MUTE", FakeServer::WELCOME, {silent, silent});
    DdeClient client;
    HCONV conv = client.Connect("MUTE", "t");
    ASSERT_NE(conv, nullptr);
    for (DWORD timeout : {200u, 400u}) {
        uint64_t start = DdeNowMs();
        DWORD status = 1;
        EXPECT_EQ(client.Execute(conv, "[x]", timeout, &status), nullptr);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_EXECACKTIMEOUT));
        EXPECT_LT(DdeNowMs() - start, timeout + 1500u);
    }
}

TEST(DdeClient, GarbageFromTheServerEndsTheConversation) {
    FakeServer::Answer garbage{};
    garbage.garbage = true;
    FakeServer server("BABBLE", FakeServer::WELCOME, {garbage});
    DdeClient client;
    HCONV conv = client.Connect("BABBLE", "t");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    EXPECT_EQ(client.Execute(conv, "[x]", 5000, &status), nullptr);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_SERVER_DIED));
    ASSERT_EQ(client.disconnects.size(), 1u);  // heard inside the transaction
    EXPECT_EQ(client.disconnects[0], conv);
    EXPECT_EQ(client.Execute(conv, "[x]", 5000, &status), nullptr);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
    EXPECT_EQ(client.disconnects.size(), 1u);  // once per conversation
}

TEST(DdeClient, TransactionArgumentsAreChecked) {
    FakeServer server("CHECK", FakeServer::WELCOME, {});
    DdeClient client;
    HCONV conv = client.Connect("CHECK", "t");
    ASSERT_NE(conv, nullptr);
    BYTE data[] = "[x]";
    std::vector<BYTE> huge(kDdeMaxExecute + 1, 'x');
    const struct {
        LPBYTE data;
        DWORD length;
        UINT type;
        DWORD timeout;
    } cases[] = {
        {nullptr, 4, XTYP_EXECUTE, 1000},          {data, 0, XTYP_EXECUTE, 1000},
        {data, 4, XTYP_CONNECT, 1000},             {data, 4, XTYP_EXECUTE, TIMEOUT_ASYNC},
        {huge.data(), static_cast<DWORD>(huge.size()), XTYP_EXECUTE, 1000},
    };
    for (const auto &c : cases) {
        DWORD status = 0;
        EXPECT_EQ(DdeClientTransaction(c.data, c.length, conv, nullptr, 0, c.type, c.timeout, &status), nullptr);
        EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
    }
    EXPECT_EQ(DdeClientTransaction(data, 4, reinterpret_cast<HCONV>(0x42), nullptr, 0, XTYP_EXECUTE, 1000, nullptr),
              nullptr);
    EXPECT_EQ(server.executes(), 0);
}

TEST(DdeClient, ConversationInfoNamesThePartnerWindow) {
    FakeServer server("INFO", FakeServer::WELCOME, {});
    DdeClient client;
    HCONV conv = client.Connect("INFO", "Topic");
    ASSERT_NE(conv, nullptr);
    CONVINFO ci{};
    ci.cb = sizeof ci;
    EXPECT_EQ(DdeQueryConvInfo(conv, QID_SYNC, &ci), static_cast<UINT>(sizeof ci));
    EXPECT_NE(ci.hwndPartner, nullptr);
    EXPECT_NE(ci.hwndPartner, ci.hwnd);
    EXPECT_EQ(ci.wStatus & 0x0001u, 0x0001u);  // connected
    // The conversation keeps its names although the caller freed its handles.
    EXPECT_EQ(ci.hszTopic, DdeCreateStringHandleA(client.instance, "TOPIC", 0));
    EXPECT_EQ(DdeQueryConvInfo(conv, 1, &ci), 0u);
    EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_UNFOUND_QUEUE_ID));
    EXPECT_EQ(DdeQueryConvInfo(reinterpret_cast<HCONV>(0x42), QID_SYNC, &ci), 0u);
}

TEST(DdeWire, ReaderRejectsMalformedHeadersAndReassemblesSplitFrames) {
    const struct {
        std::vector<uint8_t> bytes;
        DdeFrameReader::Result result;
    } cases[] = {
        {{'X', 'E', 3, 0, 0, 0, 0, 0, 1, 0, 0, 0, 'a'}, DdeFrameReader::BAD},           // magic
        {{'D', 'E', 99, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DdeFrameReader::BAD},               // type
        {{'D', 'E', 4, 0, 0, 0, 0, 0, 5, 0, 0, 0}, DdeFrameReader::BAD},                // ack too long
        {{'D', 'E', 3, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f}, DdeFrameReader::BAD},    // execute too long
        {{'D', 'E', 3, 0, 0, 0, 0, 0, 4, 0, 0, 0, 'a'}, DdeFrameReader::NEED_MORE},     // payload still coming
        {{'D', 'E', 3, 0}, DdeFrameReader::NEED_MORE},
    };
    for (const auto &c : cases) {
        DdeFrameReader reader;
        reader.Append(c.bytes.data(), c.bytes.size());
        DdeFrame frame;
        std::string problem;
        EXPECT_EQ(reader.Next(&frame, &problem), c.result);
    }
    std::vector<uint8_t> two = DdeEncodeFrame(DDE_FRAME_EXECUTE, 7, "[a]", 4);
    std::vector<uint8_t> second = DdeEncodeU32(DDE_FRAME_ACK, 8, DDE_FACK);
    two.insert(two.end(), second.begin(), second.end());
    DdeFrameReader reader;
    std::vector<DdeFrame> got;
    for (uint8_t b : two) {  // one byte at a time
        reader.Append(&b, 1);
        DdeFrame f;
        std::string problem;
        if (reader.Next(&f, &problem) == DdeFrameReader::FRAME) got.push_back(f);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].seq, 7u);
    EXPECT_EQ(std::string(got[0].payload.begin(), got[0].payload.end()), std::string("[a]\0", 4));
    EXPECT_EQ(DdePayloadU32(got[1]), static_cast<uint32_t>(DDE_FACK));
}

TEST(DdeWire, FramesAreCheckedByType) {
    auto frame = [](uint16_t type, std::string payload) {
        DdeFrame f;
        f.type = type;
        f.payload.assign(payload.begin(), payload.end());
        return f;
    };
    const struct {
        DdeFrame frame;
        bool valid;
    } cases[] = {
        {frame(DDE_FRAME_HELLO, std::string("PROGMAN\0PROGMAN\0", 16)), true},
        {frame(DDE_FRAME_HELLO, std::string("PROGMAN\0PROGMAN", 15)), false},
        {frame(DDE_FRAME_HELLO, std::string("\0PROGMAN\0", 9)), false},
        {frame(DDE_FRAME_HELLO, std::string("A\0B\0C\0", 6)), false},
        {frame(DDE_FRAME_EXECUTE, ""), false},
        {frame(DDE_FRAME_WELCOME, std::string("\2\0\0\0", 4)), false},
        {frame(DDE_FRAME_WELCOME, std::string("\1\0\0\0", 4)), false},  // no window style
        {frame(DDE_FRAME_WELCOME, std::string("\1\0\0\0\0\0\xcf\x30", 8)), true},
        {frame(DDE_FRAME_WINDOW_STATE, std::string("\0\0\xcf\x30", 4)), true},
        {frame(DDE_FRAME_WINDOW_STATE, std::string("\0\0\xcf\x30\0", 5)), false},
        {frame(DDE_FRAME_WINDOW, std::string("\2\0\0\0\0\0\0\0", 8)), true},
        {frame(DDE_FRAME_WINDOW, std::string("\x09\0\0\0\0\0\0\0", 8)), false},
        {frame(DDE_FRAME_ACK, std::string("\0\0\1\0", 4)), false},
    };
    for (size_t i = 0; i < std::size(cases); i++) EXPECT_EQ(DdeFrameProblem(cases[i].frame).empty(), cases[i].valid) << i;
}

TEST(DdeRendezvous, ServiceNamesFoldCaseAndFitAnAddress) {
    EXPECT_EQ(DdeServiceFileName("PROGMAN"), DdeServiceFileName("progman"));
    EXPECT_EQ(DdeServiceFileName("a/b c"), "a%2fb%20c.sock");
    std::string longName(255, 'Q');
    EXPECT_LT(DdeServiceFileName(longName).size(), 60u);
    EXPECT_NE(DdeServiceFileName(longName), DdeServiceFileName(std::string(254, 'Q')));
}

TEST(DdeRendezvous, DirectoryIsKeptPrivate) {
    std::string dir = DdeRendezvousDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(DdeRendezvousDir(), dir);
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(DdeRendezvous, EachMachineHasItsOwnRuntimeDirectory) {
    TempDir base;
    std::string runtime = base / "runtime", one = base / "one", two = base / "two", link = base / "link";
    for (const std::string &d : {runtime, one, two}) ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    ASSERT_EQ(symlink(one.c_str(), link.c_str()), 0);
    std::string first = DdeRendezvousDirFor(one, runtime);
    ASSERT_EQ(first.rfind(runtime + "/pellor-", 0), 0u) << first;
    EXPECT_EQ(DdeRendezvousDirFor(link, runtime), first);  // one machine, however reached
    std::string second = DdeRendezvousDirFor(two, runtime);
    EXPECT_NE(second, first);
    EXPECT_EQ(DdeRendezvousDirFor(two, ""), two + "/dde");  // without a runtime directory
    ASSERT_EQ(chmod(second.c_str(), 0777), 0);
    EXPECT_EQ(DdeRendezvousDirFor(two, runtime), second);
    struct stat st {};
    ASSERT_EQ(lstat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A link planted where the rendezvous goes is refused, not followed.
    ASSERT_EQ(rmdir(second.c_str()), 0);
    ASSERT_EQ(symlink(one.c_str(), second.c_str()), 0);
    EXPECT_EQ(DdeRendezvousDirFor(two, runtime), "");
    EXPECT_EQ(DdeRendezvousDirFor(base / "none", runtime), "");
}

// A machine must be private, and no one else may put another directory in its
// place from above (a sticky directory such as /tmp is fine). It is resolved
// to its real path, and the fix a refusal suggests is quoted for the shell.
TEST(Machine, ADirectoryOthersMayWriteIsRefused) {
    TempDir base;
    std::string file = base / "file";
    WriteFile(file, "", 0600);
    const struct {
        const char *name;  // under base; its first component is the parent when it has two
        unsigned mode;     // 0: not made
        bool foreign;
        unsigned long error;
        unsigned parentMode = 0;
        bool parentForeign = false;
        const char *says = "";  // in the reason, @ standing for base
        const char *linkTo = nullptr;  // name is a symlink to this directory under base
    } cases[] = {
        {"private", 0700, false, ERROR_SUCCESS},
        {"readable", 0755, false, ERROR_SUCCESS},
        {"group-writable", 0770, false, ERROR_ACCESS_DENIED, 0, false, "(chmod go-w '@/group-writable')"},
        {"world-writable", 01777, false, ERROR_ACCESS_DENIED},
        {"foreign", 0700, true, ERROR_ACCESS_DENIED},
        {"file", 0, false, ERROR_PATH_NOT_FOUND},
        {"loose/m", 0700, false, ERROR_ACCESS_DENIED, 0777, false, "@/loose is writable by group or others"},
        {"sticky/m", 0700, false, ERROR_SUCCESS, 01777},
        {"others/m", 0700, false, ERROR_ACCESS_DENIED, 0755, true, "@/others belongs to another user"},
        {"m x;touch PWNED;#", 0770, false, ERROR_ACCESS_DENIED, 0, false, "(chmod go-w '@/m x;touch PWNED;#')"},
        {"it's", 0770, false, ERROR_ACCESS_DENIED, 0, false, "(chmod go-w '@/it'\\''s')"},
        {"link", 0, false, ERROR_SUCCESS, 0, false, "", "private"},
    };
    for (const auto &c : cases) {
        std::string dir = base / c.name, says = c.says;
        for (size_t at = says.find('@'); at != std::string::npos; at = says.find('@')) says.replace(at, 1, base.path());
        if (std::string name = c.name; name.find('/') != std::string::npos) {
            std::string parent = base / name.substr(0, name.find('/'));
            ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
            ASSERT_EQ(chmod(parent.c_str(), c.parentMode), 0);
            if (c.parentForeign && chown(parent.c_str(), 65534, static_cast<gid_t>(-1)) != 0) continue;  // not root
        }
        if (c.mode != 0) {
            ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
        }
        if (c.linkTo != nullptr) {
            ASSERT_EQ(symlink((base / c.linkTo).c_str(), dir.c_str()), 0);
        }
        if (c.foreign && chown(dir.c_str(), geteuid() + 1, static_cast<gid_t>(-1)) != 0) continue;  // not root
        unsigned long error = 12345;
        std::string problem = PrivateDirProblem(dir, &error);
        EXPECT_EQ(error, c.parentMode != 0 || c.linkTo != nullptr ? ERROR_SUCCESS : c.error) << c.name;
        std::string real;
        problem = ResolveMachineDir(dir, &real, &error);
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(problem.empty(), c.error == ERROR_SUCCESS) << c.name << ": " << problem;
        EXPECT_EQ(real, c.error != ERROR_SUCCESS ? "" : c.linkTo != nullptr ? base / c.linkTo : dir) << c.name;
        // The tools say why; the machine is left as it was.
        RunResult listed = RunProgram(BinPath("progman"), {"--list"}, {"PELLOR_MACHINE=" + dir});
        EXPECT_EQ(listed.status, c.error == ERROR_SUCCESS ? 0 : 1) << c.name << ": " << listed.err;
        EXPECT_NE(listed.err.find(says), std::string::npos) << listed.err;
    }
}

TEST(DdeRendezvous, ListensFromShortAndLongDirectories) {
    TempDir dir;
    std::string shortDir = dir.path(), longDir = dir.path() + "/" + std::string(120, 'd');
    ASSERT_EQ(mkdir(longDir.c_str(), 0700), 0);
    for (const std::string &d : {shortDir, longDir}) {
        std::string error;
        int fd = DdeSocketListen(d, "Svc", &error);
        ASSERT_GE(fd, 0) << error;
        int second = DdeSocketListen(d, "SVC", &error);  // a live server keeps its service
        EXPECT_LT(second, 0);
        EXPECT_NE(error.find("already served"), std::string::npos);
        int client = DdeSocketConnect(d, "svc");
        EXPECT_GE(client, 0);
        close(client);
        close(fd);  // dies without removing its socket
        fd = DdeSocketListen(d, "Svc", &error);  // the stale socket is replaced
        EXPECT_GE(fd, 0) << error;
        close(fd);
        DdeSocketUnlink(d, "Svc");
        EXPECT_LT(DdeSocketConnect(d, "Svc"), 0);
    }
}

// A handler for the server-side tests: acknowledges "[ok]", counts, and
// ends the serving loop after "[stop]".
class CountingHandler : public DdeServerHandler {
public:
    bool OnConnect(DdeServerConv, const std::string &topic) override { return topic == "T"; }
    uint16_t OnExecute(DdeServerConv, const uint8_t *data, size_t length) override {
        executes++;
        if (std::string(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), length)) ==
            "[stop]")
            stop = true;
        return std::string(reinterpret_cast<const char *>(data), length) == std::string("[ok]\0", 5) ? DDE_FACK : 0;
    }
    int32_t OnWindow(DdeServerConv, uint32_t, int32_t) override { return 1; }
    void OnDisconnect(DdeServerConv) override { disconnects++; }
    void OnProblem(DdeServerConv, const std::string &) override { problems++; }
    bool KeepServing() override { return !stop; }
    std::atomic<int> executes{0}, disconnects{0}, problems{0};
    std::atomic<bool> stop{false};
};

TEST(DdeServer, DropsBadClientsAndServesTheRest) {
    std::string error;
    DdeServer *server = DdeServerOpen("COUNTER", &error);
    ASSERT_NE(server, nullptr) << error;
    CountingHandler handler;
    std::thread serving([&] { DdeServerRun(server, handler, nullptr); });
    std::string dir = DdeRendezvousDir();
    std::string hello("COUNTER\0T\0", 10);
    std::vector<std::vector<uint8_t>> attacks = {
        {'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e', '!'},              // garbage
        DdeEncodeFrame(DDE_FRAME_EXECUTE, 1, "[ok]", 5),                          // no greeting first
        DdeEncodeFrame(DDE_FRAME_HELLO, 0, "COUNTER\0T", 9),                       // malformed greeting
    };
    for (const auto &bytes : attacks) {
        int fd = DdeSocketConnect(dir, "COUNTER");
        ASSERT_GE(fd, 0);
        DdeSendAll(fd, bytes, DdeNowMs() + 1000);
        DdeFrameReader reader;
        DdeFrame f;
        std::string problem;
        EXPECT_EQ(DdeReceiveFrame(fd, reader, &f, DdeNowMs() + 3000, &problem), DDE_IO_CLOSED);
        close(fd);
    }
    // A client that sends its command and vanishes before the answer.
    int fd = DdeSocketConnect(dir, "COUNTER");
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> both = DdeEncodeFrame(DDE_FRAME_HELLO, 0, hello.data(), hello.size());
    std::vector<uint8_t> exec = DdeEncodeFrame(DDE_FRAME_EXECUTE, 1, "[ok]", 5);
    both.insert(both.end(), exec.begin(), exec.end());
    DdeSendAll(fd, both, DdeNowMs() + 1000);
    close(fd);
    // The server still serves a well-behaved client.
    DdeClient client;
    HCONV conv = client.Connect("counter", "T");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    EXPECT_NE(client.Execute(conv, "[ok]", 5000, &status), nullptr);
    EXPECT_EQ(client.Connect("counter", "other topic"), nullptr);
    EXPECT_EQ(handler.executes, 2);
    EXPECT_GE(handler.problems, 3);
    EXPECT_EQ(client.Execute(conv, "[stop]", 5000, &status), nullptr);  // refused, and the loop ends after it
    serving.join();
    EXPECT_EQ(handler.executes, 3);
    DdeServerClose(server);
    EXPECT_EQ(DdeSocketConnect(dir, "COUNTER"), -1);
}

}  // namespace
