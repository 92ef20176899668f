// The receive worker: server messages, the rectangle loop, update requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "vnc_alloc.h"
#include "vnc_client_internal.h"
#include "vnc_jpeg.h"

namespace {

struct decoder_entry {
    int32_t encoding;
    vnc_decoder_fn fn;
};

const decoder_entry kDecoders[] = {
    {0, decode_raw_rect},     {1, decode_copyrect_rect}, {2, decode_rre_rect},
    {5, decode_hextile_rect}, {7, decode_tight_rect}, {16, decode_zrle_rect},
};

// One rectangle; false when the connection must end (the stream is lost).
// *last is set by LastRect, which ends the update before its count.
bool handle_rectangle(vnc_client_t *c, vnc_byte_source &in, bool *last) {
    uint8_t hdr[12];
    if (in.read(hdr, 12, kPayloadTimeoutMs)) return false;
    const int x = hdr[0] << 8 | hdr[1];
    const int y = hdr[2] << 8 | hdr[3];
    const int w = hdr[4] << 8 | hdr[5];
    const int h = hdr[6] << 8 | hdr[7];
    const int32_t enc = static_cast<int32_t>(static_cast<uint32_t>(hdr[8]) << 24 |
                                             static_cast<uint32_t>(hdr[9]) << 16 |
                                             static_cast<uint32_t>(hdr[10]) << 8 | hdr[11]);
    vnc_back_buffer &b = c->back;
    c->phase = kPhaseRectangle;
    c->phase_encoding = enc;
    if (enc == kEncodingLastRect) {
        *last = true;
        return true;
    }
    if (enc == kEncodingDesktopSize || enc == kEncodingExtDesktopSize) {
        if (enc == kEncodingExtDesktopSize) {
            const int r = vnc_read_ext_desktop_size(c, in, x, y);
            if (r == kDecodeBroken) return false;
            // A refused request, or the size we have: nothing to redraw.
            if (r == kDecodeRefused || (w == b.width && h == b.height && b.pixels)) return true;
        }
        // Refused before anything is allocated; the connection cannot
        // follow the server to that size.
        if (static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kMaxFramebufferPixels) {
            vnc_note_end(c, "Server asked for a %d x %d framebuffer, over the limit of %llu pixels",
                         w, h, static_cast<unsigned long long>(kMaxFramebufferPixels));
            return false;
        }
        vnc_back_resize(c, w, h);
        // What this update drew before is of the old size; from here on
        // the new size counts as whole once every pixel has been drawn.
        b.drew = false;
        c->full_request_open = false;
        vnc_cu_resized(c);
        vnc_publish(c, vnc_publish_mode::boundary);
        return true;
    }
    // Pseudo-rectangles carry no pixels. Those whose bytes are known are
    // read also when we did not offer them, so the stream stays in step.
    if (enc == kEncodingCursor) return vnc_read_cursor(c, in, x, y, w, h) != kDecodeBroken;
    if (enc == kEncodingDesktopName) return vnc_read_desktop_name(c, in) != kDecodeBroken;
    if (enc == kEncodingQemuKeys) {
        // Taken only when offered: it changes what vnc_send_key sends.
        if (c->conn.qemu_keys) c->qemu_keys_ok.store(1);
        return true;
    }
    const vnc_decoder_fn fn = vnc_find_decoder(enc);
    if (!fn) {
        // Its payload's size is unknown: nothing after it can be read.
        vnc_note_end(c, "Server sent a rectangle of encoding %d, which this client cannot decode",
                     enc);
        return false;
    }
    // A resize the host's lock held back goes over at the next boundary.
    if (b.resized) vnc_publish(c, vnc_publish_mode::boundary);
    int result = kDecodeOk;
    vnc_decode_ctx ctx;
    {
        ctx.in = &in;
        ctx.pixels = b.pixels;
        ctx.fb_width = b.pixels ? b.width : 0;
        ctx.fb_height = b.pixels ? b.height : 0;
        ctx.inflate = c->inflater.get();
        ctx.red_max = c->red_max;
        ctx.green_max = c->green_max;
        ctx.blue_max = c->blue_max;
        ctx.running = &c->running;
        ctx.scratch = &c->payload_input;
        ctx.tight = c->tight.get();
        if (b.pixels && w > 0 && h > 0 && x < b.width && y < b.height) {
            // Cut to the back buffer: a publish while it decodes shows only
            // its finished rows.
            b.current.x0 = x;
            b.current.y0 = y;
            b.current.x1 = static_cast<int>(std::min<int64_t>(int64_t{x} + w, b.width));
            b.current.y1 = static_cast<int>(std::min<int64_t>(int64_t{y} + h, b.height));
            b.current_ctx = &ctx;
            b.current_shown = 0;
            b.in_progress = true;
        }
        result = fn(ctx, x, y, w, h);
        b.current_ctx = nullptr;
    }
    if (result == kDecodeBroken) {
        // A decoder that ends the stream without a failed read found a
        // payload it cannot skip.
        if (c->reader && c->reader.get() == &in &&
            c->reader->last_failure() == vnc_socket_reader::failure::none)
            vnc_note_end(c, "Protocol error in a rectangle of encoding %d at %d,%d size %d x %d%s%s",
                         enc, x, y, w, h, ctx.error ? ": " : "", ctx.error ? ctx.error : "");
        // What was finished before the failure is shown; the rest is not,
        // and nothing more is decoded.
        b.current_rows = ctx.rows_done;
        if (ctx.rows_done > 0) vnc_back_damage(c, x, y, w, std::min(h, ctx.rows_done));
        return false;
    }
    b.in_progress = false;
    // A refused rectangle is not reported, unless it may have drawn: the
    // host is told of every pixel that changes.
    if ((result == kDecodeOk || ctx.drawn) && b.pixels) {
        vnc_back_damage(c, x, y, w, h);
        b.drew = true;
    }
    if (result == kDecodeOk) {
        vnc_back_drawn(c, x, y, w, h);
        // The answer to a sync's request for the top-left pixel.
        if (c->sync_armed && x == 0 && y == 0 && w > 0 && h > 0) c->sync_hit = c->sync_armed;
    }
    return true;
}

// Runs while the reader waits for data in the middle of an update: shows
// the host what has been decoded so far, every kInterimPublishMs.
void interim_publish(void *arg) {
    vnc_client_t *c = static_cast<vnc_client_t *>(arg);
    vnc_publish(c, vnc_publish_mode::interim);
    const auto now = std::chrono::steady_clock::now();
    auto &due = c->back.next_interim;
    while (due <= now) due += std::chrono::milliseconds(kInterimPublishMs);
    if (c->reader) c->reader->arm_tick(due);
}

// Returns false when the connection is unusable (the worker ends).
bool handle_framebuffer_update(vnc_client_t *c, vnc_byte_source &in) {
    c->phase = "a FramebufferUpdate";
    uint8_t hdr[3];
    if (in.read(hdr, 3, kPayloadTimeoutMs)) return false;
    const int count = hdr[1] << 8 | hdr[2];
    // A server that takes Extended Clipboard says so before its first update.
    vnc_clipboard_known(c);
    vnc_back_wake(c);
    c->back.drew = false;
    // This update answers the sync asked for before it began, if any.
    c->sync_armed = c->sync_by_update.load();
    // Only the worker reads through c->reader; the message fuzzer passes a
    // memory reader and gets no interim publishes.
    vnc_socket_reader *ticking = c->reader.get() == &in ? c->reader.get() : nullptr;
    if (ticking) {
        c->back.next_interim =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kInterimPublishMs);
        ticking->set_tick(interim_publish, c);
        ticking->arm_tick(c->back.next_interim);
    }
    bool ok = true, last = false;
    for (int i = 0; i < count && ok && !last; ++i)
        ok = c->running.load() && handle_rectangle(c, in, &last);
    if (ticking) ticking->disarm_tick();
    // The whole update reaches the host before the next one is asked for;
    // this is the one hand-over that waits for the lock, and no data is due.
    vnc_publish(c, vnc_publish_mode::final);
    c->back.last_update = std::chrono::steady_clock::now();
    if (!ok) return false;
    if (c->full_request_open && c->back.drew) {
        c->full_request_open = false;
        c->drawn.complete();
    }
    // Counted once the host has all of it, and only while the picture is
    // whole: a count of 1 means the first full picture has arrived.
    if (c->back.pending_count == 0 && !c->back.resized && c->back.drew && !c->drawn.missing)
        c->update_count.fetch_add(1);
    vnc_sync_update_done(c);
    // With continuous updates the server sends without being asked.
    if (c->running.load() && c->cu_on.load() != kCuOn) send_framebuffer_update_request(c, 1);
    return true;
}

// A Fence: flags, then up to 64 bytes the sender wants back. A request
// is answered at once with the same payload; every message before it has
// been handled and none after it yet, since we handle them in order, so
// BlockBefore, BlockAfter and SyncNext hold as asked.
bool handle_fence(vnc_client_t *c, vnc_byte_source &in) {
    c->phase = "a Fence";
    uint8_t hdr[8];  // padding, flags, length
    if (in.read(hdr, 8, kPayloadTimeoutMs)) return false;
    const uint32_t flags = vnc_load_be32(hdr + 3);
    const uint8_t len = hdr[7];
    if (len > kMaxFencePayload) {
        vnc_note_end(c, "Server sent a Fence with %u bytes of payload, over the limit of %u", len,
                     static_cast<unsigned>(kMaxFencePayload));
        return false;
    }
    uint8_t reply[9 + kMaxFencePayload] = {kMsgServerFence};
    if (in.read(reply + 9, len, kPayloadTimeoutMs)) return false;
    if (!(flags & kFenceRequest)) {
        vnc_sync_fence_answer(c, reply + 9, len);
        return true;
    }
    // A server that asks takes our fences too.
    c->fence_ok.store(1);
    vnc_put_be32(reply + 4, flags & (kFenceBlockBefore | kFenceBlockAfter | kFenceSyncNext));
    reply[8] = len;
    vnc_send_message(c, reply, 9 + size_t{len});
    return true;
}

bool handle_colour_map(vnc_client_t *c, vnc_byte_source &in) {
    c->phase = "SetColourMapEntries";
    uint8_t hdr[5];
    if (in.read(hdr, 5, kPayloadTimeoutMs)) return false;
    const uint32_t count = static_cast<uint32_t>(hdr[3] << 8 | hdr[4]);
    // We asked for true colour, so the entries are of no use.
    return in.skip(static_cast<uint64_t>(count) * 6, kColourMapEntryTimeoutMs) == 0;
}

}  // namespace

vnc_decoder_fn vnc_find_decoder(int32_t encoding) {
    for (const decoder_entry &d : kDecoders)
        if (d.encoding == encoding) return d.fn;
    return nullptr;
}

void vnc_put_update_request(uint8_t *msg, int incremental, int width, int height) {
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    const uint8_t bytes[10] = {3,
                               static_cast<uint8_t>(incremental ? 1 : 0),
                               0,
                               0,
                               0,
                               0,
                               static_cast<uint8_t>(w >> 8),
                               static_cast<uint8_t>(w),
                               static_cast<uint8_t>(h >> 8),
                               static_cast<uint8_t>(h)};
    std::memcpy(msg, bytes, sizeof bytes);
}

void send_framebuffer_update_request(vnc_client_t *c, int incremental) {
    // The size the worker decodes at: its own, not the host's, so no lock.
    uint8_t msg[10];
    vnc_put_update_request(msg, incremental, c->back.width, c->back.height);
    vnc_send_message(c, msg, sizeof msg);
}

bool vnc_handle_server_message(vnc_client_t *c, vnc_byte_source &in, uint8_t type) {
    switch (type) {
    case 0: return handle_framebuffer_update(c, in);
    case 1: return handle_colour_map(c, in);
    case 2:  // Bell
        vnc_signal_event(c, VNC_EVENT_BELL);
        return true;
    case 3: return vnc_handle_cut_text(c, in);
    case kMsgEndOfContinuousUpdates:  // nothing follows the type
        vnc_cu_server_end(c);
        return true;
    case kMsgServerFence: return handle_fence(c, in);
    case kMsgXvp: {
        c->phase = "an xvp message";
        uint8_t rest[3];  // padding, version, code
        return in.read(rest, 3, kPayloadTimeoutMs) == 0;
    }
    default:
        // Its length is unknown: nothing after it can be read.
        vnc_note_end(c, "Server sent a message of type %u, which this client does not know",
                     static_cast<unsigned>(type));
        return false;
    }
}

namespace {
// How long to wait for the next message before looking at the clock: with a
// waker, until the back buffer is due to go and then for long, so that an
// idle connection does not wake; without one, in short steps that also
// notice a cleared running flag.
int message_wait_ms(const vnc_client_t *c) {
    constexpr int kQuietWaitMs = 60 * 1000;
    if (c->wake_fd < 0) return kMessageWaitTimeoutMs;
    if (c->back.idle) return kQuietWaitMs;
    const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - c->back.last_update)
                           .count();
    // Due and still held (an update in progress or pending): look again soon.
    if (quiet >= kIdleReleaseMs) return kMessageWaitTimeoutMs;
    return static_cast<int>(kIdleReleaseMs - quiet);
}
}  // namespace

void vnc_worker_proc(vnc_client_t *c) {
    const vnc_jpeg_thread jpeg_thread;
    try {
        vnc_socket_reader &in = *c->reader;
        in.set_cancel(&c->running);
        // The first request went out with the set-up messages.
        c->back.last_update = std::chrono::steady_clock::now();
        while (c->running.load()) {
            uint8_t type;
            c->phase = "";
            if (in.read_u8(&type, message_wait_ms(c))) {
                // A quiet server is normal; a closed or broken connection ends us.
                if (in.timed_out()) {
                    if (std::chrono::steady_clock::now() - c->back.last_update >=
                        std::chrono::milliseconds(kIdleReleaseMs))
                        vnc_back_idle(c);
                    continue;
                }
                break;
            }
            if (!vnc_handle_server_message(c, in, type)) break;
        }
        // Why, unless a send or a protocol error has said so already.
        if (c->stopping.load()) {
            vnc_note_end(c, "Closed by vnc_disconnect");
        } else if (in.last_failure() != vnc_socket_reader::failure::none &&
                   in.last_failure() != vnc_socket_reader::failure::cancelled) {
            char what[96];
            if (c->phase == kPhaseRectangle)
                std::snprintf(what, sizeof what, "a rectangle of encoding %d", c->phase_encoding);
            else
                std::snprintf(what, sizeof what, "%s", c->phase);
            vnc_note_read_failure(c, what);
        }
        // An update cut short by the server still shows what arrived.
        vnc_publish(c, vnc_publish_mode::final);
    } catch (...) {
        // Nothing here is meant to throw; should it, the connection ends
        // rather than the host process.
    }
    // Only the host's framebuffer outlives the connection.
    vnc_worker_release(c);
    vnc_clipboard_known(c);
    vnc_set_status(c, VNC_STATUS_DISCONNECTED);
}
