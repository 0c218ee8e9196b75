#include "wtf8.h"

#include "files.h"

namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The code point of the character that starts at p, and its length in bytes; 0 when no
// well-formed character (surrogates allowed) starts there.
size_t NextCharacter(const unsigned char* p, uint32_t* code) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        *code = b;
        return 1;
    }
    size_t length;
    uint32_t least;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2, least = 0x80, *code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, least = 0x800, *code = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, least = 0x10000, *code = b & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(p[i])) return 0;
        *code = (*code << 6) | (p[i] & 0x3F);
    }
    if (*code < least || *code > 0x10FFFF) return 0;
    return length;
}

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

size_t PathUnits(const char* text, size_t bytes) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t units = 0;
    for (size_t i = 0; i < bytes;) {
        uint32_t code = 0;
        size_t length = NextCharacter(p + i, &code);
        if (length == 0 || i + length > bytes) length = 1, code = 0;  // a byte of no character
        units += code >= 0x10000 ? 2 : 1;
        i += length;
    }
    return units;
}

int PathFits(const char* text, size_t bytes) {
    return bytes < kPathUnits || (bytes < kPathBytes && PathUnits(text, bytes) < kPathUnits);
}

int EncodeWtf8(const uint16_t* units, size_t count, char* out, size_t size) {
    if (size == 0) return 0;
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        unsigned char bytes[4];
        size_t length;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c), length = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F)), length = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F)), length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F)), length = 4;
        }
        if (at + length >= size) {
            out[at] = '\0';
            return 0;
        }
        for (size_t k = 0; k < length; ++k) out[at++] = static_cast<char>(bytes[k]);
    }
    out[at] = '\0';
    return 1;
}

namespace {

enum DecodeOutcome { kDecoded, kNotWtf8, kTooLong };

// The one reading of WTF-8 into UTF-16, for a call (strict: text that is no WTF-8 is
// refused) or for showing (each byte of no character becomes U+FFFD, and a 4-byte
// character too unless keepPairs, and the text is cut where out is full).
DecodeOutcome Decode(const char* text, uint16_t* out, size_t size, bool strict, bool keepPairs, size_t* count) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t at = 0;
    bool afterHigh = false;  // the character before was a high surrogate on its own
    *count = 0;
    if (size == 0) return kTooLong;
    while (*p != '\0') {
        uint32_t c = 0;
        size_t length = NextCharacter(p, &c);
        // A pair spelled as two surrogates would be a second spelling of a 4-byte character.
        if (strict && (length == 0 || (afterHigh && IsLowSurrogate(c)))) return kNotWtf8;
        if (length == 0) length = 1, c = 0xFFFD;
        if (c >= 0x10000 && !keepPairs) c = 0xFFFD;
        afterHigh = IsHighSurrogate(c);
        const size_t need = c >= 0x10000 ? 2 : 1;
        if (at + need >= size) {
            if (strict) return kTooLong;
            break;
        }
        if (need == 2) {
            out[at++] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[at++] = static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[at++] = static_cast<uint16_t>(c);
        }
        p += length;
    }
    out[at] = 0;
    *count = at;
    return kDecoded;
}

}  // namespace

int DecodeWtf8(const char* text, uint16_t* out, size_t size, size_t* count, int* tooLong) {
    const DecodeOutcome outcome = Decode(text, out, size, true, true, count);
    *tooLong = outcome == kTooLong;
    return outcome == kDecoded;
}

size_t DecodeWtf8ForDisplay(const char* text, uint16_t* out, size_t size, int keepPairs) {
    size_t count = 0;
    Decode(text, out, size, false, keepPairs != 0, &count);
    return count;
}
