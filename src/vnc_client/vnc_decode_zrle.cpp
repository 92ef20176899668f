// ZRLE: zlib-compressed 64 x 64 tiles of raw, palette and run-length data.
// The compressed bytes of every ZRLE rectangle of a connection continue one
// zlib stream, so each rectangle's data must be inflated completely, even
// when the rectangle is unusable, or the next one cannot be decoded.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "vnc_client_internal.h"

namespace {

constexpr int kTileSize = 64;
// Largest output space handed to one inflate call: zlib counts in 32 bits.
constexpr size_t kMaxInflateChunk = size_t{1} << 30;
// Where output beyond the rectangle's bound is inflated and dropped.
constexpr size_t kDiscardChunk = 64 * 1024;

// A growable heap block; realloc keeps already inflated bytes without a
// copy when it can.
struct heap_block {
    uint8_t *data = nullptr;
    size_t size = 0;
    heap_block() = default;
    heap_block(const heap_block &) = delete;
    heap_block &operator=(const heap_block &) = delete;
    ~heap_block() { std::free(data); }
    bool resize(size_t n) {
        void *p = std::realloc(data, n);
        if (!p) return false;
        data = static_cast<uint8_t *>(p);
        size = n;
        return true;
    }
};

bool cancelled(const vnc_decode_ctx &ctx) { return ctx.running && !ctx.running->load(); }

// Inflates all of in[0, in_len) through z. Output is kept up to bound bytes
// in out, which grows as data arrives so a huge rectangle with little data
// costs little memory; output past the bound is inflated and dropped.
// Returns the number of bytes kept, or -1.
int64_t inflate_all(const vnc_decode_ctx &ctx, uint8_t *in, uint32_t in_len, uint64_t bound,
                    heap_block &out) {
    z_stream *z = ctx.zstream;
    uint64_t first = std::min<uint64_t>(bound, static_cast<uint64_t>(in_len) * 8 + 65536);
    bool failed = first > SIZE_MAX || !out.resize(static_cast<size_t>(first));
    bool discarding = failed;
    std::unique_ptr<uint8_t[]> scratch;
    size_t kept = 0;

    z->next_in = in;
    z->avail_in = in_len;
    for (;;) {
        if (!discarding && kept == out.size) {
            if (out.size >= bound) {
                discarding = true;
            } else {
                uint64_t next = std::min<uint64_t>(bound, static_cast<uint64_t>(out.size) * 2);
                if (next > SIZE_MAX || !out.resize(static_cast<size_t>(next)))
                    failed = discarding = true;
            }
        }
        size_t space;
        if (discarding) {
            if (!scratch) scratch.reset(new (std::nothrow) uint8_t[kDiscardChunk]);
            if (!scratch) {
                failed = true;
                break;
            }
            z->next_out = scratch.get();
            space = kDiscardChunk;
        } else {
            z->next_out = out.data + kept;
            space = std::min(out.size - kept, kMaxInflateChunk);
        }
        z->avail_out = static_cast<uInt>(space);
        const int r = inflate(z, Z_SYNC_FLUSH);
        const size_t produced = space - z->avail_out;
        if (!discarding) kept += produced;
        // Z_BUF_ERROR: no progress was possible, i.e. input and pending
        // output are both used up.
        if (r == Z_STREAM_END || r == Z_BUF_ERROR) break;
        if (r != Z_OK) {
            failed = true;
            break;
        }
        // Space left over means the input ran out with everything flushed.
        if (z->avail_out != 0) break;
        if (cancelled(ctx)) {
            failed = true;
            break;
        }
    }
    // zlib keeps no use for these past the call; do not leave them dangling.
    z->next_in = nullptr;
    z->avail_in = 0;
    z->next_out = nullptr;
    z->avail_out = 0;
    return failed ? -1 : static_cast<int64_t>(kept);
}

// Cursor over the inflated bytes; every read is checked against the end.
struct data_cursor {
    const uint8_t *cur;
    const uint8_t *end;
    size_t left() const { return static_cast<size_t>(end - cur); }
};

template <int CPS>
inline uint32_t load_cpixel(const uint8_t *s) {
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

// Run length: 1 plus bytes summed until one is not 255. 0 on missing data.
// The sum wraps in 32 bits as the encoder's counter does.
inline bool read_run_length(data_cursor &d, uint32_t *len) {
    uint32_t n = 1;
    for (;;) {
        if (d.cur == d.end) return false;
        const uint8_t v = *d.cur++;
        n += v;
        if (v != 255) break;
    }
    *len = n;
    return true;
}

template <int CPS>
bool decode_raw_tile(data_cursor &d, const tile_area &t) {
    const size_t row_bytes = static_cast<size_t>(t.w) * CPS;
    const size_t need = row_bytes * static_cast<size_t>(t.h);
    if (d.left() < need) return false;
    for (int r = t.r0; r < t.r1; ++r) {
        const uint8_t *s =
            d.cur + static_cast<size_t>(r) * row_bytes + static_cast<size_t>(t.c0) * CPS;
        uint32_t *dst = t.visible_row(r);
        for (int c = t.c0; c < t.c1; ++c, s += CPS) *dst++ = load_cpixel<CPS>(s);
    }
    d.cur += need;
    return true;
}

template <int BITS>
bool decode_packed_tile(data_cursor &d, const tile_area &t, const uint32_t *palette) {
    const size_t row_bytes = (static_cast<size_t>(t.w) * BITS + 7) / 8;
    const size_t need = row_bytes * static_cast<size_t>(t.h);
    if (d.left() < need) return false;
    constexpr unsigned kMask = (1u << BITS) - 1;
    for (int r = t.r0; r < t.r1; ++r) {
        const uint8_t *s = d.cur + static_cast<size_t>(r) * row_bytes;
        uint32_t *dst = t.visible_row(r);
        for (int c = t.c0; c < t.c1; ++c) {
            const unsigned bit = static_cast<unsigned>(c) * BITS;
            const unsigned idx = (s[bit >> 3] >> (8 - BITS - (bit & 7))) & kMask;
            *dst++ = palette[idx & 127];
        }
    }
    d.cur += need;
    return true;
}

template <int CPS>
bool decode_plain_rle_tile(data_cursor &d, const tile_area &t) {
    const uint32_t total = static_cast<uint32_t>(t.w) * static_cast<uint32_t>(t.h);
    uint32_t done = 0;
    run_position pos;
    while (done < total) {
        if (d.left() < CPS) return false;
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

bool decode_palette_rle_tile(data_cursor &d, const tile_area &t, const uint32_t *palette) {
    const uint32_t total = static_cast<uint32_t>(t.w) * static_cast<uint32_t>(t.h);
    uint32_t done = 0;
    run_position pos;
    while (done < total) {
        if (d.cur == d.end) return false;
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
bool decode_tile(data_cursor &d, const tile_area &t) {
    if (d.cur == d.end) return false;
    const uint8_t sub = *d.cur++;
    const int psize = sub & 127;
    // Entries past the palette's size stay 0: an index beyond it paints 0.
    uint32_t palette[128] = {};
    if (psize > 0) {
        if (d.left() < static_cast<size_t>(psize) * CPS) return false;
        for (int i = 0; i < psize; ++i, d.cur += CPS) palette[i] = load_cpixel<CPS>(d.cur);
    }
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
int decode_tiles(const vnc_decode_ctx &ctx, data_cursor &d, int x, int y, int w, int h) {
    for (int oy = 0; oy < h; oy += kTileSize) {
        const int th = std::min(kTileSize, h - oy);
        for (int ox = 0; ox < w; ox += kTileSize) {
            if (cancelled(ctx)) return -1;
            const int tw = std::min(kTileSize, w - ox);
            const tile_area t = locate_tile(ctx, x + ox, y + oy, tw, th);
            if (!decode_tile<CPS>(d, t)) return -1;
        }
    }
    return 0;
}

}  // namespace

int decode_zrle_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint32_t len;
    if (ctx.in->read_u32(&len, kPayloadTimeoutMs)) return -1;
    // Nothing sane is that long; the bytes are left alone.
    if (len == 0 || len > kZrleMaxCompressed) return -1;
    if (!ctx.zstream) {
        ctx.in->skip(len, kPayloadTimeoutMs);
        return -1;
    }
    std::unique_ptr<uint8_t[]> compressed(new (std::nothrow) uint8_t[len]);
    if (!compressed) {
        ctx.in->skip(len, kPayloadTimeoutMs);
        return -1;
    }
    if (ctx.in->read(compressed.get(), len, kPayloadTimeoutMs)) return -1;

    if (w < 0) w = 0;
    if (h < 0) h = 0;
    const uint64_t bound =
        static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 4 + kZrleOutputSlack;
    heap_block out;
    const int64_t produced = inflate_all(ctx, compressed.get(), len, bound, out);
    compressed.reset();
    if (produced < 0) return -1;
    if (w == 0 || h == 0) return 0;

    data_cursor d{out.data, out.data + produced};
    const bool cpixel3 = ctx.red_max <= 255 && ctx.green_max <= 255 && ctx.blue_max <= 255;
    return cpixel3 ? decode_tiles<3>(ctx, d, x, y, w, h) : decode_tiles<4>(ctx, d, x, y, w, h);
}
