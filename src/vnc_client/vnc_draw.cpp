// Clipped framebuffer writes shared by the decoders.
#include <algorithm>
#include <cstring>

#include "vnc_client_internal.h"

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

}  // namespace vnc_draw
