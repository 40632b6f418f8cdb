// UTF-8 conversion shared by both halves of the platform layer.
#include "platform/platform.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// The code point at text[*i], advancing *i past it.
uint32_t nextCodePoint(const wchar_t* text, size_t* i) {
    uint32_t c = static_cast<uint32_t>(text[(*i)++]);
    if (sizeof(wchar_t) == 2) {
        c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = static_cast<uint32_t>(text[*i]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++*i;
                return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            return kReplacement;
        }
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    return c;
}

size_t encode(uint32_t c, char* bytes) {
    if (c < 0x80) {
        bytes[0] = char(c);
        return 1;
    }
    if (c < 0x800) {
        bytes[0] = char(0xC0 | (c >> 6));
        bytes[1] = char(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        bytes[0] = char(0xE0 | (c >> 12));
        bytes[1] = char(0x80 | ((c >> 6) & 0x3F));
        bytes[2] = char(0x80 | (c & 0x3F));
        return 3;
    }
    bytes[0] = char(0xF0 | (c >> 18));
    bytes[1] = char(0x80 | ((c >> 12) & 0x3F));
    bytes[2] = char(0x80 | ((c >> 6) & 0x3F));
    bytes[3] = char(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace

bool wideToUtf8(const wchar_t* text, char* out, size_t capacity) {
    if (capacity == 0) return false;
    size_t used = 0;
    for (size_t i = 0; text[i];) {
        char bytes[4];
        size_t n = encode(nextCodePoint(text, &i), bytes);
        if (used + n + 1 > capacity) {
            out[0] = '\0';
            return false;
        }
        for (size_t k = 0; k < n; ++k) out[used++] = bytes[k];
    }
    out[used] = '\0';
    return true;
}

bool utf8ToWide(const char* text, wchar_t* out, size_t capacity, size_t* length) {
    size_t used = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = *p++;
        int more = 0;
        if (c >= 0xF0 && c < 0xF8) { c &= 0x07; more = 3; }
        else if (c >= 0xE0 && c < 0xF0) { c &= 0x0F; more = 2; }
        else if (c >= 0xC0 && c < 0xE0) { c &= 0x1F; more = 1; }
        else if (c >= 0x80) { c = kReplacement; }
        for (; more > 0; --more) {
            if ((*p & 0xC0) != 0x80) { c = kReplacement; break; }
            c = (c << 6) | (*p++ & 0x3F);
        }
        bool pair = sizeof(wchar_t) == 2 && c >= 0x10000 && c <= 0x10FFFF;
        if (used + (pair ? 2 : 1) >= capacity) return false;
        if (pair) {
            out[used++] = wchar_t(0xD800 + ((c - 0x10000) >> 10));
            out[used++] = wchar_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[used++] = static_cast<wchar_t>(c > 0x10FFFF ? kReplacement : c);
        }
    }
    out[used] = L'\0';
    *length = used;
    return true;
}
