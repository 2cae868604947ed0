// Frames, stream reassembly, deadlines and the socket rendezvous of local DDE.
#include "platform/posix/dde/ddewire.h"
#include "platform/posix/machine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr uint8_t kMagic0 = 'D';
constexpr uint8_t kMagic1 = 'E';

void PutU16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The largest payload each frame type may carry; 0 for an unknown type.
size_t MaxPayload(uint16_t type) {
    switch (type) {
        case DDE_FRAME_HELLO: return 2 * (kDdeMaxName + 1);
        case DDE_FRAME_EXECUTE: return kDdeMaxExecute;
        case DDE_FRAME_ACK:
        case DDE_FRAME_WINDOW_STATE: return 4;
        case DDE_FRAME_WELCOME:
        case DDE_FRAME_WINDOW: return 8;
        case DDE_FRAME_REQUEST: return 4 + kDdeMaxName + 1;
        case DDE_FRAME_DATA: return 4 + kDdeMaxData;
        default: return 0;
    }
}

// A HELLO payload is exactly two non-empty names, each ended by one NUL.
bool ValidHello(const std::vector<uint8_t> &p) {
    size_t first = 0;
    while (first < p.size() && p[first] != 0) first++;
    if (first == 0 || first > kDdeMaxName || first == p.size()) return false;
    size_t second = first + 1;
    while (second < p.size() && p[second] != 0) second++;
    size_t topicLength = second - first - 1;
    return topicLength > 0 && topicLength <= kDdeMaxName && second == p.size() - 1;
}

// A REQUEST payload is a format and one non-empty item name ended by its only NUL.
bool ValidRequest(const std::vector<uint8_t> &p) {
    if (p.size() < 6 || p.back() != 0) return false;
    for (size_t i = 4; i + 1 < p.size(); i++)
        if (p[i] == 0) return false;
    return true;
}

// Builds a socket address for name in the directory opened as dirfd: through
// the descriptor (/proc/self/fd/N/name), so that what is reached is the
// directory that was checked, whatever its path now names, and any length of
// path fits. Without /proc, the path itself.
bool BuildAddress(int dirfd, const std::string &dir, const std::string &name, sockaddr_un *addr,
                  socklen_t *length) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::string path = "/proc/self/fd/" + std::to_string(dirfd);
    struct stat st {};
    path = stat(path.c_str(), &st) == 0 ? path + "/" + name : dir + "/" + name;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// 64-bit FNV-1a of text, as 16 hex digits: a short name that stands for a long one.
std::string Fnv1aHex(const std::string &text) {
    static const char hex[] = "0123456789abcdef";
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    std::string out;
    for (int i = 0; i < 16; i++) out += hex[(h >> (4 * i)) & 15];
    return out;
}

// Opens a rendezvous directory that is ours and private, not through a final
// link; -1 with errno (EACCES for one that is not).
int OpenDir(const std::string &dir) {
    int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

// Why runtime may not hold our rendezvous, or empty: it must be an absolute
// path to a directory of ours that only we may enter (0700), as the base
// directory rules require of $XDG_RUNTIME_DIR.
std::string RuntimeDirProblem(const std::string &runtime) {
    if (runtime.empty() || runtime[0] != '/') return "it is not an absolute path";
    int fd = open(runtime.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    std::string why;
    if (fd < 0 || fstat(fd, &st) != 0) why = "it is not a directory";
    else if (st.st_uid != geteuid()) why = "it belongs to user " + std::to_string(st.st_uid);
    else if ((st.st_mode & 07777) != 0700) why = "its mode is not 0700";
    if (fd >= 0) close(fd);
    return why;
}

// The file in the machine that says where a service is listening.
std::string RecordPath(const std::string &service) {
    return MachineDir() + "/dde/" + DdeServiceFileName(service) + ".where";
}

// The directory a server of service recorded, or empty.
std::string ReadRecord(const std::string &service) {
    if (MachineDir().empty()) return std::string();
    int fd = open(RecordPath(service).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string();
    char buffer[4096];
    struct stat st {};
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, buffer, sizeof buffer) : -1;
    close(fd);
    std::string recorded = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    return recorded[0] == '/' && recorded.find('\0') == std::string::npos ? recorded : std::string();
}

}  // namespace

std::string DdeFrameProblem(const DdeFrame &f) {
    size_t max = MaxPayload(f.type);
    if (max == 0) return "unknown frame type " + std::to_string(f.type);
    if (f.payload.size() > max) return "frame too long";
    switch (f.type) {
        case DDE_FRAME_HELLO:
            return ValidHello(f.payload) ? "" : "malformed service and topic names";
        case DDE_FRAME_EXECUTE:
            return f.payload.empty() ? "empty execute" : "";
        case DDE_FRAME_WELCOME:
            return f.payload.size() == 8 && DdePayloadU32(f) <= DDE_WELCOME_BUSY ? "" : "malformed welcome";
        case DDE_FRAME_ACK:
            return f.payload.size() == 4 && DdePayloadU32(f) <= 0xFFFF ? "" : "malformed acknowledgement";
        case DDE_FRAME_WINDOW: {
            if (f.payload.size() != 8) return "malformed window request";
            uint32_t op = DdePayloadU32(f);
            return op >= DDE_WINDOW_FOREGROUND && op <= DDE_WINDOW_SHOW ? "" : "unknown window operation";
        }
        case DDE_FRAME_WINDOW_STATE:
            return f.payload.size() == 4 ? "" : "malformed window state";
        case DDE_FRAME_REQUEST:
            return ValidRequest(f.payload) ? "" : "malformed request";
        case DDE_FRAME_DATA:
            return f.payload.size() >= 4 && DdePayloadU32(f) <= 0xFFFF ? "" : "malformed data";
    }
    return "unknown frame type";
}

std::vector<uint8_t> DdeEncodeFrame(uint16_t type, uint32_t seq, const void *payload, size_t length) {
    std::vector<uint8_t> out;
    out.reserve(kDdeHeaderSize + length);
    out.push_back(kMagic0);
    out.push_back(kMagic1);
    PutU16(out, type);
    PutU32(out, seq);
    PutU32(out, static_cast<uint32_t>(length));
    const uint8_t *p = static_cast<const uint8_t *>(payload);
    if (length > 0) out.insert(out.end(), p, p + length);
    return out;
}

// An answer goes out for every command: its word is put together in place, not in a vector of its own.
std::vector<uint8_t> DdeEncodeU32(uint16_t type, uint32_t seq, uint32_t value) {
    const uint8_t payload[] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return DdeEncodeFrame(type, seq, payload, sizeof payload);
}

std::vector<uint8_t> DdeEncodeU32Pair(uint16_t type, uint32_t seq, uint32_t first, uint32_t second) {
    std::vector<uint8_t> payload;
    payload.reserve(8);
    PutU32(payload, first);
    PutU32(payload, second);
    return DdeEncodeFrame(type, seq, payload.data(), payload.size());
}

uint32_t DdePayloadU32(const DdeFrame &frame, size_t offset) {
    if (frame.payload.size() < offset + 4) return 0;
    return GetU32(frame.payload.data() + offset);
}

void DdeFrameReader::Append(const uint8_t *data, size_t length) {
    if (bad_) return;
    // Taking frames only moves start_; the bytes before it go once they are half
    // the buffer, so that a stream of many small frames costs no more than its length.
    if (start_ > 0 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + length);
}

DdeFrameReader::Result DdeFrameReader::Next(DdeFrame *frame, std::string *problem) {
    if (bad_) return BAD;
    if (Buffered() < kDdeHeaderSize) return NEED_MORE;
    const uint8_t *h = buffer_.data() + start_;
    uint16_t type = static_cast<uint16_t>(h[2] | (h[3] << 8));
    uint32_t length = GetU32(h + 8);
    // Judge the header before buffering its payload: a hostile length must not
    // make us allocate or wait for gigabytes.
    if (h[0] != kMagic0 || h[1] != kMagic1) {
        *problem = "bad frame magic";
    } else if (MaxPayload(type) == 0) {
        *problem = "unknown frame type " + std::to_string(type);
    } else if (length > MaxPayload(type)) {
        *problem = "frame too long";
    } else {
        if (Buffered() < kDdeHeaderSize + length) return NEED_MORE;
        frame->type = type;
        frame->seq = GetU32(h + 4);
        frame->payload.assign(h + kDdeHeaderSize, h + kDdeHeaderSize + length);
        start_ += kDdeHeaderSize + length;
        if (start_ == buffer_.size()) {
            buffer_.clear();
            start_ = 0;
        }
        return FRAME;
    }
    bad_ = true;
    buffer_.clear();
    start_ = 0;
    return BAD;
}

uint64_t DdeNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

int DdeRemainingMs(uint64_t deadline) {
    uint64_t now = DdeNowMs();
    if (now >= deadline) return 0;
    uint64_t left = deadline - now;
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

DdeIo DdeSendAll(int fd, const std::vector<uint8_t> &bytes, uint64_t deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int left = DdeRemainingMs(deadline);
            if (left == 0) return DDE_IO_TIMEOUT;
            if (poll(&p, 1, left) < 0 && errno != EINTR) return DDE_IO_CLOSED;
            continue;
        }
        return DDE_IO_CLOSED;
    }
    return DDE_IO_OK;
}

DdeIo DdeReadAvailable(int fd, DdeFrameReader &reader) {
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            reader.Append(chunk, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof chunk) return DDE_IO_OK;
            continue;
        }
        if (n == 0) return DDE_IO_CLOSED;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return DDE_IO_OK;
        return DDE_IO_CLOSED;
    }
}

DdeIo DdeReceiveFrame(int fd, DdeFrameReader &reader, DdeFrame *frame, uint64_t deadline,
                      std::string *problem) {
    for (;;) {
        switch (reader.Next(frame, problem)) {
            case DdeFrameReader::FRAME:
                *problem = DdeFrameProblem(*frame);
                return problem->empty() ? DDE_IO_OK : DDE_IO_BAD;
            case DdeFrameReader::BAD: return DDE_IO_BAD;
            case DdeFrameReader::NEED_MORE: break;
        }
        pollfd p{fd, POLLIN, 0};
        int left = DdeRemainingMs(deadline);
        if (left == 0) return DDE_IO_TIMEOUT;
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno != EINTR) return DDE_IO_CLOSED;
        if (ready <= 0) continue;
        if (DdeReadAvailable(fd, reader) == DDE_IO_CLOSED) {
            // A frame that arrived just before the close still counts.
            if (reader.Next(frame, problem) == DdeFrameReader::FRAME) {
                *problem = DdeFrameProblem(*frame);
                return problem->empty() ? DDE_IO_OK : DDE_IO_BAD;
            }
            return DDE_IO_CLOSED;
        }
    }
}

std::string DdeRendezvousDirFor(const std::string &machine, const std::string &runtime, std::string *note) {
    if (machine.empty()) return std::string();
    std::string why;
    if (!runtime.empty()) {
        // Named after the machine's real path, so that every machine, however
        // reached, has one rendezvous and no other machine's.
        char *real = realpath(machine.c_str(), nullptr);
        if (real == nullptr) return std::string();
        std::string name = "pellor-" + Fnv1aHex(real);
        std::free(real);
        why = RuntimeDirProblem(runtime);
        if (why.empty()) {
            std::string dir = PrivateDirUnder(runtime, name, &why);
            if (!dir.empty()) return dir;
        } else {
            why = "XDG_RUNTIME_DIR " + runtime + ": " + why;
        }
    }
    std::string dirWhy, dir = PrivateDirUnder(machine, "dde", &dirWhy);
    if (!why.empty() && note != nullptr) *note = "DDE rendezvous in " + machine + "/dde: " + why;
    return dir;
}

std::string DdeRendezvousDir() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string note;
    std::string dir = DdeRendezvousDirFor(MachineDir(), runtime != nullptr ? runtime : "", &note);
    if (!note.empty()) PlatformNote(note);
    return dir;
}

std::vector<std::string> DdeServiceDirs(const std::string &service) {
    std::vector<std::string> dirs;
    std::string own = DdeRendezvousDir(), recorded = ReadRecord(service);
    if (!own.empty()) dirs.push_back(own);
    if (!recorded.empty() && recorded != own) dirs.push_back(recorded);
    return dirs;
}

void DdeRecordRendezvous(const std::string &dir, const std::string &service) {
    if (DdeRendezvousDirFor(MachineDir(), "", nullptr).empty()) return;
    std::string path = RecordPath(service), temp = path + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = write(fd, dir.data(), dir.size()) == static_cast<ssize_t>(dir.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) unlink(temp.c_str());
}

void DdeForgetRendezvous(const std::string &dir, const std::string &service) {
    if (!dir.empty() && ReadRecord(service) == dir) unlink(RecordPath(service).c_str());
}

bool DdePeerIsUs(int fd, std::string *who) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        *who = "a peer whose user cannot be known";
        return false;
    }
    if (peer.uid == geteuid()) return true;
    *who = "pid " + std::to_string(peer.pid) + " of user " + std::to_string(peer.uid);
    return false;
}

std::string DdeServiceFileName(const std::string &service) {
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (unsigned char c : service) {
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
    }
    if (name.size() > 48) name = name.substr(0, 30) + "~" + Fnv1aHex(name);
    return name + ".sock";
}

int DdeSocketConnect(const std::string &dir, const std::string &service) {
    int dirfd = OpenDir(dir);
    if (dirfd < 0) return -1;
    sockaddr_un addr{};
    socklen_t length = 0;
    int fd = -1;
    if (BuildAddress(dirfd, dir, DdeServiceFileName(service), &addr, &length)) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // A local connect completes at once or fails (EAGAIN: backlog full).
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), length) != 0) {
            int e = errno;
            close(fd);
            fd = -1;
            errno = e;
        }
    } else {
        errno = ENAMETOOLONG;
    }
    int e = errno;
    close(dirfd);
    errno = e;
    return fd;
}

bool DdePeerStopped(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0) return false;
    char buffer[512];
    int stat = open(("/proc/" + std::to_string(peer.pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (stat < 0) return false;
    ssize_t n = read(stat, buffer, sizeof buffer - 1);
    close(stat);
    if (n <= 0) return false;
    buffer[n] = '\0';
    const char *end = std::strrchr(buffer, ')');  // the state follows the command name, which may hold anything
    return end != nullptr && end[1] == ' ' && (end[2] == 'T' || end[2] == 't');
}

int DdeSocketListen(const std::string &dir, const std::string &service, std::string *error) {
    error->clear();
    int dirfd = OpenDir(dir);
    if (dirfd < 0) {
        *error = "cannot open " + dir + ": " + std::strerror(errno);
        return -1;
    }
    sockaddr_un addr{};
    socklen_t length = 0;
    std::string name = DdeServiceFileName(service);
    int fd = -1;
    if (!BuildAddress(dirfd, dir, name, &addr, &length)) {
        *error = "socket path too long";
    } else {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int rc = fd < 0 ? -1 : bind(fd, reinterpret_cast<sockaddr *>(&addr), length);
        if (rc != 0 && errno == EADDRINUSE) {
            int probe = DdeSocketConnect(dir, service);
            if (probe >= 0) {
                close(probe);
                *error = "service " + service + " is already served";
            } else if (errno == ECONNREFUSED) {
                unlinkat(dirfd, name.c_str(), 0);  // left by a server that died
                rc = bind(fd, reinterpret_cast<sockaddr *>(&addr), length);
            }
        }
        if (rc == 0) rc = listen(fd, 16);
        if (rc != 0) {
            if (error->empty()) *error = "cannot listen on " + dir + "/" + name + ": " + std::strerror(errno);
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    close(dirfd);
    return fd;
}

void DdeSocketUnlink(const std::string &dir, const std::string &service) {
    int dirfd = OpenDir(dir);
    if (dirfd < 0) return;
    unlinkat(dirfd, DdeServiceFileName(service).c_str(), 0);
    close(dirfd);
}
