// The DDE frame decoder as each side uses it. The first byte picks the side and
// how the rest is cut into reads; the rest is the byte stream from the peer.
// Server side: a greeting is read as its two names and a window request as its
// two words, a request as its item name; client side: every reply is read as its status word. A valid frame
// must encode back to the bytes it came from.
#include "platform/posix/dde/ddewire.h"
#include "support.h"

#include <cstring>

namespace {

bool ServerReads(uint16_t type) {
    return type == DDE_FRAME_HELLO || type == DDE_FRAME_EXECUTE || type == DDE_FRAME_WINDOW ||
           type == DDE_FRAME_REQUEST;
}

// What the receiving side does with a frame that passed DdeFrameProblem.
void Consume(bool server, const DdeFrame &f) {
    if (server && f.type == DDE_FRAME_HELLO) {
        const char *names = reinterpret_cast<const char *>(f.payload.data());
        size_t service = strnlen(names, f.payload.size());
        FUZZ_CHECK(service < f.payload.size());
        size_t topic = strnlen(names + service + 1, f.payload.size() - service - 1);
        FUZZ_CHECK(service + 1 + topic < f.payload.size());
        FUZZ_CHECK(service <= kDdeMaxName && topic <= kDdeMaxName);
    } else if (server && f.type == DDE_FRAME_WINDOW) {
        (void)DdePayloadU32(f);
        (void)DdePayloadU32(f, 4);
    } else if (server && f.type == DDE_FRAME_REQUEST) {
        // The item name, as the server reads it, ends at a NUL inside the payload.
        const char *item = reinterpret_cast<const char *>(f.payload.data()) + 4;
        size_t length = strnlen(item, f.payload.size() - 4);
        FUZZ_CHECK(length > 0 && length < f.payload.size() - 4 && length <= kDdeMaxName);
    } else if (server && f.type == DDE_FRAME_EXECUTE) {
        FUZZ_CHECK(f.payload.size() <= kDdeMaxExecute);
    } else if (!server) {
        (void)DdePayloadU32(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool server = data[0] & 1;
    const size_t chunk = (data[0] >> 1) + 1;  // 1..128 bytes a read
    data++;
    size--;

    DdeFrameReader reader;
    size_t fed = 0, consumed = 0;
    bool bad = false;
    while (fed < size || !bad) {
        DdeFrame frame;
        std::string problem;
        DdeFrameReader::Result r = reader.Next(&frame, &problem);
        if (r == DdeFrameReader::BAD) {
            FUZZ_CHECK(bad || !problem.empty());  // the first refusal says why
            bad = true;
            if (fed >= size) break;
        } else if (r == DdeFrameReader::FRAME) {
            FUZZ_CHECK(!bad);  // a poisoned reader never yields a frame again
            size_t length = kDdeHeaderSize + frame.payload.size();
            FUZZ_CHECK(consumed + length <= fed);
            std::vector<uint8_t> again = DdeEncodeFrame(frame.type, frame.seq, frame.payload.data(), frame.payload.size());
            FUZZ_CHECK(again.size() == length && std::memcmp(again.data(), data + consumed, length) == 0);
            consumed += length;
            std::string why = DdeFrameProblem(frame);
            bool expected = server ? ServerReads(frame.type) : !ServerReads(frame.type);
            if (why.empty() && expected) Consume(server, frame);
            continue;
        }
        if (fed >= size) break;
        size_t n = size - fed < chunk ? size - fed : chunk;
        reader.Append(data + fed, n);
        fed += n;
    }
    if (!bad) FUZZ_CHECK(reader.Buffered() == fed - consumed);
    return 0;
}
