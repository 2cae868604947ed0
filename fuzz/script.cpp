// The script reader: the tokenizer over a file image, then the line parser over
// every logical line, as the icon pass walks them. Buffers are exactly as large
// as LoadScript makes them, so that AddressSanitizer sees any overrun.
#include "script/script.h"
#include "support.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (FlagKeywordIndex == nullptr) FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    groupName = itemName = commandLine = iconFile = iconIndexText = flagWord = nullptr;  // the last input's buffer is gone

    // The image as LoadScript reads it: the bytes, an LF, a NUL.
    std::unique_ptr<char[]> image(new char[size + 2]);
    std::memcpy(image.get(), data, size);
    image[size] = '\n';
    image[size + 1] = '\0';
    std::unique_ptr<char[]> lines(new char[size + 1]);
    uint32_t length = TokenizeImage(image.get(), lines.get());
    FUZZ_CHECK(length <= size + 1);
    uint32_t count = CountLines(lines.get(), length);

    char *cursor = lines.get();
    for (uint32_t i = 0; i < count; i++) {
        int isItem = 0;
        char *next = ParseLine(cursor, &isItem);
        FUZZ_CHECK(next > cursor && next <= lines.get() + length);
        // Every field the icon pass reads lies inside the buffer (ASan checks the reads).
        const char *fields[] = {groupName, itemName, commandLine, iconFile, iconIndexText, flagWord};
        for (const char *f : fields)
            if (f != nullptr) FUZZ_CHECK(f >= lines.get() && f + std::strlen(f) < lines.get() + length);
        cursor = next;
    }
    return 0;
}
