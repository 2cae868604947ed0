// The script tokenizer: one forward pass from the file image into the lines
// buffer of NUL-terminated logical lines.
#include "platform/win32.h"
#include "script/pool.h"
#include "script/script.h"

#include <array>
#include <climits>

namespace {

constexpr unsigned char QUOTE = 0x22;

constexpr std::array<uint8_t, 256> MakeClassTable() {
    std::array<uint8_t, 256> t{};
    t[0x00] = CLASS_LINE_END;
    t[0x1A] = CLASS_DISCARD;
    t[0x20] = CLASS_BLANK;
    t[0x2C] = CLASS_COMMA;
    return t;
}
constexpr std::array<uint8_t, 256> CharClass = MakeClassTable();

// Mapped: the tokenizer also notes the file line on which each logical line starts
// (for infview); upgrade's own reading pays nothing for it.
template <bool Mapped>
struct Tokenizer {
    const char *scan;
    char *out;
    const char *stepStart = nullptr;   // Mapped: where the current step began
    const char *countedTo = nullptr;   // Mapped: the line ends before it are counted
    uint32_t fileLine = 1;             // Mapped: the line of countedTo
    uint32_t *lineStarts = nullptr;    // Mapped: one entry per logical line
    uint32_t logicalLines = 0;
    bool inQuotes = false;
    unsigned char lastChar = 0;  // a line end, so the first line starts clean
    char *lastPos = nullptr;
    bool deferredBlank = false;

    void Put(unsigned char b) {
        *out = static_cast<char>(b);
        lastPos = out++;
        lastChar = b;
    }

    // One scanning step: the byte produced, or -1 for none.
    int Step() {
        auto c = static_cast<unsigned char>(*scan);
        if (c == '\r') {
            scan++;
            return -1;
        }
        if (c == '\n') {
            scan++;
            return 0;
        }
        if (c == QUOTE) {
            if (inQuotes && static_cast<unsigned char>(scan[1]) == QUOTE) {
                scan += 2;
                return QUOTE;
            }
            scan++;
            inQuotes = !inQuotes;
            return QUOTE_MARK;
        }
        if (inQuotes) {
            scan++;
            return c;
        }
        if (c == '+') {
            const char *after = ++scan;
            scan = SkipOver(scan, " \t");
            if (*scan == '\r' || *scan == '\n') {  // a continuation: the line goes on past the line end
                scan = SkipOver(scan, " \t\r\n");
                return -1;
            }
            if (scan != after) deferredBlank = true;
            return '+';
        }
        if (c == ' ' || c == '\t') {
            scan = SkipOver(scan, " \t");
            return ' ';
        }
        if (c == ';') {
            scan = SkipOver(scan, "");
            return -1;
        }
        scan++;
        return c;
    }

    // The first byte of a logical line comes from stepStart: its file line is noted.
    void NoteLineStart() {
        for (; countedTo < stepStart; countedTo++) fileLine += *countedTo == '\n';
        lineStarts[logicalLines++] = fileLine;
    }

    // The filter and the write for one produced byte.
    void Emit(unsigned char b) {
        switch (CharClass[b]) {
            case CLASS_BLANK:
                if (lastChar == 0 || (!inQuotes && lastChar == ',')) return;
                break;
            case CLASS_LINE_END:
                inQuotes = false;  // a line end closes an open quote
                if (lastChar == 0) return;
                if (lastChar == ' ') out = lastPos;
                break;
            case CLASS_COMMA:
                if (!inQuotes && lastChar == ' ') out = lastPos;
                break;
            case CLASS_DISCARD: return;
            default: break;
        }
        if constexpr (Mapped) {
            if (lastChar == 0) NoteLineStart();
        }
        Put(b);
        if (deferredBlank) {
            Put(' ');
            deferredBlank = false;
        }
    }
};

}  // namespace

const char *SkipOver(const char *cursor, const char *set) {
    for (;;) {
        char c = *cursor;
        bool inSet = false;
        for (const char *s = set; *s != '\0'; s++) inSet = inSet || (*s == c);
        if (c != '\0' && inSet) {
            cursor++;
        } else if (c == ';') {
            while (*cursor != '\n') cursor++;  // an LF always lies ahead: the appended one at the latest
        } else {
            return cursor;
        }
    }
}

namespace {

template <bool Mapped>
uint32_t Tokenize(const char *image, char *out, uint32_t *lineStarts) {
    Tokenizer<Mapped> t;
    t.scan = t.countedTo = image;
    t.out = out;
    t.lineStarts = lineStarts;
    while (*t.scan != '\0') {
        if constexpr (Mapped) t.stepStart = t.scan;
        int b = t.Step();
        if (b >= 0) t.Emit(static_cast<unsigned char>(b));
    }
    return static_cast<uint32_t>(t.out - out);
}

}  // namespace

uint32_t TokenizeImage(const char *image, char *out) { return Tokenize<false>(image, out, nullptr); }

uint32_t TokenizeImageMapped(const char *image, char *out, uint32_t *lineStarts) {
    return Tokenize<true>(image, out, lineStarts);
}

uint32_t CountLines(const char *buffer, uint32_t length) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < length; i++) n += buffer[i] == '\0';
    return n;
}

namespace {

// Reads an open file into a new pool block with two bytes to spare: size bytes,
// which must all come; or, when the size reads as 0 (as a /proc file's does),
// whatever the file holds up to its end.
uint16_t ReadImage(HFILE file, uint32_t size, char **image, uint32_t *got) {
    uint32_t capacity = size > 0 ? size : 4096;
    auto *p = static_cast<char *>(PoolAlloc(static_cast<int32_t>(capacity + 2)));
    if (p == nullptr) return LOAD_NO_MEMORY;
    uint32_t used = 0;
    for (;;) {
        UINT n = _lread(file, p + used, capacity - used);
        if (n == static_cast<UINT>(HFILE_ERROR)) break;
        used += n;
        // A short read of a known size would leave unread bytes in the image: it fails like an error.
        if (size > 0 || n == 0) {
            if (used != size && size > 0) break;
            *image = p;
            *got = used;
            return LOAD_OK;
        }
        if (used < capacity) continue;
        if (capacity == kMaxScriptSize) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            break;
        }
        capacity = capacity > kMaxScriptSize / 2 ? kMaxScriptSize : capacity * 2;
        auto *grown = static_cast<char *>(PoolRealloc(p, static_cast<int32_t>(capacity + 2)));
        if (grown == nullptr) {
            PoolFree(p);
            return LOAD_NO_MEMORY;
        }
        p = grown;
    }
    PoolFree(p);
    return LOAD_FILE_ERROR;
}

}  // namespace

uint16_t LoadScript(const char *path, char **lines, uint32_t *length, uint32_t *lineCount) {
    HFILE file = _lopen(path, OF_READ);
    if (file == HFILE_ERROR) return LOAD_FILE_ERROR;

    // Sizes are 32-bit: a file too large for them is refused as such, never cut (a size past 2 GiB
    // reads as negative, past 4 GiB as a failed seek). A size that cannot be told (some /proc
    // files) counts as 0: the file is then read to its end.
    LONG size = _llseek(file, 0, FILE_END);
    DWORD error = size == HFILE_ERROR ? GetLastError() : ERROR_SUCCESS;
    bool tooLarge = error == ERROR_ARITHMETIC_OVERFLOW || (size < 0 && size != HFILE_ERROR) ||
                    (size >= 0 && static_cast<uint32_t>(size) > kMaxScriptSize);
    if (error == ERROR_INVALID_PARAMETER) size = 0;
    if (size < 0 || tooLarge || _llseek(file, 0, FILE_BEGIN) != 0) {
        if (tooLarge) SetLastError(ERROR_FILE_TOO_LARGE);
        _lclose(file);
        return LOAD_FILE_ERROR;
    }
    char *image = nullptr;
    uint32_t got = 0;
    uint16_t status = ReadImage(file, static_cast<uint32_t>(size), &image, &got);
    _lclose(file);
    if (status != LOAD_OK) return status;
    image[got] = '\n';  // ends a last line that has no line end of its own
    image[got + 1] = '\0';

    auto *buffer = static_cast<char *>(PoolAlloc(static_cast<int32_t>(got + 1)));
    if (buffer == nullptr) {
        PoolFree(image);
        return LOAD_NO_MEMORY;
    }
    uint32_t written = TokenizeImage(image, buffer);
    PoolFree(image);
    buffer = static_cast<char *>(PoolRealloc(buffer, static_cast<int32_t>(written)));

    *lines = buffer;
    *length = written;
    *lineCount = CountLines(buffer, written);
    return LOAD_OK;
}
