// Events a host can wait for instead of polling: the worker and the exports
// raise them, vnc_wait_event hands them out.
#include <chrono>

#include "vnc_client_internal.h"

void vnc_signal_event(vnc_client_t *c, unsigned bits) {
    c->last_event_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
    {
        std::lock_guard<std::mutex> g(c->event_lock);
        c->events |= bits;
    }
    c->event_cv.notify_all();
}

void vnc_set_status(vnc_client_t *c, int status) {
    if (c->status.exchange(status) != status) vnc_signal_event(c, VNC_EVENT_STATUS);
}

void vnc_events_close(vnc_client_t *c) {
    std::unique_lock<std::mutex> g(c->event_lock);
    c->events_closing = true;
    c->event_cv.notify_all();
    // A waiter leaves at once when woken; the handle is freed only after.
    c->event_cv.wait(g, [c] { return c->event_waiters == 0; });
}

extern "C" VNC_API int vnc_wait_event(vnc_client_t *c, int timeout_ms) {
    if (!c) return -1;
    std::unique_lock<std::mutex> g(c->event_lock);
    if (c->events_closing) return 0;
    ++c->event_waiters;
    const auto ready = [c] { return c->events != 0 || c->events_closing; };
    if (timeout_ms < 0)
        c->event_cv.wait(g, ready);
    else
        c->event_cv.wait_for(g, std::chrono::milliseconds(timeout_ms), ready);
    const unsigned got = c->events;
    c->events = 0;
    if (--c->event_waiters == 0 && c->events_closing) c->event_cv.notify_all();
    return static_cast<int>(got);
}
