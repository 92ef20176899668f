// Raw: width x height pixels, row by row, stored as received.
#include <algorithm>

#include "vnc_client_internal.h"

namespace {
// Pixels read at a time for the parts of a rectangle outside the framebuffer.
constexpr int kChunkPixels = 1024;
// Bytes of whole-width rows read at a time: enough to bypass the reader's
// buffer, small enough that a slow link still shows progress.
constexpr size_t kBlockBytes = 64 * 1024;
}  // namespace

int decode_raw_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return kDecodeOk;
    const size_t row_bytes = static_cast<size_t>(w) * 4;
    const bool inside = ctx.pixels && static_cast<int64_t>(x) + w <= ctx.fb_width &&
                        static_cast<int64_t>(y) + h <= ctx.fb_height && x >= 0 && y >= 0;
    if (inside) {
        // Straight from the reader into the framebuffer's rows. Rows that
        // span the whole width are contiguous: read them in large blocks.
        uint32_t *dst = ctx.pixels + static_cast<size_t>(y) * ctx.fb_width + x;
        const int rows_per_read =
            w == ctx.fb_width ? std::max<int>(1, static_cast<int>(kBlockBytes / row_bytes)) : 1;
        for (int r = 0; r < h; r += rows_per_read) {
            if (ctx.running && !ctx.running->load()) return kDecodeBroken;
            const int n = std::min(rows_per_read, h - r);
            uint32_t *at = dst + static_cast<size_t>(r) * ctx.fb_width;
            if (ctx.in->read(at, row_bytes * static_cast<size_t>(n), kPayloadTimeoutMs))
                return kDecodeBroken;
            ctx.rows_done = r + n;
        }
        return kDecodeOk;
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
