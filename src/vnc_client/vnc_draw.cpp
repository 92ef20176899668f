// What the decoders share: clipped framebuffer writes, payload reads.
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
