// RRE: a background colour and a list of solid subrectangles.
#include <algorithm>
#include <cstring>

#include "vnc_client_internal.h"

namespace {
// How many subrectangles pass between two looks at the cancel flag.
constexpr uint32_t kCancelCheckInterval = 256;
}  // namespace

int decode_rre_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint8_t head[8];
    if (ctx.in->read(head, 8, kPayloadTimeoutMs)) return kDecodeBroken;
    const uint32_t count = static_cast<uint32_t>(head[0]) << 24 |
                           static_cast<uint32_t>(head[1]) << 16 |
                           static_cast<uint32_t>(head[2]) << 8 | head[3];
    uint32_t bg;
    std::memcpy(&bg, head + 4, 4);  // pixels are stored as received
    vnc_draw::fill(ctx, x, y, w, h, bg);

    // Every subrectangle is read even when nothing of it is visible, so the
    // next message starts where it should.
    for (uint32_t i = 0; i < count; ++i) {
        if ((i & (kCancelCheckInterval - 1)) == 0 && ctx.running && !ctx.running->load())
            return kDecodeBroken;
        uint8_t s[12];
        if (ctx.in->read(s, 12, kPayloadTimeoutMs)) return kDecodeBroken;
        uint32_t pixel;
        std::memcpy(&pixel, s, 4);
        const int sx = s[4] << 8 | s[5], sy = s[6] << 8 | s[7];
        const int sw = s[8] << 8 | s[9], sh = s[10] << 8 | s[11];
        // Cut to the rectangle, and by fill to the framebuffer: only the
        // rectangle is handed to the host, so nothing may be drawn beyond it.
        const int64_t x1 = std::min<int64_t>(int64_t{sx} + sw, w > 0 ? w : 0);
        const int64_t y1 = std::min<int64_t>(int64_t{sy} + sh, h > 0 ? h : 0);
        if (x1 > sx && y1 > sy)
            vnc_draw::fill(ctx, x + sx, y + sy, static_cast<int>(x1 - sx), static_cast<int>(y1 - sy),
                           pixel);
    }
    return kDecodeOk;
}
