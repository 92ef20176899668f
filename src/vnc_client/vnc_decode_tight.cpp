// Tight: each rectangle is a fill, a JPEG, or "basic" data (pixels as they
// are, palette indices, or pixels predicted from their neighbours) that is
// sent as is when under 12 bytes and otherwise on one of four zlib streams.
// Those streams run on across rectangles until the server resets one, so
// data of a stream that we cannot inflate leaves every later rectangle of
// that stream unreadable: the connection ends then, as with ZRLE.
#include <algorithm>
#include <cstring>

#include "vnc_client_internal.h"
#include "vnc_jpeg.h"

namespace {

constexpr int kFill = 8;
constexpr int kJpeg = 9;
constexpr int kFilterCopy = 0, kFilterPalette = 1, kFilterGradient = 2;
// Basic data shorter than this is sent uncompressed.
constexpr uint64_t kMinToCompress = 12;
// Pixels converted per piece of a row: rows of any width go through the
// inflate window in pieces of at most 16 KiB.
constexpr int kPiecePixels = 4096;
// What deflate may add to data that does not compress, and what a JPEG's
// tables and markers may take beyond its pixels.
constexpr uint64_t kDeflateSlack = 1024;
constexpr uint64_t kJpegSlack = 16384;

// A pixel as Tight sends it: red, green, blue when the colours fit in 24
// bits (the fourth byte set, as ZRLE's compact pixels), else the whole
// pixel, little-endian.
template <int CPS>
inline uint32_t load_tpixel(const uint8_t *s) {
    if (CPS == 3)
        return 0xFF000000u | static_cast<uint32_t>(s[0]) << 16 |
               static_cast<uint32_t>(s[1]) << 8 | s[2];
    return vnc_load_le32(s);
}

// 1 to 3 bytes, 7 bits each but the third's 8, lowest first.
int read_compact_length(vnc_byte_source &in, uint32_t *len) {
    uint8_t b;
    uint32_t n = 0;
    for (int i = 0; i < 3; ++i) {
        if (in.read_u8(&b, kPayloadTimeoutMs)) return -1;
        if (i == 2) {
            n |= static_cast<uint32_t>(b) << 14;
            break;
        }
        n |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) break;
    }
    *len = n;
    return 0;
}

// Where the basic data's bytes come from: the inflate window, or the few
// uncompressed bytes in memory; both as cur/end with need().
struct memory_bytes {
    const uint8_t *cur, *end;
    bool need(size_t n) const { return static_cast<size_t>(end - cur) >= n; }
};

// A rectangle's basic data, turned into pixels a row at a time.
struct basic_rect {
    int filter = kFilterCopy;
    int colours = 0;        // palette filter
    uint32_t palette[256];  // entries past `colours` are 0
    int w = 0, h = 0;
};

// Bytes of n pixels of a row of basic data (for 1-bit rows, n pixels from
// a multiple of 8).
size_t row_bytes(const basic_rect &b, int n, int cps) {
    const size_t count = static_cast<size_t>(n);
    if (b.filter != kFilterPalette) return count * static_cast<size_t>(cps);
    return b.colours == 2 ? (count + 7) / 8 : count;
}

// Each colour channel of (left + above - above-left), kept within 0..255,
// plus the sent difference, modulo 256.
inline uint32_t gradient_pixel(uint32_t left, uint32_t above, uint32_t above_left,
                               const uint8_t *diff) {
    uint32_t out = 0xFF000000u;
    for (int k = 0; k < 3; ++k) {
        const int shift = 16 - 8 * k;
        const int predicted = std::clamp(static_cast<int>(left >> shift & 0xFF) +
                                             static_cast<int>(above >> shift & 0xFF) -
                                             static_cast<int>(above_left >> shift & 0xFF),
                                         0, 255);
        out |= static_cast<uint32_t>((predicted + diff[k]) & 0xFF) << shift;
    }
    return out;
}

// Converts pixels [c, c + n) of one row from src. prev is the row above
// (zeros above the first row), row the one being built.
template <int CPS>
void convert(const basic_rect &b, const uint8_t *src, int c, int n, const uint32_t *prev,
             uint32_t *row) {
    uint32_t *dst = row + c;
    switch (b.filter) {
    case kFilterCopy:
        if (CPS == 3) {
            vnc_draw::expand_rgb3(src, dst, n);
            break;
        }
        for (int i = 0; i < n; ++i, src += CPS) dst[i] = load_tpixel<CPS>(src);
        break;
    case kFilterPalette:
        if (b.colours == 2) {
            // c is a multiple of 8: src starts at the byte of pixel c.
            for (int i = 0; i < n; ++i) dst[i] = b.palette[src[i >> 3] >> (7 - (i & 7)) & 1];
        } else {
            for (int i = 0; i < n; ++i) dst[i] = b.palette[src[i]];
        }
        break;
    default:  // gradient, 3-byte pixels only
        for (int i = 0; i < n; ++i, src += 3) {
            const int x = c + i;
            const uint32_t left = x ? row[x - 1] : 0, above_left = x ? prev[x - 1] : 0;
            dst[i] = gradient_pixel(left, prev[x], above_left, src);
        }
        break;
    }
}

// Decodes the rows from in into the framebuffer. false when the data ends
// before the last row.
template <int CPS, class Bytes>
bool decode_rows(vnc_decode_ctx &ctx, Bytes &in, const basic_rect &b, int x, int y,
                 uint32_t *rows) {
    uint32_t *row = rows, *prev = rows + b.w;
    if (b.filter == kFilterGradient) std::fill_n(prev, b.w, 0u);
    ctx.drawn = ctx.pixels != nullptr;
    for (int r = 0; r < b.h; ++r) {
        if (ctx.running && !ctx.running->load()) return false;
        for (int c = 0; c < b.w; c += kPiecePixels) {
            const int n = std::min(kPiecePixels, b.w - c);
            const size_t bytes = row_bytes(b, n, CPS);
            if (!in.need(bytes)) return false;
            convert<CPS>(b, in.cur, c, n, prev, row);
            in.cur += bytes;
        }
        vnc_draw::put_row(ctx, x, y + r, b.w, row);
        ctx.rows_done = r + 1;
        if (b.filter == kFilterGradient) std::swap(row, prev);
    }
    return true;
}

// Skips a payload that cannot be used; the stream stays in step.
int refuse_payload(vnc_decode_ctx &ctx, uint64_t len) {
    return ctx.in->skip(len, kPayloadTimeoutMs) ? kDecodeBroken : kDecodeRefused;
}

template <int CPS>
int decode_basic(vnc_decode_ctx &ctx, int control, int x, int y, int w, int h) {
    vnc_tight_state *st = ctx.tight;
    vnc_byte_source &in = *ctx.in;
    basic_rect b;
    b.w = std::max(w, 0);
    b.h = std::max(h, 0);
    if (control & 0x40) {
        uint8_t f;
        if (in.read_u8(&f, kPayloadTimeoutMs)) return kDecodeBroken;
        // An unknown filter leaves the payload's size unknown.
        if (f > kFilterGradient) return kDecodeBroken;
        b.filter = f;
    }
    bool usable = true;
    if (b.filter == kFilterPalette) {
        uint8_t n;
        if (in.read_u8(&n, kPayloadTimeoutMs)) return kDecodeBroken;
        b.colours = n + 1;
        uint8_t raw[256 * 4];
        if (in.read(raw, static_cast<size_t>(b.colours) * CPS, kPayloadTimeoutMs))
            return kDecodeBroken;
        for (int i = 0; i < b.colours; ++i) b.palette[i] = load_tpixel<CPS>(raw + i * CPS);
        std::fill(b.palette + b.colours, b.palette + 256, 0u);
    } else if (b.filter == kFilterGradient && CPS != 3) {
        usable = false;  // only defined here for 8 bits a channel
    }
    const uint64_t total = row_bytes(b, b.w, CPS) * static_cast<uint64_t>(b.h);
    const size_t rows_size = static_cast<size_t>(b.w) * 4 * (b.filter == kFilterGradient ? 2 : 1);
    if (usable && st && !st->rows.reserve(rows_size)) usable = false;
    uint32_t *rows = st ? reinterpret_cast<uint32_t *>(st->rows.data) : nullptr;

    if (total < kMinToCompress) {
        uint8_t raw[kMinToCompress + 4];
        if (in.read(raw, static_cast<size_t>(total), kPayloadTimeoutMs)) return kDecodeBroken;
        if (!usable || !rows || total == 0) return total == 0 ? kDecodeOk : kDecodeRefused;
        memory_bytes src{raw, raw + total};
        return decode_rows<CPS>(ctx, src, b, x, y, rows) ? kDecodeOk : kDecodeRefused;
    }

    uint32_t len;
    if (read_compact_length(in, &len)) return kDecodeBroken;
    const int id = control >> 4 & 3;
    static const char *const kLost[4] = {
        "Tight's zlib stream 0 cannot continue", "Tight's zlib stream 1 cannot continue",
        "Tight's zlib stream 2 cannot continue", "Tight's zlib stream 3 cannot continue"};
    // Data we do not inflate leaves the stream behind the server's.
    if (!st) {
        ctx.error = "no memory for Tight's zlib streams";
        return kDecodeBroken;
    }
    if (len > total + total / 64 + kDeflateSlack) {
        ctx.error = "its compressed data is longer than its pixels can need";
        return kDecodeBroken;
    }
    if (!st->streams[id]) {
        st->streams[id].reset(vnc_new<vnc_inflate>());
        if (!st->streams[id] || !st->streams[id]->ok()) {
            st->streams[id].reset();
            ctx.error = kLost[id];
            return kDecodeBroken;
        }
    }
    vnc_buffer local;
    vnc_buffer &buf = ctx.scratch ? *ctx.scratch : local;
    if (vnc_read_payload(ctx, len, buf)) return kDecodeBroken;
    vnc_inflate_window d(*st->streams[id], ctx.running, buf.data, len, total);
    // Rows that the data does not hold, or data the stream cannot take.
    const bool rows_ok = !usable || decode_rows<CPS>(ctx, d, b, x, y, rows);
    if (!rows_ok || !d.drain()) {
        if (!ctx.running || ctx.running->load()) ctx.error = kLost[id];
        return kDecodeBroken;
    }
    return usable ? kDecodeOk : kDecodeRefused;
}

int decode_jpeg(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint32_t len;
    if (read_compact_length(*ctx.in, &len)) return kDecodeBroken;
    const uint64_t area = static_cast<uint64_t>(std::max(w, 0)) * static_cast<uint64_t>(std::max(h, 0));
    if (!ctx.tight || !vnc_jpeg_available() || len > area * 4 + kJpegSlack)
        return refuse_payload(ctx, len);
    vnc_buffer local;
    vnc_buffer &buf = ctx.scratch ? *ctx.scratch : local;
    if (vnc_read_payload(ctx, len, buf)) return kDecodeBroken;
    return vnc_jpeg_decode(ctx, buf.data, len, x, y, w, h, ctx.tight->rows);
}

template <int CPS>
int decode(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint8_t control;
    if (ctx.in->read_u8(&control, kPayloadTimeoutMs)) return kDecodeBroken;
    if (vnc_tight_state *st = ctx.tight) {
        for (int i = 0; i < 4; ++i) {
            if (!(control >> i & 1)) continue;
            st->streams[i].reset();
        }
    }
    const int kind = control >> 4;
    if (kind == kFill) {
        uint8_t raw[4];
        if (ctx.in->read(raw, CPS, kPayloadTimeoutMs)) return kDecodeBroken;
        vnc_draw::fill(ctx, x, y, w, h, load_tpixel<CPS>(raw));
        ctx.rows_done = std::max(h, 0);
        return kDecodeOk;
    }
    if (kind == kJpeg) return decode_jpeg(ctx, x, y, w, h);
    // Anything else with the top bit set has no known size.
    if (kind & 8) return kDecodeBroken;
    return decode_basic<CPS>(ctx, control, x, y, w, h);
}

}  // namespace

int decode_tight_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    const bool cpixel3 = ctx.red_max <= 255 && ctx.green_max <= 255 && ctx.blue_max <= 255;
    return cpixel3 ? decode<3>(ctx, x, y, w, h) : decode<4>(ctx, x, y, w, h);
}
