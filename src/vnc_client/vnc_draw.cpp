// What the decoders share: clipped framebuffer writes, payload reads.
#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QV_HAVE_SSSE3_PATH 1
#include <immintrin.h>
#endif

#include "vnc_client_internal.h"

namespace {

// 3-byte pixels to 4-byte ones, the fourth byte set; `red_first` is Tight's
// order (R, G, B), else ZRLE's (the pixel's low three bytes, B, G, R here).
template <bool red_first>
void expand3_scalar(const uint8_t *s, uint32_t *dst, int n) {
    for (int i = 0; i < n; ++i, s += 3) {
        const uint32_t a = s[0], b = s[1], c = s[2];
        dst[i] = 0xFF000000u | (red_first ? a << 16 | b << 8 | c : c << 16 | b << 8 | a);
    }
}

#ifdef QV_HAVE_SSSE3_PATH
// Four pixels a shuffle; each 16-byte load stays inside the n pixels' bytes.
template <bool red_first>
__attribute__((target("ssse3"))) void expand3_ssse3(const uint8_t *s, uint32_t *dst, int n) {
    const __m128i spread = red_first
        ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
        : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int i = 0;
    for (; i + 6 <= n; i += 4, s += 12, dst += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                         _mm_or_si128(_mm_shuffle_epi8(v, spread), opaque));
    }
    expand3_scalar<red_first>(s, dst, n - i);
}

const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");
#endif

template <bool red_first>
void expand3(const uint8_t *s, uint32_t *dst, int n) {
#ifdef QV_HAVE_SSSE3_PATH
    if (kHaveSsse3) return expand3_ssse3<red_first>(s, dst, n);
#endif
    expand3_scalar<red_first>(s, dst, n);
}

}  // namespace

namespace vnc_draw {

void fill(vnc_decode_ctx &ctx, int x, int y, int w, int h, uint32_t pixel) {
    if (!ctx.pixels) return;
    int64_t x0 = std::max(x, 0), y0 = std::max(y, 0);
    int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + w, ctx.fb_width);
    int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + h, ctx.fb_height);
    if (x1 <= x0 || y1 <= y0) return;
    size_t width = static_cast<size_t>(x1 - x0);
    for (int64_t row = y0; row < y1; ++row) {
        uint32_t *p = ctx.pixels + static_cast<size_t>(row) * static_cast<size_t>(ctx.fb_width) +
                      static_cast<size_t>(x0);
        std::fill(p, p + width, pixel);
    }
}

void put_row(vnc_decode_ctx &ctx, int x, int y, int n, const uint32_t *src) {
    if (!ctx.pixels || y < 0 || y >= ctx.fb_height || n <= 0) return;
    int64_t x0 = std::max(x, 0);
    int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + n, ctx.fb_width);
    if (x1 <= x0) return;
    std::memcpy(ctx.pixels + static_cast<size_t>(y) * static_cast<size_t>(ctx.fb_width) +
                    static_cast<size_t>(x0),
                src + (x0 - x), static_cast<size_t>(x1 - x0) * 4);
}

void expand_bgr3(const uint8_t *s, uint32_t *dst, int n) { expand3<false>(s, dst, n); }
void expand_rgb3(const uint8_t *s, uint32_t *dst, int n) { expand3<true>(s, dst, n); }

}  // namespace vnc_draw

namespace {
// Payload bytes read at first; each further read doubles what is there.
constexpr uint32_t kMinPayloadStep = 64 * 1024;
}  // namespace

int vnc_read_payload(vnc_decode_ctx &ctx, uint32_t len, vnc_buffer &buf) {
    // The buffer grows with the bytes that arrive, not with the length the
    // server claims.
    for (uint32_t got = 0; got < len;) {
        const uint32_t step = std::min(len - got, std::max<uint32_t>(got, kMinPayloadStep));
        if (!buf.reserve(static_cast<size_t>(got) + step)) return -1;
        if (ctx.in->read(buf.data + got, step, kPayloadTimeoutMs)) return -1;
        got += step;
    }
    return 0;
}
