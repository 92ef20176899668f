// Input events, and the one send path every client message takes.
#include "vnc_client_internal.h"

int vnc_send_message2(vnc_client_t *c, const void *head, size_t head_len, const void *body,
                      size_t body_len) {
    // One lock for the whole message: host threads and the worker never
    // interleave, and the socket cannot be closed in the middle of a send.
    std::lock_guard<std::mutex> g(c->send_lock);
    if (c->sock == VNC_INVALID_SOCKET) return -1;
    if (vnc_sock_write_exact(c->sock, head, head_len)) return -1;
    if (body_len && vnc_sock_write_exact(c->sock, body, body_len)) return -1;
    return 0;
}

int vnc_send_message(vnc_client_t *c, const void *data, size_t length) {
    return vnc_send_message2(c, data, length, nullptr, 0);
}

namespace {
bool can_send(vnc_client_t *c) { return c && c->status.load() == VNC_STATUS_CONNECTED; }
}  // namespace

extern "C" {

VNC_API int vnc_send_pointer(vnc_client_t *c, int x, int y, int button_mask) {
    if (!can_send(c)) return -1;
    const uint8_t msg[6] = {5, static_cast<uint8_t>(button_mask), static_cast<uint8_t>(x >> 8),
                            static_cast<uint8_t>(x), static_cast<uint8_t>(y >> 8),
                            static_cast<uint8_t>(y)};
    return vnc_send_message(c, msg, sizeof msg);
}

VNC_API int vnc_send_key(vnc_client_t *c, uint32_t keysym, int down) {
    if (!can_send(c)) return -1;
    const uint8_t msg[8] = {4,
                            static_cast<uint8_t>(down ? 1 : 0),
                            0,
                            0,
                            static_cast<uint8_t>(keysym >> 24),
                            static_cast<uint8_t>(keysym >> 16),
                            static_cast<uint8_t>(keysym >> 8),
                            static_cast<uint8_t>(keysym)};
    return vnc_send_message(c, msg, sizeof msg);
}

VNC_API int vnc_send_client_cut_text(vnc_client_t *c, const char *text, int length) {
    if (!c || !text || length < 0) return -1;
    if (!can_send(c)) return -1;
    const uint32_t len = static_cast<uint32_t>(length);
    const uint8_t hdr[8] = {6, 0, 0, 0, static_cast<uint8_t>(len >> 24),
                            static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
                            static_cast<uint8_t>(len)};
    return vnc_send_message2(c, hdr, sizeof hdr, text, len);
}

}  // extern "C"
