// Hextile: 16 x 16 tiles, each raw or a background with subrectangles.
#include <algorithm>
#include <cstring>

#include "vnc_client_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kTileSize = 16;

// n (1..16) pixels of one colour. Subrectangles of text are mostly a few
// pixels wide, where a counted loop costs more than the stores: a few
// overlapping stores, all within [p, p + n), do it without a loop.
inline void fill_span(uint32_t *p, int n, uint32_t pixel) {
#if defined(__SSE2__)
    if (n >= 4) {
        const __m128i v = _mm_set1_epi32(static_cast<int>(pixel));
        for (int i = 0; i + 4 < n; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i *>(p + i), v);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + n - 4), v);
        return;
    }
    if (n >= 2) {
        const uint64_t two = pixel | (uint64_t{pixel} << 32);
        std::memcpy(p, &two, 8);
        std::memcpy(p + n - 2, &two, 8);
        return;
    }
    *p = pixel;
#else
    std::fill_n(p, n, pixel);
#endif
}

enum : uint8_t {
    kRaw = 1,
    kBackgroundSpecified = 2,
    kForegroundSpecified = 4,
    kAnySubrects = 8,
    kSubrectsColoured = 16,
};

inline int read_pixel(vnc_byte_source &in, uint32_t *pixel) {
    uint8_t b[4];
    if (in.read(b, 4, kPayloadTimeoutMs)) return kDecodeBroken;
    std::memcpy(pixel, b, 4);  // stored as received
    return 0;
}

int read_raw_tile(vnc_decode_ctx &ctx, int tx, int ty, int tw, int th) {
    const size_t row_bytes = static_cast<size_t>(tw) * 4;
    const bool inside = ctx.pixels && tx >= 0 && ty >= 0 &&
                        static_cast<int64_t>(tx) + tw <= ctx.fb_width &&
                        static_cast<int64_t>(ty) + th <= ctx.fb_height;
    if (inside) {
        uint32_t *dst = ctx.pixels + static_cast<size_t>(ty) * ctx.fb_width + tx;
        for (int r = 0; r < th; ++r, dst += ctx.fb_width)
            if (ctx.in->read(dst, row_bytes, kPayloadTimeoutMs)) return kDecodeBroken;
        return kDecodeOk;
    }
    uint32_t row[kTileSize];
    for (int r = 0; r < th; ++r) {
        if (ctx.in->read(row, row_bytes, kPayloadTimeoutMs)) return kDecodeBroken;
        vnc_draw::put_row(ctx, tx, ty + r, tw, row);
    }
    return kDecodeOk;
}

// A tile that lies inside the framebuffer and is already whole in the
// reader's buffer is parsed in place and drawn without clipping. Returns the
// bytes it took, or 0 when the careful path must take it.
size_t fast_tile(const uint8_t *p, size_t avail, uint32_t *dst, size_t stride, int tw, int th,
                 uint32_t &bg, uint32_t &fg) {
    const uint8_t sub = p[0];
    if (sub & kRaw) {
        const size_t row_bytes = static_cast<size_t>(tw) * 4;
        const size_t len = 1 + row_bytes * static_cast<size_t>(th);
        if (avail < len) return 0;
        if (tw == kTileSize) {  // a fixed-size copy: vector moves, not a string move
            for (int r = 0; r < th; ++r)
                std::memcpy(dst + r * stride, p + 1 + r * row_bytes, kTileSize * 4);
        } else {
            for (int r = 0; r < th; ++r)
                std::memcpy(dst + r * stride, p + 1 + r * row_bytes, row_bytes);
        }
        return len;
    }
    size_t len = 1 + ((sub & kBackgroundSpecified) ? 4 : 0) + ((sub & kForegroundSpecified) ? 4 : 0);
    size_t count = 0, each = 0;
    if (sub & kAnySubrects) {
        if (avail < len + 1) return 0;
        count = p[len];
        each = (sub & kSubrectsColoured) ? 6 : 2;
        len += 1 + count * each;
    }
    if (avail < len) return 0;
    const uint8_t *q = p + 1;
    if (sub & kBackgroundSpecified) {
        std::memcpy(&bg, q, 4);
        q += 4;
    }
    if (tw == kTileSize) {
        // Whole rows of a full-width tile: fixed-size copies the compiler
        // turns into a few vector stores.
        uint32_t row[kTileSize];
        std::fill_n(row, kTileSize, bg);
        for (int r = 0; r < th; ++r) std::memcpy(dst + r * stride, row, sizeof row);
    } else {
        for (int r = 0; r < th; ++r) std::fill_n(dst + r * stride, tw, bg);
    }
    if (sub & kForegroundSpecified) {
        std::memcpy(&fg, q, 4);
        q += 4;
    }
    if (!count) return len;
    ++q;  // the count
    const bool coloured = (sub & kSubrectsColoured) != 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t pixel = fg;
        if (coloured) {
            std::memcpy(&pixel, q, 4);
            q += 4;
        }
        const int sx = q[0] >> 4, sy = q[0] & 15;
        // A single pixel, the commonest subrectangle of photo-like tiles.
        if (q[1] == 0) {
            if (sx < tw && sy < th) dst[static_cast<size_t>(sy) * stride + sx] = pixel;
            q += 2;
            continue;
        }
        // Cut to the tile, as the careful path does.
        const int sw = std::min((q[1] >> 4) + 1, tw - sx);
        const int sh = std::min((q[1] & 15) + 1, th - sy);
        q += 2;
        if (sw <= 0 || sh <= 0) continue;
        uint32_t *row = dst + static_cast<size_t>(sy) * stride + sx;
        if (sw == 1) {
            for (int r = 0; r < sh; ++r) row[r * stride] = pixel;
        } else {
            for (int r = 0; r < sh; ++r, row += stride) fill_span(row, sw, pixel);
        }
    }
    return len;
}

}  // namespace

int decode_hextile_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return kDecodeOk;
    // Carried from tile to tile; a tile that does not specify them reuses
    // the last ones of this rectangle.
    uint32_t bg = 0, fg = 0;
    vnc_byte_source &in = *ctx.in;
    const size_t stride = static_cast<size_t>(ctx.fb_width);
    const bool inside = ctx.pixels && x >= 0 && y >= 0 &&
                        static_cast<int64_t>(x) + w <= ctx.fb_width &&
                        static_cast<int64_t>(y) + h <= ctx.fb_height;
    for (int oy = 0; oy < h; oy += kTileSize) {
        const int th = std::min(kTileSize, h - oy);
        const int ty = y + oy;
        for (int ox = 0; ox < w; ox += kTileSize) {
            if (ctx.running && !ctx.running->load()) return kDecodeBroken;
            const int tw = std::min(kTileSize, w - ox);
            const int tx = x + ox;
            if (inside && in.buffered()) {
                uint32_t *dst = ctx.pixels + static_cast<size_t>(ty) * stride + tx;
                if (size_t used = fast_tile(in.peek(), in.buffered(), dst, stride, tw, th, bg, fg)) {
                    in.consume(used);
                    continue;
                }
            }
            uint8_t sub;
            if (in.read_u8(&sub, kPayloadTimeoutMs)) return kDecodeBroken;
            if (sub & kRaw) {
                if (read_raw_tile(ctx, tx, ty, tw, th)) return kDecodeBroken;
                continue;
            }
            if ((sub & kBackgroundSpecified) && read_pixel(in, &bg)) return kDecodeBroken;
            vnc_draw::fill(ctx, tx, ty, tw, th, bg);
            if ((sub & kForegroundSpecified) && read_pixel(in, &fg)) return kDecodeBroken;
            if (!(sub & kAnySubrects)) continue;
            uint8_t count;
            if (in.read_u8(&count, kPayloadTimeoutMs)) return kDecodeBroken;
            const bool coloured = (sub & kSubrectsColoured) != 0;
            for (int i = 0; i < count; ++i) {
                uint32_t pixel = fg;
                if (coloured && read_pixel(in, &pixel)) return kDecodeBroken;
                uint8_t pos, size;
                if (in.read_u8(&pos, kPayloadTimeoutMs) || in.read_u8(&size, kPayloadTimeoutMs))
                    return kDecodeBroken;
                const int sx = pos >> 4, sy = pos & 15;
                // Cut to the tile: a narrow edge tile may be given a
                // subrectangle reaching past it.
                const int sw = std::min((size >> 4) + 1, tw - sx);
                const int sh = std::min((size & 15) + 1, th - sy);
                if (sw > 0 && sh > 0) vnc_draw::fill(ctx, tx + sx, ty + sy, sw, sh, pixel);
            }
        }
        ctx.rows_done = oy + th;
    }
    return kDecodeOk;
}
