// Hextile: 16 x 16 tiles, each raw or a background with subrectangles.
#include <algorithm>
#include <cstring>

#include "vnc_client_internal.h"

namespace {

constexpr int kTileSize = 16;

enum : uint8_t {
    kRaw = 1,
    kBackgroundSpecified = 2,
    kForegroundSpecified = 4,
    kAnySubrects = 8,
    kSubrectsColoured = 16,
};

inline int read_pixel(vnc_byte_source &in, uint32_t *pixel) {
    uint8_t b[4];
    if (in.read(b, 4, kPayloadTimeoutMs)) return -1;
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
            if (ctx.in->read(dst, row_bytes, kPayloadTimeoutMs)) return -1;
        return 0;
    }
    uint32_t row[kTileSize];
    for (int r = 0; r < th; ++r) {
        if (ctx.in->read(row, row_bytes, kPayloadTimeoutMs)) return -1;
        vnc_draw::put_row(ctx, tx, ty + r, tw, row);
    }
    return 0;
}

}  // namespace

int decode_hextile_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return 0;
    // Carried from tile to tile; a tile that does not specify them reuses
    // the last ones of this rectangle.
    uint32_t bg = 0, fg = 0;
    vnc_byte_source &in = *ctx.in;
    for (int oy = 0; oy < h; oy += kTileSize) {
        const int th = std::min(kTileSize, h - oy);
        const int ty = y + oy;
        for (int ox = 0; ox < w; ox += kTileSize) {
            if (ctx.running && !ctx.running->load()) return -1;
            const int tw = std::min(kTileSize, w - ox);
            const int tx = x + ox;
            uint8_t sub;
            if (in.read_u8(&sub, kPayloadTimeoutMs)) return -1;
            if (sub & kRaw) {
                if (read_raw_tile(ctx, tx, ty, tw, th)) return -1;
                continue;
            }
            if ((sub & kBackgroundSpecified) && read_pixel(in, &bg)) return -1;
            vnc_draw::fill(ctx, tx, ty, tw, th, bg);
            if ((sub & kForegroundSpecified) && read_pixel(in, &fg)) return -1;
            if (!(sub & kAnySubrects)) continue;
            uint8_t count;
            if (in.read_u8(&count, kPayloadTimeoutMs)) return -1;
            const bool coloured = (sub & kSubrectsColoured) != 0;
            for (int i = 0; i < count; ++i) {
                uint32_t pixel = fg;
                if (coloured && read_pixel(in, &pixel)) return -1;
                uint8_t pos, size;
                if (in.read_u8(&pos, kPayloadTimeoutMs) || in.read_u8(&size, kPayloadTimeoutMs))
                    return -1;
                const int sx = pos >> 4, sy = pos & 15;
                // Cut to the tile: a narrow edge tile may be given a
                // subrectangle reaching past it.
                const int sw = std::min((size >> 4) + 1, tw - sx);
                const int sh = std::min((size & 15) + 1, th - sy);
                if (sw > 0 && sh > 0) vnc_draw::fill(ctx, tx + sx, ty + sy, sw, sh, pixel);
            }
        }
    }
    return 0;
}
