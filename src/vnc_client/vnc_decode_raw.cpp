// Raw: width x height pixels, row by row, stored as received.
#include <vector>

#include "vnc_client_internal.h"

int decode_raw_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return 0;
    const size_t row_bytes = static_cast<size_t>(w) * 4;
    const bool inside = ctx.pixels && static_cast<int64_t>(x) + w <= ctx.fb_width &&
                        static_cast<int64_t>(y) + h <= ctx.fb_height && x >= 0 && y >= 0;
    std::vector<uint32_t> scratch;
    if (!inside) scratch.resize(static_cast<size_t>(w));
    for (int r = 0; r < h; ++r) {
        if (ctx.running && !ctx.running->load()) return -1;
        if (inside) {
            // Straight into the framebuffer row: no intermediate copy.
            uint32_t *dst = ctx.pixels + static_cast<size_t>(y + r) * ctx.fb_width + x;
            if (ctx.in->read(dst, row_bytes, kPayloadTimeoutMs)) return -1;
        } else {
            // Outside (or no framebuffer): keep the stream in step, draw the visible part.
            if (ctx.in->read(scratch.data(), row_bytes, kPayloadTimeoutMs)) return -1;
            vnc_draw::put_row(ctx, x, y + r, w, scratch.data());
        }
    }
    return 0;
}
