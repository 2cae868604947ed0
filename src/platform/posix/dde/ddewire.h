// The local DDE protocol: frames over unix stream sockets, and the rendezvous
// directory where servers listen. Shared by the DDEML client calls, the server
// API of ddeserver.h and the tests. Linux only.
//
// A frame is a 12-byte header (magic "DE", type, sequence, payload length, all
// little-endian) and its payload. A conversation is one socket: the client
// opens it with HELLO (service and topic), the server answers WELCOME with its
// window's style; then EXECUTE is answered by ACK (the DDE status word, 0x8000
// = acknowledged) with the same sequence number. WINDOW requests get no answer:
// the server pushes WINDOW_STATE (its window's style, sequence number of the
// request it last handled) after each, and the client keeps the style, so that
// no window call waits on the server. REQUEST (a clipboard format and an item
// name) is answered by DATA with the same sequence number: a status word and,
// when its DDE_FACK bit is set, the item's data as the server gave it (CF_TEXT
// with its NUL); without it the server has no such item. Closing the socket
// is the disconnect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum DdeFrameType : uint16_t {
    DDE_FRAME_HELLO = 1,         // client: "service\0topic\0"
    DDE_FRAME_WELCOME = 2,       // server: u32 DdeWelcome; i32 window style
    DDE_FRAME_EXECUTE = 3,       // client: the command bytes
    DDE_FRAME_ACK = 4,           // server: u32 status word
    DDE_FRAME_WINDOW = 5,        // client: u32 operation, i32 argument
    DDE_FRAME_WINDOW_STATE = 6,  // server: i32 window style
    DDE_FRAME_REQUEST = 7,       // client: u32 clipboard format, "item\0"
    DDE_FRAME_DATA = 8,          // server: u32 status word, then the data when acknowledged
};

// The answer a WELCOME carries. A busy server has no room for another
// conversation: it says so as soon as it accepts the socket, then closes it.
enum DdeWelcome : uint32_t {
    DDE_WELCOME_REFUSED = 0,   // no such service or topic
    DDE_WELCOME_ACCEPTED = 1,
    DDE_WELCOME_BUSY = 2,
};

enum DdeWindowOp : uint32_t {
    DDE_WINDOW_FOREGROUND = 1,  // bring the window forward
    DDE_WINDOW_STYLE = 2,       // the window style (GWL_STYLE): asks only for a WINDOW_STATE
    DDE_WINDOW_SHOW = 3,        // argument: SW_*
};

constexpr size_t kDdeHeaderSize = 12;
constexpr size_t kDdeMaxName = 255;           // DDE string handles hold at most 255 characters
constexpr size_t kDdeMaxExecute = 64 * 1024;  // bound on one execute string, NUL included
// Bound on one request's data: one answer must fit the server's queue of a
// conversation (256 KiB, ddeserver.cpp) with room to spare.
constexpr size_t kDdeMaxData = 255 * 1024;
constexpr uint32_t kDdeDataAck = 0x8000;  // DDE_FACK: a DATA frame that carries the item

struct DdeFrame {
    uint16_t type = 0;
    uint32_t seq = 0;
    std::vector<uint8_t> payload;
};

// Checks a frame's type and payload against the protocol (sizes, NUL layout);
// empty when valid, else what is wrong.
std::string DdeFrameProblem(const DdeFrame &frame);

// Header and payload bytes of one frame.
std::vector<uint8_t> DdeEncodeFrame(uint16_t type, uint32_t seq, const void *payload, size_t length);
std::vector<uint8_t> DdeEncodeU32(uint16_t type, uint32_t seq, uint32_t value);
std::vector<uint8_t> DdeEncodeU32Pair(uint16_t type, uint32_t seq, uint32_t first, uint32_t second);
uint32_t DdePayloadU32(const DdeFrame &frame, size_t offset = 0);

// Reassembles frames from a byte stream. A malformed header poisons the reader:
// the stream cannot be resynchronised, so the connection has to be dropped.
class DdeFrameReader {
public:
    enum Result { NEED_MORE, FRAME, BAD };
    void Append(const uint8_t *data, size_t length);
    // Takes the next complete frame out of the buffer.
    Result Next(DdeFrame *frame, std::string *problem);
    size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // where the next frame begins: taken frames are let go of in bulk
    bool bad_ = false;
};

// Monotonic milliseconds, and the time left until a deadline (0 when passed).
uint64_t DdeNowMs();
int DdeRemainingMs(uint64_t deadline);

enum DdeIo { DDE_IO_OK, DDE_IO_TIMEOUT, DDE_IO_CLOSED, DDE_IO_BAD };

// Writes the whole buffer to a non-blocking socket before the deadline.
DdeIo DdeSendAll(int fd, const std::vector<uint8_t> &bytes, uint64_t deadline);
// Reads what the socket has now into the reader (never blocks): OK when data
// came or none was waiting, CLOSED on end of stream or a socket error.
DdeIo DdeReadAvailable(int fd, DdeFrameReader &reader);
// Waits for the next frame until the deadline. A frame that fails
// DdeFrameProblem is BAD.
DdeIo DdeReceiveFrame(int fd, DdeFrameReader &reader, DdeFrame *frame, uint64_t deadline,
                      std::string *problem);

// The rendezvous directory of a machine, private to the user (0700, owned by
// us, not a link): $runtime/pellor-<hash of the machine's real path> when
// runtime is given and is an absolute path to a directory of ours that only we
// may enter, else <machine>/dde, with *note saying why runtime was passed
// over. Empty when no directory can be made safe.
std::string DdeRendezvousDirFor(const std::string &machine, const std::string &runtime, std::string *note);
// The rendezvous of this machine, in $XDG_RUNTIME_DIR when that is usable:
// sockets stay off the machine directory, which may be on a network file
// system. Why it was not usable goes to PlatformNote.
std::string DdeRendezvousDir();
// Where a client looks for service: this environment's rendezvous, then the
// one its server recorded in the machine (started with another environment,
// by cron or su say).
std::vector<std::string> DdeServiceDirs(const std::string &service);
// A server records where it listens, and forgets it when it ends.
void DdeRecordRendezvous(const std::string &dir, const std::string &service);
void DdeForgetRendezvous(const std::string &dir, const std::string &service);
// True when the process at the other end of a local socket runs as our user;
// else *who names it.
bool DdePeerIsUs(int fd, std::string *who);
// The socket's file name for a service: case-folded, so "Progman" and "PROGMAN"
// meet; long names are shortened with a hash to fit a socket address.
std::string DdeServiceFileName(const std::string &service);
// Connects a non-blocking stream socket to the service's socket in dir (ours
// and private, else EACCES), through the directory's descriptor; -1 with
// errno (ENOENT or ECONNREFUSED when nobody serves it).
int DdeSocketConnect(const std::string &dir, const std::string &service);
// True when the process serving a connected socket is stopped (job control or
// a debugger): it cannot answer until someone lets it go.
bool DdePeerStopped(int fd);
// Binds and listens on the service's socket in dir, replacing a stale socket
// left by a dead server; -1 with *error when it fails or the service is served.
int DdeSocketListen(const std::string &dir, const std::string &service, std::string *error);
// Removes the service's socket file.
void DdeSocketUnlink(const std::string &dir, const std::string &service);
