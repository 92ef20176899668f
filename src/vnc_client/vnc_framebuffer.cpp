// The framebuffer, its lock and the dirty rectangle.
#include <algorithm>
#include <cstdlib>

#include "vnc_client_internal.h"

void vnc_framebuffer_resize(vnc_client_t *c, int width, int height) {
    c->fb_width = width;
    c->fb_height = height;
    c->fb_stride = width * 4;
    std::free(c->framebuffer);
    c->framebuffer = nullptr;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (count) c->framebuffer = static_cast<uint32_t *>(std::calloc(count, sizeof(uint32_t)));
}

void mark_dirty_region(vnc_client_t *c, int x, int y, int w, int h) {
    // 64-bit sums: x + w cannot overflow whatever the caller passes.
    int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + w, c->fb_width);
    int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + h, c->fb_height);
    if (x < 0 || y < 0 || x1 <= x || y1 <= y) return;
    if (!c->dirty) {
        c->dirty_x0 = x;
        c->dirty_y0 = y;
        c->dirty_x1 = static_cast<int>(x1);
        c->dirty_y1 = static_cast<int>(y1);
        c->dirty = 1;
        return;
    }
    c->dirty_x0 = std::min(c->dirty_x0, x);
    c->dirty_y0 = std::min(c->dirty_y0, y);
    c->dirty_x1 = std::max(c->dirty_x1, static_cast<int>(x1));
    c->dirty_y1 = std::max(c->dirty_y1, static_cast<int>(y1));
}

extern "C" {

VNC_API int vnc_get_dimensions(vnc_client_t *c, int *width, int *height) {
    if (!c || !width || !height) return -1;
    std::lock_guard<std::recursive_mutex> g(c->lock);
    *width = c->fb_width;
    *height = c->fb_height;
    return 0;
}

VNC_API int vnc_lock_framebuffer(vnc_client_t *c, void **pixels, int *stride, int *width,
                                 int *height) {
    if (!c || !pixels || !stride || !width || !height) return -1;
    c->lock.lock();  // held on return whatever the result
    *pixels = c->framebuffer;
    *stride = c->fb_stride;
    *width = c->fb_width;
    *height = c->fb_height;
    return c->framebuffer ? 0 : -1;
}

VNC_API void vnc_unlock_framebuffer(vnc_client_t *c) {
    if (c) c->lock.unlock();
}

VNC_API int vnc_get_dirty_rect(vnc_client_t *c, int *x, int *y, int *w, int *h) {
    if (!c || !x || !y || !w || !h) return 0;
    std::lock_guard<std::recursive_mutex> g(c->lock);
    if (!c->dirty) return 0;
    *x = c->dirty_x0;
    *y = c->dirty_y0;
    *w = c->dirty_x1 - c->dirty_x0;
    *h = c->dirty_y1 - c->dirty_y0;
    c->dirty = 0;
    return 1;
}

}  // extern "C"
