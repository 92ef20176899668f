// JPEG pictures of Tight rectangles: libjpeg(-turbo) where the build has it,
// WIC on Windows, none elsewhere (then a JPEG quality level is never
// offered).
#ifndef QUENVIRA_VNC_JPEG_H
#define QUENVIRA_VNC_JPEG_H

#include <cstddef>
#include <cstdint>

struct vnc_decode_ctx;
struct vnc_buffer;

// Whether this build decodes JPEG.
bool vnc_jpeg_available();

// Decodes a JPEG of exactly w x h pixels into the framebuffer at (x, y),
// cut to it; row is scratch for rows that are cut. kDecodeOk, or
// kDecodeRefused when it is no baseline JPEG of that size or its data is
// unusable (with ctx.drawn set once rows may have been drawn).
int vnc_jpeg_decode(vnc_decode_ctx &ctx, const uint8_t *data, size_t len, int x, int y, int w,
                    int h, vnc_buffer &row);

// Held by a thread for as long as it may decode JPEG (the worker, for its
// whole life): on Windows the thread's COM and WIC factory, made at its
// first JPEG and let go here; nothing elsewhere. A thread without one pays
// for COM on every JPEG.
class vnc_jpeg_thread {
public:
    vnc_jpeg_thread();
    ~vnc_jpeg_thread();
    vnc_jpeg_thread(const vnc_jpeg_thread &) = delete;
    vnc_jpeg_thread &operator=(const vnc_jpeg_thread &) = delete;

private:
    [[maybe_unused]] bool owner_ = false;
};

#endif
