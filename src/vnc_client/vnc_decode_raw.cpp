// Raw: width x height pixels, row by row, stored as received.
#include <algorithm>

#include "vnc_client_internal.h"

namespace {
// Pixels read at a time for the parts of a rectangle outside the framebuffer.
constexpr int kChunkPixels = 1024;
}  // namespace

int decode_raw_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return kDecodeOk;
    const size_t row_bytes = static_cast<size_t>(w) * 4;
    const bool inside = ctx.pixels && static_cast<int64_t>(x) + w <= ctx.fb_width &&
                        static_cast<int64_t>(y) + h <= ctx.fb_height && x >= 0 && y >= 0;
    if (inside) {
        // Straight from the socket into the framebuffer's rows; rows_done
        // follows each finished row, so a slow link shows progress.
        uint8_t *dst = reinterpret_cast<uint8_t *>(ctx.pixels + static_cast<size_t>(y) * ctx.fb_width + x);
        ctx.rows_done = 0;
        return ctx.in->read_rows(dst, static_cast<size_t>(ctx.fb_width) * 4, row_bytes,
                                 static_cast<size_t>(h), kPayloadTimeoutMs, &ctx.rows_done)
                   ? kDecodeBroken
                   : kDecodeOk;
    }
    // Outside (or no framebuffer): keep the stream in step, draw the visible part.
    uint32_t chunk[kChunkPixels];
    for (int r = 0; r < h; ++r) {
        if (ctx.running && !ctx.running->load()) return kDecodeBroken;
        for (int c = 0; c < w; c += kChunkPixels) {
            const int n = std::min(kChunkPixels, w - c);
            if (ctx.in->read(chunk, static_cast<size_t>(n) * 4, kPayloadTimeoutMs))
                return kDecodeBroken;
            vnc_draw::put_row(ctx, x + c, y + r, n, chunk);
        }
        ctx.rows_done = r + 1;
    }
    return kDecodeOk;
}
