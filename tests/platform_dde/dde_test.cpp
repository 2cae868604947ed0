// DDEML client calls against scripted servers in a thread of the test, the
// wire protocol's checks, the rendezvous, and the server side of ddeserver.h.
#include "helpers.h"
#include "platform/posix/dde/ddeserver.h"
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/machine.h"
#include "platform/syshooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/securebits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A server speaking the raw protocol with scripted answers: each execute gets
// the next answer in turn (a delay, then a status word, garbage or nothing).
class FakeServer {
public:
    enum Greeting { WELCOME, REFUSE, SILENT, BUSY };
    struct Answer {
        int delayMs = 0;
        int status = DDE_FACK;
        bool garbage = false;
        bool silent = false;
        std::string data;  // what a request gets when status has DDE_FACK
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
            uint32_t answer = greeting_ == WELCOME ? DDE_WELCOME_ACCEPTED
                              : greeting_ == BUSY  ? DDE_WELCOME_BUSY
                                                   : DDE_WELCOME_REFUSED;
            DdeSendAll(client, DdeEncodeU32Pair(DDE_FRAME_WELCOME, frame.seq, answer, 0), DdeNowMs() + 1000);
            for (const Answer &a : answers_) {
                if (!NextFrame(client, reader, &frame)) break;
                executes_++;
                if (a.silent) continue;
                if (a.delayMs > 0 && Wait(-1, a.delayMs) == false && stopped()) break;
                if (a.garbage) {
                    send(client, "garbage, not a frame", 20, MSG_NOSIGNAL);
                } else if (frame.type == DDE_FRAME_REQUEST) {
                    std::string payload = std::string(4, '\0') + a.data;
                    for (int b = 0; b < 4; b++) payload[b] = static_cast<char>(a.status >> (8 * b));
                    DdeSendAll(client, DdeEncodeFrame(DDE_FRAME_DATA, frame.seq, payload.data(), payload.size()),
                               DdeNowMs() + 1000);
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
        UINT error;
    } cases[] = {{FakeServer::REFUSE, 0, 2000, DMLERR_NO_CONV_ESTABLISHED},
                 {FakeServer::BUSY, 0, 2000, DMLERR_BUSY},
                 {FakeServer::SILENT, 4500, 9000, DMLERR_NO_CONV_ESTABLISHED}};
    for (const auto &c : cases) {
        FakeServer server("GREETER", c.greeting, {});
        DdeClient client;
        uint64_t start = DdeNowMs();
        EXPECT_EQ(client.Connect("greeter", "topic"), nullptr);
        uint64_t spent = DdeNowMs() - start;
        EXPECT_EQ(DdeGetLastError(client.instance), c.error);
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
    static int awaited = 0;  // the run log's lines wait for this
    CallWhileAnswerAwaited([] { awaited++; });
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
    CallWhileAnswerAwaited(nullptr);
    EXPECT_EQ(server.executes(), 4);
    EXPECT_EQ(awaited, 4);
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
        {nullptr, 0, XTYP_REQUEST, 1000},  // a request names its item
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

// A request brings the item's data, its NUL included, as a handle of the caller's
// instance; a server without the item, or one that answers late, fails it as DDEML
// does, and the late answer is not taken for the next request's.
TEST(DdeClient, RequestsBringTheDataOrFailAsDdemlDoes) {
    const std::string groups = "Main\r\nGames\r\n";
    FakeServer::Answer data{}, none{}, late{};
    data.data = groups + '\0';
    none.status = 0;
    late.delayMs = 700;
    late.data = "late";
    FakeServer server("ASKED", FakeServer::WELCOME, {data, none, late, data});
    DdeClient client;
    HCONV conv = client.Connect("ASKED", "t");
    ASSERT_NE(conv, nullptr);
    HSZ item = DdeCreateStringHandleA(client.instance, "Groups", CP_WINANSI);
    const struct {
        DWORD timeout;
        bool data;
        UINT error;
    } requests[] = {{5000, true, DMLERR_NO_ERROR},
                    {5000, false, DMLERR_NOTPROCESSED},
                    {300, false, DMLERR_DATAACKTIMEOUT},
                    {5000, true, DMLERR_NO_ERROR}};
    for (const auto &r : requests) {
        HDDEDATA h = DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, r.timeout, nullptr);
        EXPECT_EQ(DdeGetLastError(client.instance), r.error);
        ASSERT_EQ(h != nullptr, r.data);
        if (h == nullptr) continue;
        ASSERT_EQ(DdeGetData(h, nullptr, 0, 0), groups.size() + 1);
        char whole[32] = {}, part[4] = {};
        EXPECT_EQ(DdeGetData(h, reinterpret_cast<LPBYTE>(whole), sizeof whole, 0), groups.size() + 1);
        EXPECT_EQ(std::string(whole), groups);
        EXPECT_EQ(DdeGetData(h, reinterpret_cast<LPBYTE>(part), 3, 6), 3u);  // max and offset count
        EXPECT_STREQ(part, "Gam");
        EXPECT_EQ(DdeGetData(h, reinterpret_cast<LPBYTE>(part), 3, 100), 0u);
        EXPECT_TRUE(DdeFreeDataHandle(h));
        EXPECT_EQ(DdeGetData(h, reinterpret_cast<LPBYTE>(part), 3, 0), 0u);  // freed
        EXPECT_FALSE(DdeFreeDataHandle(h));
    }
    EXPECT_TRUE(client.disconnects.empty());
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

// A window request waits for the conversation's next frame and goes with it, so
// that the server wakes once for both; the server's answers to both come back
// together, the window's state first.
TEST(DdeClient, AWindowRequestRidesWithTheNextExecute) {
    std::string error;
    int listening = DdeSocketListen(DdeRendezvousDir(), "RIDE", &error);
    ASSERT_GE(listening, 0) << error;
    int served = -1;
    std::thread greeter([&] {  // the welcome comes from another thread: DdeConnect waits for it
        pollfd p{listening, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        served = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        DdeFrameReader reader;
        DdeFrame hello;
        std::string problem;
        if (DdeReceiveFrame(served, reader, &hello, DdeNowMs() + 5000, &problem) != DDE_IO_OK) return;
        DdeSendAll(served, DdeEncodeU32Pair(DDE_FRAME_WELCOME, hello.seq, DDE_WELCOME_ACCEPTED, 0), DdeNowMs() + 1000);
    });
    DdeClient client;
    HCONV conv = client.Connect("RIDE", "Topic");
    greeter.join();
    ASSERT_NE(conv, nullptr);
    CONVINFO ci{};
    ci.cb = sizeof ci;
    DdeQueryConvInfo(conv, QID_SYNC, &ci);

    EXPECT_TRUE(SetForegroundWindow(ci.hwndPartner));
    pollfd p{served, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0) << "the window request went alone";
    std::vector<uint8_t> answers = DdeEncodeU32(DDE_FRAME_WINDOW_STATE, 1, WS_MINIMIZE);
    std::vector<uint8_t> ack = DdeEncodeU32(DDE_FRAME_ACK, 2, DDE_FACK);
    answers.insert(answers.end(), ack.begin(), ack.end());
    ASSERT_EQ(DdeSendAll(served, answers, DdeNowMs() + 1000), DDE_IO_OK);  // answered before it is asked
    DWORD status = 0;
    EXPECT_NE(client.Execute(conv, "[ok]", 5000, &status), nullptr);
    EXPECT_EQ(GetWindowLongA(ci.hwndPartner, GWL_STYLE), WS_MINIMIZE);  // taken in with the acknowledgement

    uint8_t bytes[256];
    ssize_t n = recv(served, bytes, sizeof bytes, MSG_DONTWAIT);
    DdeFrameReader reader;
    ASSERT_GT(n, 0);
    reader.Append(bytes, static_cast<size_t>(n));
    DdeFrame frame;
    std::string problem;
    for (uint16_t type : {DDE_FRAME_WINDOW, DDE_FRAME_EXECUTE}) {
        ASSERT_EQ(reader.Next(&frame, &problem), DdeFrameReader::FRAME);
        EXPECT_EQ(frame.type, type);
    }
    close(served);
    close(listening);
    DdeSocketUnlink(DdeRendezvousDir(), "RIDE");
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
        {frame(DDE_FRAME_WELCOME, std::string("\2\0\0\0\0\0\0\0", 8)), true},  // busy
        {frame(DDE_FRAME_WELCOME, std::string("\3\0\0\0\0\0\0\0", 8)), false},
        {frame(DDE_FRAME_WINDOW_STATE, std::string("\0\0\xcf\x30", 4)), true},
        {frame(DDE_FRAME_WINDOW_STATE, std::string("\0\0\xcf\x30\0", 5)), false},
        {frame(DDE_FRAME_WINDOW, std::string("\2\0\0\0\0\0\0\0", 8)), true},
        {frame(DDE_FRAME_WINDOW, std::string("\x09\0\0\0\0\0\0\0", 8)), false},
        {frame(DDE_FRAME_ACK, std::string("\0\0\1\0", 4)), false},
        {frame(DDE_FRAME_REQUEST, std::string("\1\0\0\0Groups\0", 11)), true},
        {frame(DDE_FRAME_REQUEST, std::string("\1\0\0\0\0", 5)), false},         // no item
        {frame(DDE_FRAME_REQUEST, std::string("\1\0\0\0Groups", 10)), false},     // no NUL
        {frame(DDE_FRAME_REQUEST, std::string("\1\0\0\0Gr\0ps\0", 11)), false},  // two names
        {frame(DDE_FRAME_DATA, std::string("\0\x80\0\0Main\r\n\0", 11)), true},
        {frame(DDE_FRAME_DATA, std::string("\0\0\0\0", 4)), true},  // no such item
        {frame(DDE_FRAME_DATA, std::string("\0\0\1\0", 4)), false},
        {frame(DDE_FRAME_DATA, std::string("\0\x80", 2)), false},
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
    std::string note;
    std::string first = DdeRendezvousDirFor(one, runtime, &note);
    ASSERT_EQ(first.rfind(runtime + "/pellor-", 0), 0u) << first;
    EXPECT_EQ(DdeRendezvousDirFor(link, runtime, &note), first);  // one machine, however reached
    std::string second = DdeRendezvousDirFor(two, runtime, &note);
    EXPECT_NE(second, first);
    EXPECT_EQ(DdeRendezvousDirFor(two, "", &note), two + "/dde");  // without a runtime directory
    EXPECT_EQ(note, "");
    ASSERT_EQ(chmod(second.c_str(), 0777), 0);
    EXPECT_EQ(DdeRendezvousDirFor(two, runtime, &note), second);
    struct stat st {};
    ASSERT_EQ(lstat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(DdeRendezvousDirFor(base / "none", runtime, &note), "");
    // A runtime directory that is not ours alone, or a link planted where the rendezvous goes,
    // is passed over for the machine's own, and the note says why.
    ASSERT_EQ(rmdir(second.c_str()), 0);
    ASSERT_EQ(symlink(one.c_str(), second.c_str()), 0);
    const struct {
        std::string runtime;
        unsigned mode;
        const char *why;
    } cases[] = {
        {runtime, 0700, "is a symbolic link"},  // the planted link
        {runtime, 0755, "its mode is not 0700"},
        {runtime, 01777, "its mode is not 0700"},
        {"relative/run", 0700, "not an absolute path"},
        {base / "missing", 0700, "is not a directory"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(chmod(runtime.c_str(), c.mode), 0);
        note.clear();
        EXPECT_EQ(DdeRendezvousDirFor(two, c.runtime, &note), two + "/dde") << c.runtime << " " << c.mode;
        EXPECT_NE(note.find(c.why), std::string::npos) << note;
        EXPECT_EQ(note.rfind("DDE rendezvous in " + two + "/dde: ", 0), 0u) << note;
    }
    ASSERT_EQ(lstat(one.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A machine must be private, and no one else may put another directory in its
// place from above (a sticky directory such as /tmp is fine). It is resolved
// to its real path, and the fix a refusal suggests is quoted for the shell.
TEST(Machine, ADirectoryOthersMayWriteIsRefused) {
    TempDir base;
    std::string file = base / "file";
    WriteWholeFile(file, "", 0600);
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

// Runs fn in a child that is another user (nobody) yet keeps root's power over
// files, so that only the peer check can turn it away; -1 when that cannot be set up.
pid_t AsAnotherUser(const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
            _exit(99);
        _exit(fn());
    }
    return pid;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A raw socket to service in dir, bound or connected through /proc (the path may be too long).
int RawSocket(const std::string &rendezvous, const std::string &service, bool serve) {
    int dir = open(rendezvous.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/proc/self/fd/%d/%s", dir, DdeServiceFileName(service).c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = serve ? bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, 4) == 0
                    : connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(dir);
    return ok ? fd : -1;
}

TEST(DdeRendezvous, BothEndsRefuseAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user";
    // A stranger listening in our name is not talked to, and the log is told why.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const std::string dir = DdeRendezvousDir();  // as we see it: the stranger would choose another
    pid_t stranger = AsAnotherUser([&] {
        int fd = RawSocket(dir, "STRANGER", true);
        if (fd < 0 || write(ready[1], "r", 1) != 1) return 2;
        pollfd p{fd, POLLIN, 0};
        int client = poll(&p, 1, 10000) == 1 ? accept(fd, nullptr, nullptr) : -1;
        std::vector<uint8_t> welcome = DdeEncodeU32Pair(DDE_FRAME_WELCOME, 0, 1, 0);
        if (client >= 0) send(client, welcome.data(), welcome.size(), MSG_NOSIGNAL);
        return 0;
    });
    ASSERT_GT(stranger, 0);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    {
        DdeClient client;
        TakePlatformNotes();
        EXPECT_EQ(client.Connect("STRANGER", "T"), nullptr);
        std::vector<std::string> notes = TakePlatformNotes();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("of user 65534 is not us"), std::string::npos) << notes[0];
    }
    EXPECT_EQ(ExitStatus(stranger), 0);
    DdeSocketUnlink(dir, "STRANGER");
    close(ready[0]);
    close(ready[1]);

    // A stranger's conversation is refused before its greeting is heard.
    std::string error;
    DdeServer *server = DdeServerOpen("GUARDED", &error);
    ASSERT_NE(server, nullptr) << error;
    CountingHandler handler;
    std::thread serving([&] { DdeServerRun(server, handler, nullptr); });
    pid_t intruder = AsAnotherUser([&] {
        int fd = RawSocket(dir, "GUARDED", false);
        std::string hello("GUARDED\0T\0", 10);
        std::vector<uint8_t> frame = DdeEncodeFrame(DDE_FRAME_HELLO, 0, hello.data(), hello.size());
        if (fd < 0) return 2;
        send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);  // may meet the close already
        DdeFrameReader reader;
        DdeFrame reply;
        std::string problem;
        return DdeReceiveFrame(fd, reader, &reply, DdeNowMs() + 5000, &problem) == DDE_IO_CLOSED ? 0 : 1;
    });
    ASSERT_GT(intruder, 0);
    EXPECT_EQ(ExitStatus(intruder), 0);
    EXPECT_EQ(handler.problems, 1);
    DdeClient client;
    HCONV conv = client.Connect("GUARDED", "T");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    client.Execute(conv, "[stop]", 5000, &status);
    serving.join();
    EXPECT_EQ(handler.executes, 1);
    DdeServerClose(server);
}

// A server run by a thread of the test with a CountingHandler. Limits go in
// through the test builds' environment (PELLOR_DDE_IDLE_MS, PELLOR_DDE_EVICT_MS).
class ServingThread {
public:
    explicit ServingThread(const char *service, std::vector<std::pair<const char *, std::string>> env = {})
        : service_(service) {
        for (const auto &[name, value] : env) setenv(name, value.c_str(), 1);
        std::string error;
        server_ = DdeServerOpen(service, &error);
        for (const auto &entry : env) unsetenv(entry.first);
        EXPECT_NE(server_, nullptr) << error;
        if (server_ != nullptr) thread_ = std::thread([this] { DdeServerRun(server_, handler, nullptr); });
    }
    ~ServingThread() {
        if (server_ == nullptr) return;
        handler.stop = true;
        int wake = DdeSocketConnect(DdeRendezvousDir(), service_);  // the loop asks again after any event
        thread_.join();
        if (wake >= 0) close(wake);
        DdeServerClose(server_);
    }
    CountingHandler handler;

private:
    std::string service_;
    DdeServer *server_ = nullptr;
    std::thread thread_;
};

// Whether the server closed a conversation that sent nothing, within timeoutMs.
bool ClosedByServer(int fd, int timeoutMs) {
    DdeFrameReader reader;
    DdeFrame f;
    std::string problem;
    return DdeReceiveFrame(fd, reader, &f, DdeNowMs() + timeoutMs, &problem) == DDE_IO_CLOSED;
}

TEST(DdeServer, AClientThatDoesNotReadDelaysNoOne) {
    ServingThread serving("HOARDER");
    int deaf = Greeted("HOARDER", "T");
    ASSERT_GE(deaf, 0);
    // More executes than its socket holds answers for; it never reads one.
    std::vector<uint8_t> flood;
    for (uint32_t i = 1; i <= 2000; i++) {
        std::vector<uint8_t> exec = DdeEncodeFrame(DDE_FRAME_EXECUTE, i, "[x]", 4);
        flood.insert(flood.end(), exec.begin(), exec.end());
    }
    ASSERT_EQ(DdeSendAll(deaf, flood, DdeNowMs() + 5000), DDE_IO_OK);
    ASSERT_TRUE(WaitFor([&] { return serving.handler.executes >= 100; }, 5000));
    DdeClient client;
    uint64_t start = DdeNowMs();
    HCONV conv = client.Connect("hoarder", "T");
    ASSERT_NE(conv, nullptr);
    DWORD status = 0;
    EXPECT_NE(client.Execute(conv, "[ok]", 5000, &status), nullptr);
    uint64_t spent = DdeNowMs() - start;
    testing::Test::RecordProperty("answer_ms", static_cast<int>(spent));
    EXPECT_LT(spent, 1000u) << "the answer waited for a client that does not read";
    EXPECT_TRUE(WaitFor([&] { return serving.handler.executes >= 2001; }, 5000));  // all carried out
    // Past its queue's bound it is no longer answered, and goes. Answers go out a
    // turn's worth at a time, and its socket holds more of them so.
    flood.clear();
    for (uint32_t i = 2001; i <= 42000; i++) {
        std::vector<uint8_t> exec = DdeEncodeFrame(DDE_FRAME_EXECUTE, i, "[x]", 4);
        flood.insert(flood.end(), exec.begin(), exec.end());
    }
    DdeSendAll(deaf, flood, DdeNowMs() + 10000);
    EXPECT_TRUE(WaitFor([&] { return serving.handler.disconnects == 1; }, 10000));
    EXPECT_GE(serving.handler.problems, 1);
    EXPECT_NE(client.Execute(conv, "[ok]", 5000, &status), nullptr);
    close(deaf);
}

TEST(DdeServer, AFullTableMakesRoomForANewcomerOrSaysBusy) {
    const struct {
        const char *evictMs;
        bool served;  // else turned away as busy
    } cases[] = {{"0", true}, {"600000", false}};
    for (const auto &c : cases) {
        ServingThread serving("CROWD", {{"PELLOR_DDE_EVICT_MS", c.evictMs}});
        std::vector<int> idle;
        for (int i = 0; i < 64; i++) {
            idle.push_back(Greeted("CROWD", "T"));
            ASSERT_GE(idle.back(), 0) << i;
        }
        // The first one speaks again: the second is now the one idle longest.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(StillServed(idle[0]));
        DdeClient client;
        HCONV conv = client.Connect("CROWD", "T");
        EXPECT_EQ(conv != nullptr, c.served) << c.evictMs;
        if (c.served) {
            DWORD status = 0;
            EXPECT_NE(client.Execute(conv, "[ok]", 5000, &status), nullptr);
            EXPECT_TRUE(ClosedByServer(idle[1], 5000));
            EXPECT_EQ(serving.handler.disconnects, 1);
        } else {
            EXPECT_EQ(DdeGetLastError(client.instance), static_cast<UINT>(DMLERR_BUSY));
            uint32_t answer = 99;
            EXPECT_LT(Greeted("CROWD", "T", &answer), 0);
            EXPECT_EQ(answer, static_cast<uint32_t>(DDE_WELCOME_BUSY));
            EXPECT_EQ(serving.handler.disconnects, 0);
        }
        for (int i : {0, 2, 63}) EXPECT_TRUE(StillServed(idle[i])) << c.evictMs << " " << i;
        for (int fd : idle) close(fd);
    }
}

TEST(DdeServer, ClosesAConversationLeftIdle) {
    ServingThread serving("SITTER", {{"PELLOR_DDE_IDLE_MS", "300"}});
    int silent = Greeted("SITTER", "T"), talking = Greeted("SITTER", "T");
    ASSERT_GE(silent, 0);
    ASSERT_GE(talking, 0);
    for (int i = 0; i < 10; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(StillServed(talking)) << i;
    }
    EXPECT_TRUE(ClosedByServer(silent, 5000));
    EXPECT_EQ(serving.handler.disconnects, 1);
    close(silent);
    close(talking);
}

}  // namespace
