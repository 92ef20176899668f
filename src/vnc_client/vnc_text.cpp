// Text at the boundary: the wire's Latin-1 and UTF-8, and the getters' copy-out.
#include <cstring>

#include "vnc_client_internal.h"

namespace {
// Length of the UTF-8 sequence that starts with lead (0: not a lead byte).
int sequence_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Length of the well-formed sequence at s (n bytes left), or 0.
int valid_sequence(const uint8_t *s, size_t n) {
    const int len = sequence_length(s[0]);
    if (len == 0 || static_cast<size_t>(len) > n) return 0;
    for (int i = 1; i < len; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if (len == 3 && ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] > 0x9F))) return 0;
    if (len == 4 && ((s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] > 0x8F))) return 0;
    return len;
}
}  // namespace

bool vnc_utf8_valid(const uint8_t *s, size_t n) {
    for (size_t i = 0; i < n;) {
        const int len = valid_sequence(s + i, n - i);
        if (!len) return false;
        i += static_cast<size_t>(len);
    }
    return true;
}

size_t vnc_latin1_to_utf8(const uint8_t *src, size_t n, uint8_t *dst) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        if (src[i] < 0x80) {
            dst[out++] = src[i];
        } else {
            dst[out++] = static_cast<uint8_t>(0xC0 | src[i] >> 6);
            dst[out++] = static_cast<uint8_t>(0x80 | (src[i] & 0x3F));
        }
    }
    return out;
}

size_t vnc_utf8_to_latin1(uint8_t *s, size_t n) {
    size_t out = 0;
    for (size_t i = 0; i < n;) {
        const int len = valid_sequence(s + i, n - i);
        if (len == 1) {
            s[out++] = s[i];
        } else if (len == 2 && s[i] <= 0xC3) {
            s[out++] = static_cast<uint8_t>((s[i] & 0x03) << 6 | (s[i + 1] & 0x3F));
        } else {
            s[out++] = '?';
        }
        i += len ? static_cast<size_t>(len) : 1;
    }
    return out;
}

int vnc_copy_text_out(const char *text, size_t len, char *buf, int size) {
    if (size < 0 || (!buf && size != 0)) return -1;
    if (len > 0x7FFFFFFF) len = 0x7FFFFFFF;
    if (buf && size > 0) {
        size_t n = len < static_cast<size_t>(size - 1) ? len : static_cast<size_t>(size - 1);
        // Cut before a character that does not fit whole.
        if (n < len)
            while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
        if (n) std::memcpy(buf, text, n);
        buf[n] = '\0';
    }
    return static_cast<int>(len);
}

size_t vnc_utf8_cut(const char *s, size_t n) {
    const uint8_t *u = reinterpret_cast<const uint8_t *>(s);
    if (vnc_utf8_valid(u, n)) return n;
    for (size_t k = 1; k <= 3 && k <= n; ++k)
        if (u[n - k] >= 0xC2 && vnc_utf8_valid(u, n - k)) return n - k;
    return n;
}
