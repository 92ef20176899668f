// Shared driver of the per-decoder fuzz targets.
//
// Input layout: two bytes choose the framebuffer size (1..64 each), then
// rectangles follow until the input is used up, each a 5-byte header and the
// payload the decoder reads:
//   x, y, width, height selectors: v < 128 means v, otherwise 65535 - (v - 128),
//     so rectangles land inside, across the edges and far outside;
//   flags: bit 0 no framebuffer (consume only), bit 1 four-byte ZRLE pixels,
//     bit 2 no inflate stream (nor Tight's streams).
// One inflate stream (and one set of Tight's) serves every rectangle of an
// input, as on a connection.
#ifndef QV_FUZZ_DECODER_H
#define QV_FUZZ_DECODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vnc_client_internal.h"

namespace qv_fuzz {

enum : uint8_t { kNoFramebuffer = 1, kFourBytePixels = 2, kNoInflateStream = 4 };

inline int coordinate(uint8_t v) { return v < 128 ? v : 65535 - (v - 128); }

inline int run_decoder_input(vnc_decoder_fn fn, const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int fb_w = 1 + data[0] % 64, fb_h = 1 + data[1] % 64;
    // Exactly the framebuffer's size, so the sanitizer sees any write past it.
    std::vector<uint32_t> pixels(static_cast<size_t>(fb_w) * fb_h, 0x11223344u);
    vnc_inflate z;
    const bool z_ok = z.ok();
    vnc_tight_state tight;
    vnc_memory_reader in(data + 2, size - 2);
    while (in.buffered() >= 5) {
        uint8_t h[5];
        in.read(h, 5, 0);
        vnc_decode_ctx ctx;
        ctx.in = &in;
        ctx.pixels = (h[4] & kNoFramebuffer) ? nullptr : pixels.data();
        ctx.fb_width = fb_w;
        ctx.fb_height = fb_h;
        ctx.inflate = (z_ok && !(h[4] & kNoInflateStream)) ? &z : nullptr;
        ctx.tight = (h[4] & kNoInflateStream) ? nullptr : &tight;
        ctx.red_max = ctx.green_max = ctx.blue_max = (h[4] & kFourBytePixels) ? 1023 : 255;
        fn(ctx, coordinate(h[0]), coordinate(h[1]), coordinate(h[2]), coordinate(h[3]));
    }
    return 0;
}

}  // namespace qv_fuzz

#endif
