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
}

void vnc_close_connection(vnc_client_t *c) {
    std::lock_guard<std::mutex> g(c->send_lock);
    vnc_sock_close(c->sock);
    c->sock = VNC_INVALID_SOCKET;
    // Input calls that began on this connection must not reach the next.
    c->generation.fetch_add(1);
}

void vnc_set_error(vnc_client_t *client, const char *text) {
    if (client) std::snprintf(client->last_error, sizeof client->last_error, "%s", text);
    std::snprintf(s_global_error, sizeof s_global_error, "%s", text);
}

void vnc_disconnect_locked(vnc_client_t *c) {
    if (c->worker_started || c->status.load() == VNC_STATUS_CONNECTED)
        vnc_note_end(c, "Closed by vnc_disconnect");
    const auto drain_until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
    c->stopping.store(1);
    c->running.store(0);
    // A clean close: what was sent goes out, then the end of our stream, so
    // the server reads every message before it sees the end. A closed socket
    // with bytes still unread would reset the connection instead and could
    // take the last input with it. The worker sees the cleared flag within
    // one slice of its wait, or at once when the server closes in reply.
    // The socket is closed only once nobody can be using it, so its number
    // cannot be reused under a thread still holding it.
    {
        std::lock_guard<std::mutex> g(c->send_lock);
        vnc_sock_shutdown_send(c->sock);
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
    // Until the server ends its side (it has read all we sent), bounded.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          drain_until - std::chrono::steady_clock::now())
                          .count();
    vnc_sock_drain(c->sock, static_cast<int>(std::max<long long>(left, 0)));
    vnc_close_connection(c);
    vnc_worker_release(c);
    c->status.store(VNC_STATUS_DISCONNECTED);
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
    return 0;
}

VNC_API void vnc_destroy(vnc_client_t *c) {
    if (!c) return;
    vnc_disconnect(c);
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
