// CopyRect: the rectangle is a copy of another area of the framebuffer.
#include <cstring>

#include "vnc_client_internal.h"

int decode_copyrect_rect(vnc_decode_ctx &ctx, int x, int y, int w, int h) {
    uint8_t b[4];
    if (ctx.in->read(b, 4, kPayloadTimeoutMs)) return kDecodeBroken;
    const int sx = b[0] << 8 | b[1];
    const int sy = b[2] << 8 | b[3];

    // Unlike the other encodings there is no visible part worth drawing when
    // either area leaves the framebuffer: a partial copy would show pixels
    // the server never meant to move. The 4 bytes are consumed either way.
    const int64_t fw = ctx.fb_width, fh = ctx.fb_height;
    if (x < 0 || y < 0 || w < 0 || h < 0) return kDecodeRefused;
    if (static_cast<int64_t>(sx) + w > fw || static_cast<int64_t>(sy) + h > fh ||
        static_cast<int64_t>(x) + w > fw || static_cast<int64_t>(y) + h > fh)
        return kDecodeRefused;
    if (!ctx.pixels || w == 0 || h == 0) return kDecodeOk;

    const size_t stride = static_cast<size_t>(ctx.fb_width);
    const size_t row_bytes = static_cast<size_t>(w) * 4;
    uint32_t *dst = ctx.pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x);
    const uint32_t *src = ctx.pixels + static_cast<size_t>(sy) * stride + static_cast<size_t>(sx);
    // Walk the rows away from the overlap so no source row is overwritten
    // before it has been copied; memmove covers overlap within one row.
    if (sy > y) {
        for (int r = 0; r < h; ++r)
            std::memmove(dst + static_cast<size_t>(r) * stride,
                         src + static_cast<size_t>(r) * stride, row_bytes);
    } else {
        for (int r = h - 1; r >= 0; --r)
            std::memmove(dst + static_cast<size_t>(r) * stride,
                         src + static_cast<size_t>(r) * stride, row_bytes);
    }
    return kDecodeOk;
}
