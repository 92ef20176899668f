// vnc_sync, and continuous updates with the fences that pace them.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "vnc_client_internal.h"

namespace {

// Our fences carry this tag and the sync's serial, so that a server's own
// answer-less fence is never taken for one of ours.
constexpr char kSyncTag[4] = {'q', 'v', 's', 'y'};
constexpr size_t kSyncPayload = 8;

void complete(vnc_client_t *c, uint32_t serial) {
    {
        std::lock_guard<std::mutex> g(c->event_lock);
        if (static_cast<int32_t>(serial - c->sync_done) <= 0) return;
        c->sync_done = serial;
        c->events |= VNC_EVENT_SYNC;
    }
    c->event_cv.notify_all();
}

// EnableContinuousUpdates for the whole framebuffer, or its end.
int send_cu(vnc_client_t *c, uint32_t generation, bool enable, bool cancellable) {
    uint8_t msg[10] = {kMsgEndOfContinuousUpdates, static_cast<uint8_t>(enable ? 1 : 0)};
    vnc_put_be16(msg + 6, static_cast<uint32_t>(c->back.width));
    vnc_put_be16(msg + 8, static_cast<uint32_t>(c->back.height));
    return vnc_send_on(c, generation, cancellable, msg, sizeof msg, nullptr, 0);
}

}  // namespace

void vnc_sync_fence_answer(vnc_client_t *c, const uint8_t *payload, size_t len) {
    if (len == kSyncPayload && std::memcmp(payload, kSyncTag, 4) == 0)
        complete(c, vnc_load_be32(payload + 4));
}

void vnc_cu_server_end(vnc_client_t *c) {
    // The first one, sent unasked, says the server has them; one after
    // we enabled them, that it has stopped: back to asking for each update,
    // for the rest of the connection.
    int was = kCuUnknown;
    if (c->cu_on.compare_exchange_strong(was, kCuOn)) {
        if (!c->conn.continuous_updates || send_cu(c, c->generation.load(), true, true))
            c->cu_on.store(kCuOff);
    } else if (was == kCuOn && c->cu_on.exchange(kCuOff) == kCuOn) {
        send_framebuffer_update_request(c, 1);
    }
}

void vnc_cu_resized(vnc_client_t *c) {
    if (c->cu_on.load() == kCuOn) send_cu(c, c->generation.load(), true, true);
}

void vnc_sync_update_done(vnc_client_t *c) {
    if (c->sync_hit) {
        uint32_t expected = c->sync_hit;
        c->sync_by_update.compare_exchange_strong(expected, 0);
        complete(c, c->sync_hit);
    }
    c->sync_hit = 0;
}

void vnc_cu_close(vnc_client_t *c) {
    // Not cancelled by the close that is under way; bounded like any send.
    if (c->cu_on.exchange(kCuOff) == kCuOn) send_cu(c, c->generation.load(), false, false);
}

namespace {
// Sends sync `serial`'s message: its kind, or -1 when the send failed.
int send_sync(vnc_client_t *c, uint32_t gen, uint32_t serial) {
    if (c->fence_ok.load()) {
        // BlockBefore: the server answers once it has handled all we sent
        // before; its answer follows every update it sent before it.
        uint8_t msg[9 + kSyncPayload] = {kMsgServerFence};
        vnc_put_be32(msg + 4, kFenceRequest | kFenceBlockBefore);
        msg[8] = kSyncPayload;
        std::memcpy(msg + 9, kSyncTag, 4);
        vnc_put_be32(msg + 13, serial);
        return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0) ? -1 : VNC_SYNC_FENCE;
    }
    // A request for the top-left pixel alone: every server answers it at
    // once, after the input sent before it.
    c->sync_by_update.store(serial);
    uint8_t msg[10];
    vnc_put_update_request(msg, 0, 1, 1);
    return vnc_send_on(c, gen, true, msg, sizeof msg, nullptr, 0) ? -1 : VNC_SYNC_UPDATE;
}
}  // namespace

extern "C" VNC_API int vnc_sync(vnc_client_t *c, int timeout_ms) {
    if (!c) return -1;
    const uint32_t gen = c->generation.load();
    if (c->status.load() != VNC_STATUS_CONNECTED) return -1;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::unique_lock<std::mutex> g(c->event_lock);
    const auto wait = [&](auto pred) {
        if (timeout_ms >= 0) return c->event_cv.wait_until(g, deadline, pred);
        c->event_cv.wait(g, pred);
        return true;
    };
    const auto ended = [c, gen] {
        return c->events_closing || c->generation.load() != gen ||
               c->status.load() != VNC_STATUS_CONNECTED;
    };
    if (c->events_closing) return -1;
    ++c->event_waiters;  // vnc_destroy waits for us to leave
    int result = ended() ? -1 : 0;
    // One sync at a time: a second waits for the first within its own limit.
    if (wait([&] { return !c->sync_busy || ended(); }) && !ended()) {
        c->sync_busy = true;
        const uint32_t serial = ++c->sync_serial;
        g.unlock();
        const int kind = send_sync(c, gen, serial);
        g.lock();
        const auto done = [c, serial] { return static_cast<int32_t>(serial - c->sync_done) <= 0; };
        if (kind > 0) wait([&] { return done() || ended(); });
        result = kind < 0 ? -1 : done() ? kind : ended() ? -1 : 0;
        c->sync_busy = false;
        c->event_cv.notify_all();
    } else if (ended()) {
        result = -1;
    }
    if (--c->event_waiters == 0 && c->events_closing) c->event_cv.notify_all();
    return result;
}
