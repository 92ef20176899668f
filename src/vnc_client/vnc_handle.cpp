// Handle lifecycle: create, disconnect, destroy, status, error texts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

namespace {
char s_global_error[kErrorTextSize];

// How often a close looks again at what the server has taken while the
// server is silent: short, as a reading server has it all at once.
constexpr int kDeliverSliceMs = 2;

struct delivery {
    enum { kDelivered, kUnknown, kServerEnded, kStalled, kTooSlow } outcome;
    long unacked;  // bytes sent that the server has not acknowledged
};

// Waits, once our end of the stream is queued, until the server has taken
// all we sent: reading and dropping what it sends meanwhile, since closing
// with its bytes unread would reset the connection and drop our queue. Gives
// up when the count has not gone down for stall_ms, or after
// kCloseDeliverLimitMs in all.
delivery deliver_sent(vnc_socket_t sock, int stall_ms) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto progress = start;
    long last = -1;
    char scratch[16384];
    for (;;) {
        const long unacked = vnc_sock_unacked(sock);
        if (unacked < 0) return {delivery::kUnknown, -1};
        if (unacked == 0) return {delivery::kDelivered, 0};
        const auto now = clock::now();
        if (last < 0 || unacked < last) progress = now;
        last = unacked;
        if (now - progress >= std::chrono::milliseconds(stall_ms))
            return {delivery::kStalled, unacked};
        if (now - start >= std::chrono::milliseconds(kCloseDeliverLimitMs))
            return {delivery::kTooSlow, unacked};
        const int r = vnc_sock_wait_readable(sock, kDeliverSliceMs, nullptr);
        // The server ended or broke the connection: it takes nothing more.
        if (r < 0 || (r > 0 && vnc_sock_recv_some(sock, scratch, sizeof scratch) <= 0))
            return {delivery::kServerEnded, vnc_sock_unacked(sock)};
    }
}
}  // namespace

void vnc_close_connection(vnc_client_t *c) {
    std::lock_guard<std::mutex> g(c->send_lock);
    c->transport.reset();
    vnc_sock_close(c->sock);
    c->sock = VNC_INVALID_SOCKET;
    c->send_shut = false;
    c->send_broken = false;
    // Input calls that began on this connection must not reach the next.
    c->generation.fetch_add(1);
}

void vnc_set_error(vnc_client_t *client, const char *text) {
    if (client) std::snprintf(client->last_error, sizeof client->last_error, "%s", text);
    std::snprintf(s_global_error, sizeof s_global_error, "%s", text);
}

void vnc_disconnect_locked(vnc_client_t *c) {
    const bool standing = c->status.load() == VNC_STATUS_CONNECTED;
    if (c->worker_started || standing) vnc_note_end(c, "Closed by vnc_disconnect");
    // The server's continuous updates end before our stream does.
    if (standing) vnc_cu_close(c);
    c->stopping.store(1);
    c->running.store(0);
    bool deliver;
    const bool worker = c->worker_started != 0;
    // A clean close: what was sent goes out, then the end of our stream, so
    // the server reads every message before it sees the end. A closed socket
    // with bytes still unread would reset the connection instead and could
    // take the last input with it. The worker sees the cleared flag within
    // one slice of its wait, or at once when the server closes in reply.
    // The socket is closed only once nobody can be using it, so its number
    // cannot be reused under a thread still holding it.
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        if (c->transport)
            c->transport->end_stream(worker);
        else
            vnc_sock_shutdown_send(c->sock);
        c->send_shut = true;
        // Also when the worker ended by itself (a message it could not
        // read): what was sent before may still be on its way. Not after
        // a send broke the stream.
        deliver = c->sock != VNC_INVALID_SOCKET && !c->send_broken;
    }
    vnc_wake_signal(c->wake_fd);
    if (c->worker_started) {
        // join throws only for a thread that cannot be joined (never ours);
        // no exception may leave an export all the same.
        try {
            if (c->worker_thread.joinable()) c->worker_thread.join();
        } catch (...) {
        }
        c->worker_started = 0;
    }
    vnc_wake_close(c->wake_fd);
    c->wake_fd = -1;
    // A layer that could not close its stream beside the worker's receive
    // (TLS) does so now that the worker is gone.
    if (worker) {
        std::lock_guard<std::mutex> g(c->send_lock);
        if (c->transport && !c->send_broken) c->transport->end_stream(false);
    }
    // Every call that returned 0 has its message in our send queue; a
    // server that reads gets it all, one that does not cannot hold us.
    const int stall_ms = vnc_send_stall_timeout_ms();
    const delivery d =
        deliver ? deliver_sent(c->sock, stall_ms) : delivery{delivery::kUnknown, -1};
    switch (d.outcome) {
    case delivery::kDelivered:
    case delivery::kUnknown:
        // Until the server ends its side (it has read all we sent), bounded.
        vnc_sock_drain(c->sock, kCloseDrainMs);
        break;
    case delivery::kServerEnded:
        if (d.unacked > 0) vnc_note_end_more(c, "; %ld bytes were not delivered", d.unacked);
        break;
    case delivery::kStalled:
        vnc_note_end_more(c, "; the server took no input for %d ms and %ld bytes were not delivered",
                          stall_ms, d.unacked);
        break;
    case delivery::kTooSlow:
        vnc_note_end_more(c,
                          "; the server was still taking input after %d ms and %ld bytes were "
                          "not delivered",
                          kCloseDeliverLimitMs, d.unacked);
        break;
    }
    vnc_close_connection(c);
    vnc_worker_release(c);
    vnc_set_status(c, VNC_STATUS_DISCONNECTED);
}

extern "C" {

VNC_API const char *vnc_version(void) { return "1.0.1"; }

VNC_API const char *vnc_last_error(void) { return s_global_error; }

VNC_API vnc_client_t *vnc_create(void) {
    vnc_platform_net_init();
    vnc_client_t *c = vnc_new<vnc_client_t>();
    if (!c) {
        vnc_set_error(nullptr, "Out of memory creating VNC client");
        return nullptr;
    }
    return c;
}

VNC_API int vnc_disconnect(vnc_client_t *c) {
    if (!c) return -1;
    std::unique_lock<std::mutex> op(c->op_lock);
    if (c->connecting) {
        // Another thread is in vnc_connect: cut its waits short and let it
        // fail before anything here is released.
        c->connect_go.store(0);
        {
            std::lock_guard<std::mutex> g(c->send_lock);
            vnc_sock_shutdown(c->sock);
        }
        c->op_done.wait(op, [c] { return !c->connecting; });
    }
    vnc_disconnect_locked(c);
    // Wakes a waiter also when the status was 0 already.
    vnc_signal_event(c, VNC_EVENT_STATUS);
    return 0;
}

VNC_API void vnc_destroy(vnc_client_t *c) {
    if (!c) return;
    vnc_disconnect(c);
    vnc_events_close(c);
    vnc_pixels_stop_prefault(c->framebuffer);  // not under the lock: it may wait
    {
        std::lock_guard<std::recursive_mutex> g(c->lock);
        vnc_pixels_free(c->framebuffer);
        c->framebuffer = nullptr;
    }
    {
        std::lock_guard<std::mutex> g(c->info_lock);
        vnc_free(c->cut_text);
        c->cut_text = nullptr;
        vnc_free(c->client_text);
        c->client_text = nullptr;
        vnc_free(c->cursor);
        c->cursor = nullptr;
    }
    vnc_delete(c);
}

VNC_API int vnc_get_status(vnc_client_t *c) { return c ? c->status.load() : VNC_STATUS_ERROR; }

}  // extern "C"
