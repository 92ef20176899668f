// ZRLE: zlib-compressed 64 x 64 tiles of raw, palette and run-length data.
// The compressed bytes of every ZRLE rectangle of a connection continue one
// zlib stream, so each rectangle's data must go through inflate completely,
// even when the rectangle is unusable, or the next one cannot be decoded.
// Tiles are decoded as inflate produces them, through a small window, so
// memory does not follow the size a rectangle claims.
#include <algorithm>
#include <cstring>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

namespace {

constexpr int kTileSize = 64;
bool cancelled(const vnc_decode_ctx &ctx) { return ctx.running && !ctx.running->load(); }

using zrle_input = vnc_inflate_window;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndian = true;
#else
constexpr bool kLittleEndian = false;
#endif

// A compressed pixel: 3 bytes (the fourth set) when the colours fit in 24
// bits, else 4. The window's padding makes the 4-byte load safe for CPS 3.
template <int CPS>
inline uint32_t load_cpixel(const uint8_t *s) {
    if (kLittleEndian) {
        uint32_t v;
        std::memcpy(&v, s, 4);
        return CPS == 3 ? v | 0xFF000000u : v;
    }
    if (CPS == 3)
        return static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
               static_cast<uint32_t>(s[2]) << 16 | 0xFF000000u;
    return vnc_load_le32(s);
}

// The part of one tile that lies inside the framebuffer: rows [r0, r1) and
// columns [c0, c1) of the tile, empty when nothing is drawn.
struct tile_area {
    uint32_t *first = nullptr;  // framebuffer address of tile pixel (r0, c0)
    size_t stride = 0;
    int w = 0, h = 0;
    int r0 = 0, r1 = 0, c0 = 0, c1 = 0;

    // Address of tile pixel (r, c0); r must be visible. Index it with c - c0.
    uint32_t *visible_row(int r) const { return first + static_cast<size_t>(r - r0) * stride; }
    bool row_visible(int r) const { return r >= r0 && r < r1; }

    void fill(uint32_t pixel) const {
        for (int r = r0; r < r1; ++r) std::fill_n(visible_row(r), c1 - c0, pixel);
    }
};

tile_area locate_tile(const vnc_decode_ctx &ctx, int tx, int ty, int tw, int th) {
    tile_area t;
    t.w = tw;
    t.h = th;
    if (!ctx.pixels) return t;
    const int64_t c0 = std::clamp<int64_t>(-static_cast<int64_t>(tx), 0, tw);
    const int64_t c1 = std::clamp<int64_t>(static_cast<int64_t>(ctx.fb_width) - tx, 0, tw);
    const int64_t r0 = std::clamp<int64_t>(-static_cast<int64_t>(ty), 0, th);
    const int64_t r1 = std::clamp<int64_t>(static_cast<int64_t>(ctx.fb_height) - ty, 0, th);
    if (c1 <= c0 || r1 <= r0) return t;
    t.c0 = static_cast<int>(c0);
    t.c1 = static_cast<int>(c1);
    t.r0 = static_cast<int>(r0);
    t.r1 = static_cast<int>(r1);
    t.stride = static_cast<size_t>(ctx.fb_width);
    t.first = ctx.pixels + static_cast<size_t>(ty + r0) * t.stride + static_cast<size_t>(tx + c0);
    return t;
}

// Position of the next pixel of a run-length tile.
struct run_position {
    int r = 0, c = 0;
};

// Paints n pixels of one colour from pos onwards in row order; n does not
// reach past the tile's end.
inline void paint_run(const tile_area &t, run_position &pos, uint32_t n, uint32_t pixel) {
    while (n > 0) {
        const uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(t.w - pos.c));
        if (t.row_visible(pos.r)) {
            const int a = std::max(pos.c, t.c0);
            const int b = std::min(pos.c + static_cast<int>(take), t.c1);
            if (a < b) std::fill_n(t.visible_row(pos.r) + (a - t.c0), b - a, pixel);
        }
        n -= take;
        pos.c += static_cast<int>(take);
        if (pos.c == t.w) {
            pos.c = 0;
            ++pos.r;
        }
    }
}

// Run length: 1 plus bytes summed until one is not 255. false on missing
// data. The sum wraps in 32 bits as the encoder's counter does.
inline bool read_run_length(zrle_input &d, uint32_t *len) {
    uint32_t n = 1;
    for (;;) {
        if (!d.need(1)) return false;
        const uint8_t v = *d.cur++;
        n += v;
        if (v != 255) break;
    }
    *len = n;
    return true;
}

template <int CPS>
bool decode_raw_tile(zrle_input &d, const tile_area &t) {
    const size_t row_bytes = static_cast<size_t>(t.w) * CPS;
    const size_t need = row_bytes * static_cast<size_t>(t.h);
    if (!d.need(need)) return false;
    for (int r = t.r0; r < t.r1; ++r) {
        const uint8_t *s =
            d.cur + static_cast<size_t>(r) * row_bytes + static_cast<size_t>(t.c0) * CPS;
        uint32_t *dst = t.visible_row(r);
        if (CPS == 4 && kLittleEndian) {
            std::memcpy(dst, s, static_cast<size_t>(t.c1 - t.c0) * 4);
            continue;
        }
        if (CPS == 3) {
            vnc_draw::expand_bgr3(s, dst, t.c1 - t.c0);
            continue;
        }
        for (int c = t.c0; c < t.c1; ++c, s += CPS) *dst++ = load_cpixel<CPS>(s);
    }
    d.cur += need;
    return true;
}

template <int BITS>
bool decode_packed_tile(zrle_input &d, const tile_area &t, const uint32_t *palette) {
    const size_t row_bytes = (static_cast<size_t>(t.w) * BITS + 7) / 8;
    const size_t need = row_bytes * static_cast<size_t>(t.h);
    if (!d.need(need)) return false;
    constexpr unsigned kMask = (1u << BITS) - 1;
    constexpr int kPerByte = 8 / BITS;
    for (int r = t.r0; r < t.r1; ++r) {
        const uint8_t *s = d.cur + static_cast<size_t>(r) * row_bytes;
        uint32_t *dst = t.visible_row(r);
        int c = t.c0;
        // Whole bytes first, then whatever is left of the row.
        if (c % kPerByte == 0) {
            for (; c + kPerByte <= t.c1; c += kPerByte) {
                const unsigned byte = s[c / kPerByte];
                for (int k = 0; k < kPerByte; ++k)
                    *dst++ = palette[(byte >> (8 - BITS * (k + 1))) & kMask & 127];
            }
        }
        for (; c < t.c1; ++c) {
            const unsigned bit = static_cast<unsigned>(c) * BITS;
            const unsigned idx = (s[bit >> 3] >> (8 - BITS - (bit & 7))) & kMask;
            *dst++ = palette[idx & 127];
        }
    }
    d.cur += need;
    return true;
}

template <int CPS>
bool decode_plain_rle_tile(zrle_input &d, const tile_area &t) {
    const uint32_t total = static_cast<uint32_t>(t.w) * static_cast<uint32_t>(t.h);
    uint32_t done = 0;
    run_position pos;
    while (done < total) {
        if (!d.need(CPS)) return false;
        const uint32_t pixel = load_cpixel<CPS>(d.cur);
        d.cur += CPS;
        uint32_t len;
        if (!read_run_length(d, &len)) return false;
        // A length that wrapped to zero or "negative" paints nothing.
        if (len == 0 || len > 0x7FFFFFFFu) continue;
        const uint32_t n = std::min(len, total - done);
        paint_run(t, pos, n, pixel);
        done += n;
    }
    return true;
}

bool decode_palette_rle_tile(zrle_input &d, const tile_area &t, const uint32_t *palette) {
    const uint32_t total = static_cast<uint32_t>(t.w) * static_cast<uint32_t>(t.h);
    uint32_t done = 0;
    run_position pos;
    while (done < total) {
        if (!d.need(1)) return false;
        const uint8_t b = *d.cur++;
        uint32_t len = 1;
        if ((b & 128) && !read_run_length(d, &len)) return false;
        if (len == 0 || len > 0x7FFFFFFFu) continue;
        const uint32_t n = std::min(len, total - done);
        paint_run(t, pos, n, palette[b & 127]);
        done += n;
    }
    return true;
}

template <int CPS>
bool decode_tile(zrle_input &d, const tile_area &t) {
    if (!d.need(1)) return false;
    const uint8_t sub = *d.cur++;
    const int psize = sub & 127;
    // Entries past the palette's size stay 0: an index beyond it paints 0.
    uint32_t palette[128];
    if (psize > 0) {
        if (!d.need(static_cast<size_t>(psize) * CPS)) return false;
        for (int i = 0; i < psize; ++i, d.cur += CPS) palette[i] = load_cpixel<CPS>(d.cur);
    }
    if (psize > 0) std::fill(palette + psize, palette + 128, 0u);
    if (sub & 128) {
        if (psize == 0) return decode_plain_rle_tile<CPS>(d, t);
        return decode_palette_rle_tile(d, t, palette);
    }
    if (psize == 0) return decode_raw_tile<CPS>(d, t);
    if (psize == 1) {
        t.fill(palette[0]);
        return true;
    }
    if (psize == 2) return decode_packed_tile<1>(d, t, palette);
    if (psize <= 4) return decode_packed_tile<2>(d, t, palette);
    if (psize <= 16) return decode_packed_tile<4>(d, t, palette);
    return decode_packed_tile<8>(d, t, palette);
}

template <int CPS>
int decode_tiles(vnc_decode_ctx &ctx, zrle_input &d, int x, int y, int w, int h) {
    ctx.drawn = ctx.pixels != nullptr;
    for (int oy = 0; oy < h; oy += kTileSize) {
        const int th = std::min(kTileSize, h - oy);
        for (int ox = 0; ox < w; ox += kTileSize) {
            if (cancelled(ctx)) return kDecodeBroken;
            const int tw = std::min(kTileSize, w - ox);
            const tile_area t = locate_tile(ctx, x + ox, y + oy, tw, th);
            if (!decode_tile<CPS>(d, t)) return kDecodeRefused;
        }
        ctx.rows_done = oy + th;
    }
    return kDecodeOk;
}

}  // namespace

bool vnc_buffer::reserve(size_t n) {
    if (n <= size) return true;
    // Grow by half again at least, so slowly growing sizes reallocate rarely.
    size_t want = std::max(n, size + size / 2);
    void *p = vnc_realloc(data, want);
    if (!p && want > n) p = vnc_realloc(data, want = n);
    if (!p) return false;
    data = static_cast<uint8_t *>(p);
    size = want;
    return true;
}

void vnc_buffer::release() {
    vnc_free(data);
    data = nullptr;
    size = 0;
}

int decode_zrle_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint32_t len;
    if (ctx.in->read_u32(&len, kPayloadTimeoutMs)) return kDecodeBroken;
    if (len == 0) return kDecodeRefused;
    // Nothing sane is longer than the rectangle's raw tiles and deflate's
    // overhead, and skipping it would leave the inflate stream behind: the
    // connection cannot go on. (The buffer grows only with what arrives.)
    // Only the part inside the framebuffer counts: a server cannot make us
    // hold more by announcing a larger rectangle.
    const uint64_t area = static_cast<uint64_t>(std::clamp(w, 0, ctx.fb_width)) *
                          static_cast<uint64_t>(std::clamp(h, 0, ctx.fb_height));
    if (len > std::max<uint64_t>(kZrleMaxCompressed, area * 5)) return kDecodeBroken;
    // The compressed bytes are all read before anything is drawn: a payload
    // cut short changes no pixel. They live in the connection's buffer, which
    // is kept for the next rectangle (or in one of this call's own).
    vnc_buffer local;
    vnc_buffer &buf = ctx.scratch ? *ctx.scratch : local;
    if (!ctx.inflate)
        return ctx.in->skip(len, kPayloadTimeoutMs) ? kDecodeBroken : kDecodeRefused;
    // Without the bytes the stream cannot be kept: every later rectangle
    // refers back into what this one would have produced.
    if (vnc_read_payload(ctx, len, buf)) return kDecodeBroken;

    const uint8_t *data = buf.data;
    if (w < 0) w = 0;
    if (h < 0) h = 0;
    // Tiles may read no further than a rectangle of this size can need.
    const uint64_t bound =
        static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 4 + kZrleOutputSlack;
    zrle_input d(*ctx.inflate, ctx.running, data, len, bound);
    int result = kDecodeOk;
    if (w > 0 && h > 0) {
        const bool cpixel3 = ctx.red_max <= 255 && ctx.green_max <= 255 && ctx.blue_max <= 255;
        result = cpixel3 ? decode_tiles<3>(ctx, d, x, y, w, h) : decode_tiles<4>(ctx, d, x, y, w, h);
    }
    // Tile data that ends early costs only this rectangle; compressed data
    // that does not inflate leaves the stream unusable for every later one.
    if (!d.drain()) result = kDecodeBroken;
    return result;
}
