// Input events, and the one send path every client message takes.
#include "vnc_client_internal.h"
#include "vnc_keymap.h"

namespace {
std::atomic<int> s_send_stall_ms{kSendStallTimeoutMs};

// Captures the connection an input call is for. The generation is read
// before the status: a reconnect in between then shows as a changed
// generation under the send lock, and the message is dropped.
bool begin_input(vnc_client_t *c, uint32_t *generation) {
    if (!c) return false;
    *generation = c->generation.load();
    return c->status.load() == VNC_STATUS_CONNECTED;
}
}  // namespace

void vnc_set_send_stall_timeout_for_testing(int ms) {
    s_send_stall_ms.store(ms > 0 ? ms : kSendStallTimeoutMs);
}

int vnc_send_stall_timeout_ms() { return s_send_stall_ms.load(); }

int vnc_send_on(vnc_client_t *c, uint32_t generation, bool cancellable, const void *head,
                size_t head_len, const void *body, size_t body_len) {
    // One lock for the whole message: host threads and the worker never
    // interleave, and the socket cannot be closed in the middle of a send.
    std::lock_guard<std::mutex> g(c->send_lock);
    if (c->sock == VNC_INVALID_SOCKET || !c->transport || c->generation.load() != generation)
        return -1;
    // A close has ended our stream: the send would fail, and failing shut
    // the receiving side the close still reads.
    if (c->send_shut) return -1;
    const std::atomic<int> *cancel = cancellable ? &c->running : nullptr;
    const int stall = s_send_stall_ms.load();
    vnc_transport &t = *c->transport;
    int r = t.send_all(head, head_len, cancel, stall);
    if (r == 0 && body_len) r = t.send_all(body, body_len, cancel, stall);
    if (r == 0) return 0;
    if (r == -2) {
        vnc_note_end(c, "Send stalled: the server took no byte for %d ms", stall);
    } else if (!cancel || cancel->load()) {
        char text[128];
        t.error_text(t.send_error(), text, sizeof text);
        vnc_note_end(c, "Send failed: %s", text);
    }
    // Cancelled by a close: our end of the stream goes right after this
    // part of a message, so that nothing follows it, and the connection
    // stays readable while the close waits for the server to take what
    // went before.
    if (cancel && !cancel->load() && c->stopping.load()) {
        t.end_stream(true);
        c->send_shut = true;
        return -1;
    }
    // Part of the message may be out: the stream is broken, end the
    // connection. The shutdown wakes the worker, which then sets status 0;
    // so do we, for a connection that has no worker.
    c->send_broken = true;
    c->running.store(0);
    vnc_sock_shutdown(c->sock);
    vnc_set_status(c, VNC_STATUS_DISCONNECTED);
    return -1;
}

int vnc_send_message2(vnc_client_t *c, const void *head, size_t head_len, const void *body,
                      size_t body_len) {
    return vnc_send_on(c, c->generation.load(), true, head, head_len, body, body_len);
}

int vnc_send_message(vnc_client_t *c, const void *data, size_t length) {
    return vnc_send_message2(c, data, length, nullptr, 0);
}

extern "C" {

VNC_API int vnc_send_pointer(vnc_client_t *c, int x, int y, int button_mask) {
    uint32_t gen;
    if (!begin_input(c, &gen)) return -1;
    const uint8_t msg[6] = {5, static_cast<uint8_t>(button_mask), static_cast<uint8_t>(x >> 8),
                            static_cast<uint8_t>(x), static_cast<uint8_t>(y >> 8),
                            static_cast<uint8_t>(y)};
    return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0);
}

VNC_API int vnc_send_key(vnc_client_t *c, uint32_t keysym, int down) {
    uint32_t gen;
    if (!begin_input(c, &gen)) return -1;
    // A server that took the QEMU key event gets the key's scancode too.
    if (c->qemu_keys_ok.load()) {
        if (const uint32_t code = vnc_qemu_keycode(keysym)) {
            uint8_t msg[12] = {255, 0, 0, static_cast<uint8_t>(down ? 1 : 0)};
            vnc_put_be32(msg + 4, keysym);
            vnc_put_be32(msg + 8, code);
            return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0);
        }
    }
    const uint8_t msg[8] = {4,
                            static_cast<uint8_t>(down ? 1 : 0),
                            0,
                            0,
                            static_cast<uint8_t>(keysym >> 24),
                            static_cast<uint8_t>(keysym >> 16),
                            static_cast<uint8_t>(keysym >> 8),
                            static_cast<uint8_t>(keysym)};
    return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0);
}

VNC_API int vnc_send_client_cut_text(vnc_client_t *c, const char *text, int length) {
    uint32_t gen;
    if (!text || length < 0 || !begin_input(c, &gen)) return -1;
    const uint32_t len = static_cast<uint32_t>(length);
    if (c->clipboard_utf8.load()) return vnc_send_cut_text_utf8(c, gen, text, len);
    const uint8_t hdr[8] = {6, 0, 0, 0, static_cast<uint8_t>(len >> 24),
                            static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
                            static_cast<uint8_t>(len)};
    return vnc_send_on(c, gen, true, hdr, sizeof hdr, text, len);
}

}  // extern "C"
