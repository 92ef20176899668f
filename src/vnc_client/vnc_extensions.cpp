// The opt-in extensions' server side (Cursor, ExtendedDesktopSize), their
// getters, and the end reason of a connection.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

const char kPhaseRectangle[] = "a rectangle";

void vnc_note_end(vnc_client_t *c, const char *fmt, ...) {
    std::lock_guard<std::mutex> g(c->info_lock);
    if (c->end_reason[0]) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(c->end_reason, sizeof c->end_reason, fmt, ap);
    va_end(ap);
}

void vnc_note_end_more(vnc_client_t *c, const char *fmt, ...) {
    std::lock_guard<std::mutex> g(c->info_lock);
    const size_t used = std::strlen(c->end_reason);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(c->end_reason + used, sizeof c->end_reason - used, fmt, ap);
    va_end(ap);
}

void vnc_note_read_failure(vnc_client_t *c, const char *what) {
    if (!c->reader) return;
    const bool between = !what || !what[0];
    switch (c->reader->last_failure()) {
    case vnc_socket_reader::failure::closed:
        if (between)
            vnc_note_end(c, "Server closed the connection");
        else
            vnc_note_end(c, "Server closed the connection while sending %s", what);
        break;
    case vnc_socket_reader::failure::timeout:
        vnc_note_end(c, "Timed out waiting for %s", between ? "the server" : what);
        break;
    case vnc_socket_reader::failure::error: {
        char text[128];
        c->reader->error_text(text, sizeof text);
        vnc_note_end(c, "Receive failed%s%s: %s", between ? "" : " in ", between ? "" : what, text);
        break;
    }
    case vnc_socket_reader::failure::cancelled:
    case vnc_socket_reader::failure::none:
        break;
    }
}

void vnc_extensions_reset(vnc_client_t *c) {
    c->qemu_keys_ok.store(0);
    c->fence_ok.store(0);
    c->cu_on.store(kCuUnknown);
    c->sync_by_update.store(0);
    c->sync_armed = c->sync_hit = 0;
    c->ext_desktop_ok.store(0);
    c->ext_clipboard_ok.store(0);
    c->update_count.store(0);
    std::lock_guard<std::mutex> g(c->info_lock);
    c->end_reason[0] = '\0';
    c->security_info[0] = '\0';
    c->server_clip_flags = c->server_clip_text_max = 0;
    c->clip_known = false;
    if (c->cursor) {
        vnc_free(c->cursor);
        c->cursor = nullptr;
        c->cursor_w = c->cursor_h = 0;
        ++c->cursor_serial;
    }
    c->resize_status = -1;
    c->screen_id = c->screen_flags = 0;
}

namespace {
// Replaces the pointer shape (null: none) and moves its serial on.
void store_cursor(vnc_client_t *c, uint8_t *shape, int w, int h, int x, int y) {
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        vnc_free(c->cursor);
        c->cursor = shape;
        c->cursor_w = shape ? w : 0;
        c->cursor_h = shape ? h : 0;
        c->cursor_hot_x = x;
        c->cursor_hot_y = y;
        ++c->cursor_serial;
    }
    vnc_signal_event(c, VNC_EVENT_CURSOR);
}

// A shape we cannot keep: its bytes are dropped, and so is the old shape,
// since the server no longer draws the pointer as that one.
int refuse_cursor(vnc_client_t *c, vnc_byte_source &in, uint64_t bytes, int x, int y) {
    if (in.skip(bytes, kPayloadTimeoutMs)) return kDecodeBroken;
    store_cursor(c, nullptr, 0, 0, x, y);
    return kDecodeRefused;
}
}  // namespace

int vnc_read_cursor(vnc_client_t *c, vnc_byte_source &in, int x, int y, int w, int h) {
    const uint64_t pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    const size_t mask_row = (static_cast<size_t>(w) + 7) / 8;
    const uint64_t bytes = pixels * 4 + mask_row * static_cast<uint64_t>(h);
    if (pixels > kMaxCursorPixels) return refuse_cursor(c, in, bytes, x, y);
    uint8_t *data = nullptr, *shape = nullptr;
    if (pixels) {
        data = static_cast<uint8_t *>(vnc_malloc(static_cast<size_t>(bytes)));
        shape = static_cast<uint8_t *>(vnc_malloc(static_cast<size_t>(pixels) * 4));
        if (!data || !shape) {
            vnc_free(data);
            vnc_free(shape);
            return refuse_cursor(c, in, bytes, x, y);
        }
        if (in.read(data, static_cast<size_t>(bytes), kPayloadTimeoutMs)) {
            vnc_free(data);
            vnc_free(shape);
            return kDecodeBroken;
        }
        // Our pixel format is the framebuffer's; the mask (a bit a pixel,
        // rows padded to bytes, first pixel in the top bit) goes in the
        // fourth byte.
        const uint8_t *mask = data + pixels * 4;
        for (int row = 0; row < h; ++row) {
            for (int col = 0; col < w; ++col) {
                const size_t i = static_cast<size_t>(row) * static_cast<size_t>(w) + col;
                std::memcpy(shape + 4 * i, data + 4 * i, 3);
                const bool on = mask[row * mask_row + col / 8] & (0x80 >> (col % 8));
                shape[4 * i + 3] = on ? 255 : 0;
            }
        }
        vnc_free(data);
    }
    store_cursor(c, shape, w, h, x, y);  // null: the server hides its pointer
    return kDecodeOk;
}

int vnc_read_desktop_name(vnc_client_t *c, vnc_byte_source &in) {
    uint32_t len;
    if (in.read_u32(&len, kPayloadTimeoutMs)) return kDecodeBroken;
    if (len > kMaxDesktopNameLength) {
        vnc_note_end(c, "Server sent a desktop name of %u bytes, over the limit of %u", len,
                     kMaxDesktopNameLength);
        return kDecodeBroken;
    }
    char name[kDesktopNameSize];
    const uint32_t n = std::min<uint32_t>(len, kDesktopNameSize - 1);
    if (in.read(name, n, kPayloadTimeoutMs) || in.skip(len - n, kPayloadTimeoutMs))
        return kDecodeBroken;
    const size_t keep = len > n ? vnc_utf8_cut(name, n) : n;
    std::lock_guard<std::mutex> g(c->info_lock);
    std::memcpy(c->desktop_name, name, keep);
    c->desktop_name[keep] = '\0';
    return kDecodeOk;
}

int vnc_read_ext_desktop_size(vnc_client_t *c, vnc_byte_source &in, int x, int y) {
    uint8_t head[4];
    if (in.read(head, 4, kPayloadTimeoutMs)) return kDecodeBroken;
    const int count = head[0];
    uint8_t screens[255 * 16];
    if (in.read(screens, static_cast<size_t>(count) * 16, kPayloadTimeoutMs)) return kDecodeBroken;
    const int reason = x, status = y;
    c->ext_desktop_ok.store(1);
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        if (count > 0) {
            c->screen_id = vnc_load_be32(screens);
            c->screen_flags = vnc_load_be32(screens + 12);
        }
        // Reason 1: the answer to our own request.
        if (reason == 1) {
            c->resize_status = status;
            ++c->resize_serial;
        }
    }
    if (reason == 1) vnc_signal_event(c, VNC_EVENT_DESKTOP_SIZE);
    // A refusal leaves the framebuffer as it is.
    return reason == 1 && status != 0 ? kDecodeRefused : kDecodeOk;
}

extern "C" {

VNC_API int vnc_get_desktop_name(vnc_client_t *c, char *buf, int size) {
    if (!c) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    // The greeting's name: UTF-8 when it is that, else taken as Latin-1.
    const uint8_t *name = reinterpret_cast<const uint8_t *>(c->desktop_name);
    size_t n = std::strlen(c->desktop_name);
    if (vnc_utf8_valid(name, n)) return vnc_copy_text_out(c->desktop_name, n, buf, size);
    char wide[2 * kDesktopNameSize];
    n = vnc_latin1_to_utf8(name, n, reinterpret_cast<uint8_t *>(wide));
    return vnc_copy_text_out(wide, n, buf, size);
}

VNC_API int vnc_get_cursor(vnc_client_t *c, void *pixels, int size, int *width, int *height,
                           int *hot_x, int *hot_y, unsigned *serial) {
    if (!c || size < 0) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    const int needed = c->cursor ? c->cursor_w * c->cursor_h * 4 : 0;
    if (width) *width = c->cursor_w;
    if (height) *height = c->cursor_h;
    if (hot_x) *hot_x = c->cursor_hot_x;
    if (hot_y) *hot_y = c->cursor_hot_y;
    if (serial) *serial = c->cursor_serial;
    if (pixels && needed && size >= needed) std::memcpy(pixels, c->cursor, static_cast<size_t>(needed));
    return needed;
}

VNC_API unsigned vnc_get_update_count(vnc_client_t *c) { return c ? c->update_count.load() : 0; }

VNC_API int vnc_get_end_reason(vnc_client_t *c, char *buf, int size) {
    if (!c) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    return vnc_copy_text_out(c->end_reason, std::strlen(c->end_reason), buf, size);
}

VNC_API int vnc_request_desktop_size(vnc_client_t *c, int width, int height) {
    if (!c || width < 1 || height < 1 || width > 65535 || height > 65535 ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxFramebufferPixels)
        return -1;
    const uint32_t gen = c->generation.load();
    if (c->status.load() != VNC_STATUS_CONNECTED || !c->ext_desktop_ok.load()) return -1;
    uint32_t id, flags;
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        id = c->screen_id;
        flags = c->screen_flags;
        // No answer to this request yet; set before it goes, so a quick
        // answer cannot be overwritten.
        c->resize_status = -1;
    }
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    // SetDesktopSize with one screen at the origin, the server's first
    // screen's id and flags kept.
    uint8_t msg[24] = {251, 0, 0, 0, 0, 0, 1, 0};
    vnc_put_be16(msg + 2, w);
    vnc_put_be16(msg + 4, h);
    vnc_put_be32(msg + 8, id);
    vnc_put_be16(msg + 16, w);  // the screen: x, y 0, then its size
    vnc_put_be16(msg + 18, h);
    vnc_put_be32(msg + 20, flags);
    return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0);
}

VNC_API int vnc_get_desktop_size_status(vnc_client_t *c, unsigned *serial) {
    if (!c) return -1;
    std::lock_guard<std::mutex> g(c->info_lock);
    if (serial) *serial = c->resize_serial;
    return c->resize_status;
}

}  // extern "C"
