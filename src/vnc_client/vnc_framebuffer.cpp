// The framebuffer, its lock and the dirty rectangle; the worker's back buffer
// and how its changes are handed over to the host.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "vnc_alloc.h"
#include "vnc_client_internal.h"

namespace {

// (x, y, w, h) cut to width x height; false when nothing is left.
bool clip_area(int x, int y, int w, int h, int width, int height, vnc_area *out) {
    const int64_t x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + w, width);
    const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + h, height);
    if (x1 <= x0 || y1 <= y0) return false;
    *out = {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1), static_cast<int>(y1)};
    return true;
}

vnc_area bounding(const vnc_area &a, const vnc_area &b) {
    return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1),
            std::max(a.y1, b.y1)};
}

bool contains(const vnc_area &outer, const vnc_area &inner) {
    return outer.x0 <= inner.x0 && outer.y0 <= inner.y0 && outer.x1 >= inner.x1 &&
           outer.y1 >= inner.y1;
}

void add_pending(vnc_back_buffer &b, const vnc_area &a) {
    for (int i = 0; i < b.pending_count; ++i) {
        if (contains(b.pending[i], a)) return;
        if (contains(a, b.pending[i])) {
            // Replace it, and drop any others the new area also covers.
            b.pending[i] = a;
            int n = i + 1;
            for (int j = i + 1; j < b.pending_count; ++j)
                if (!contains(a, b.pending[j])) b.pending[n++] = b.pending[j];
            b.pending_count = n;
            return;
        }
    }
    if (b.pending_count == kMaxPendingAreas) {
        vnc_area all = b.pending[0];
        for (int i = 1; i < b.pending_count; ++i) all = bounding(all, b.pending[i]);
        b.pending[0] = all;
        b.pending_count = 1;
        add_pending(b, a);
        return;
    }
    b.pending[b.pending_count++] = a;
}

void copy_area(uint32_t *dst, const uint32_t *src, int width, const vnc_area &a) {
    const size_t stride = static_cast<size_t>(width);
    const size_t offset = static_cast<size_t>(a.y0) * stride + static_cast<size_t>(a.x0);
    const size_t rows = static_cast<size_t>(a.y1 - a.y0), cols = static_cast<size_t>(a.x1 - a.x0);
    if (cols == stride) {
        std::memcpy(dst + offset, src + offset, rows * cols * 4);
        return;
    }
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(dst + offset + r * stride, src + offset + r * stride, cols * 4);
}

}  // namespace

// Every pixel array carries a small header in front of it saying how to
// give it back.
namespace {
struct pixels_header {
    void *base;    // what was mapped or allocated
    size_t size;   // bytes mapped; 0 for a heap block
    size_t bytes;  // bytes of pixels
    // Faults a mapped array in ahead of its first use; joined before the
    // array goes.
    std::thread prefault;
    std::atomic<bool> stop_prefault{false};
    std::atomic<bool> prefault_done{false};
};
static_assert(sizeof(pixels_header) <= 64, "fits in front of the pixels");
constexpr size_t kHeaderSpace = 64;  // keeps the pixels 64-byte aligned

pixels_header *header_of(uint32_t *pixels) {
    return reinterpret_cast<pixels_header *>(reinterpret_cast<char *>(pixels) - kHeaderSpace);
}
}  // namespace

uint32_t *vnc_pixels_alloc(int width, int height) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (!count) return nullptr;
    const size_t bytes = count * sizeof(uint32_t);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A framebuffer is touched whole, and thousands of small page faults
    // cost as much as decoding a frame: large arrays are mapped on their own,
    // aligned so that huge pages can back all of them.
    constexpr size_t kHuge = size_t{2} << 20;
    if (bytes >= 2 * kHuge) {
        const size_t size = ((bytes + kHuge - 1) & ~(kHuge - 1)) + kHuge;
        void *base = vnc_alloc_fault() ? MAP_FAILED
                                            : mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return nullptr;
        const uintptr_t at =
            (reinterpret_cast<uintptr_t>(base) + kHeaderSpace + kHuge - 1) & ~(kHuge - 1);
        madvise(reinterpret_cast<void *>(at), size - (at - reinterpret_cast<uintptr_t>(base)),
                MADV_HUGEPAGE);
        uint32_t *pixels = reinterpret_cast<uint32_t *>(at);
        pixels_header *h = new (header_of(pixels)) pixels_header();
        h->base = base;
        h->size = size;
        h->bytes = bytes;
        return pixels;
    }
#endif
    void *base = vnc_calloc(1, bytes + kHeaderSpace);
    if (!base) return nullptr;
    uint32_t *pixels = reinterpret_cast<uint32_t *>(static_cast<char *>(base) + kHeaderSpace);
    pixels_header *h = new (header_of(pixels)) pixels_header();
    h->base = base;
    h->size = 0;
    h->bytes = bytes;
    return pixels;
}

void vnc_pixels_prefault(uint32_t *pixels) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (!pixels) return;
    pixels_header *h = header_of(pixels);
    if (!h->size || h->prefault.joinable() || h->prefault_done.load()) return;
    // Fresh memory's first touch is slow (the kernel clears every page, and
    // on a VM the host may have to supply it first). On another core it
    // overlaps the decoding of the first update instead of stalling the
    // first hand-over. Populating changes no byte, so it may race the
    // array's users; it goes a huge page at a time to stay quick to stop.
    char *at = reinterpret_cast<char *>(pixels);
    const size_t len = h->bytes;
    // Without a thread the array is faulted in as it is used.
    vnc_thread_start(h->prefault, [h, at, len] {
        constexpr size_t kStep = size_t{2} << 20;
        for (size_t off = 0; off < len && !h->stop_prefault.load(); off += kStep)
            if (madvise(at + off, std::min(kStep, len - off), MADV_POPULATE_WRITE)) break;
        h->prefault_done.store(true);
    });
#else
    (void)pixels;
#endif
}

namespace {
void join_prefault(pixels_header *h) {
    try {
        h->prefault.join();
    } catch (...) {  // std::system_error: nothing left to wait for
    }
}
}  // namespace

void vnc_pixels_reap(uint32_t *pixels) {
    if (!pixels) return;
    pixels_header *h = header_of(pixels);
    if (h->prefault.joinable() && h->prefault_done.load()) join_prefault(h);
}

void vnc_pixels_stop_prefault(uint32_t *pixels) {
    if (!pixels) return;
    pixels_header *h = header_of(pixels);
    if (!h->prefault.joinable()) return;
    h->stop_prefault.store(true);
    join_prefault(h);
}

bool vnc_pixels_prefault_done_for_testing(uint32_t *pixels) {
    return pixels && header_of(pixels)->prefault_done.load();
}

void vnc_pixels_free(uint32_t *pixels) {
    if (!pixels) return;
    vnc_pixels_stop_prefault(pixels);
    pixels_header *h = header_of(pixels);
    void *base = h->base;
    const size_t size = h->size;
    h->~pixels_header();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size) {
        munmap(base, size);
        return;
    }
#endif
    (void)size;
    vnc_free(base);
}

void vnc_back_buffer_release(vnc_client_t *c) {
    vnc_back_buffer &b = c->back;
    vnc_pixels_free(b.pixels);
    vnc_pixels_free(b.next_front);
    b = vnc_back_buffer();
}

void vnc_framebuffer_resize(vnc_client_t *c, int width, int height) {
    // Nothing of the new size is drawn, whether its arrays can be had or not.
    c->drawn.reset(width, height);
    vnc_back_buffer_release(c);
    vnc_pixels_free(c->framebuffer);
    c->framebuffer = nullptr;
    c->fb_width = width;
    c->fb_height = height;
    c->fb_stride = width * 4;
    c->back.width = width;
    c->back.height = height;
    uint32_t *front = vnc_pixels_alloc(width, height);
    uint32_t *back = front ? vnc_pixels_alloc(width, height) : nullptr;
    if (!back) {
        vnc_pixels_free(front);
        return;
    }
    c->framebuffer = front;
    c->back.pixels = back;
}

void vnc_back_resize(vnc_client_t *c, int width, int height) {
    vnc_back_buffer &b = c->back;
    c->drawn.reset(width, height);
    vnc_pixels_free(b.pixels);
    vnc_pixels_free(b.next_front);
    b.pixels = b.next_front = nullptr;
    b.width = width;
    b.height = height;
    b.resized = true;
    b.idle = false;
    // Both new arrays start zero-filled, so only what is drawn from here on
    // needs copying: nothing of the old size carries over.
    b.pending_count = 0;
    b.in_progress = false;
    uint32_t *front = vnc_pixels_alloc(width, height);
    uint32_t *back = front ? vnc_pixels_alloc(width, height) : nullptr;
    if (!back) {
        vnc_pixels_free(front);
        return;
    }
    b.pixels = back;
    b.next_front = front;
}

void vnc_back_damage(vnc_client_t *c, int x, int y, int w, int h) {
    vnc_back_buffer &b = c->back;
    vnc_area a;
    if (b.pixels && clip_area(x, y, w, h, b.width, b.height, &a)) add_pending(b, a);
}

void vnc_coverage::release() {
    if (rows)
        for (int y = 0; y < height; ++y) vnc_free(rows[y]);
    vnc_free(rows);
    rows = nullptr;
}

void vnc_coverage::reset(int w, int h) {
    release();
    width = std::max(w, 0);
    height = std::max(h, 0);
    missing = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
}

void vnc_coverage::add(const vnc_area &a) {
    if (!missing || a.empty()) return;
    const size_t words = (static_cast<size_t>(width) + 63) / 64;
    if (!rows) rows = static_cast<uint64_t **>(vnc_calloc(static_cast<size_t>(height), sizeof *rows));
    bool out_of_memory = !rows;
    for (int y = a.y0; !out_of_memory && y < a.y1; ++y) {
        uint64_t *&row = rows[y];
        if (!row) row = static_cast<uint64_t *>(vnc_calloc(words, sizeof *row));
        if (!(out_of_memory = !row)) {
            for (int x = a.x0; x < a.x1;) {
                const int bit = x & 63, n = std::min(64 - bit, a.x1 - x);
                const uint64_t mask = (n == 64 ? ~uint64_t{0} : ((uint64_t{1} << n) - 1)) << bit;
                uint64_t &word = row[x >> 6];
                missing -= static_cast<uint64_t>(__builtin_popcountll(mask & ~word));
                word |= mask;
                x += n;
            }
        }
    }
    if (out_of_memory || !missing) complete();
}

void vnc_back_drawn(vnc_client_t *c, int x, int y, int w, int h) {
    vnc_back_buffer &b = c->back;
    vnc_area a;
    if (!b.pixels || !clip_area(x, y, w, h, b.width, b.height, &a)) return;
    vnc_coverage &d = c->drawn;
    d.add(a);
    // The host's array is faulted in only once an eighth of the picture has
    // been decoded, or the first full picture has come: a size that a
    // server merely announces costs no memory. Where the first update comes
    // in several rectangles, the rest of it overlaps the faulting.
    const uint64_t total = static_cast<uint64_t>(b.width) * static_cast<uint64_t>(b.height);
    if (d.missing <= total - total / 8) vnc_pixels_prefault(b.resized ? b.next_front : c->framebuffer);
}

void vnc_back_idle(vnc_client_t *c) {
    vnc_back_buffer &b = c->back;
    if (b.idle || !b.pixels || b.resized || b.pending_count || b.in_progress) return;
    vnc_pixels_free(b.pixels);
    b.pixels = nullptr;
    b.idle = true;
    vnc_pixels_reap(c->framebuffer);
    c->payload_input.release();
    if (c->tight) c->tight->rows.release();
}

void vnc_back_wake(vnc_client_t *c) {
    vnc_back_buffer &b = c->back;
    if (!b.idle) return;
    // Filled before the first rectangle, so CopyRect and partial tiles see
    // the picture the host has. Without the array this update's rectangles
    // are refused, and the next update tries again.
    b.pixels = vnc_pixels_alloc(b.width, b.height);
    if (!b.pixels) return;
    b.idle = false;
    // No lock: while the worker runs it is the only writer of the host's
    // framebuffer, and hosts only read it.
    if (c->framebuffer && c->fb_width == b.width && c->fb_height == b.height)
        std::memcpy(b.pixels, c->framebuffer,
                    static_cast<size_t>(b.width) * static_cast<size_t>(b.height) * 4);
}

void vnc_worker_release(vnc_client_t *c) {
    vnc_back_buffer_release(c);
    c->drawn.release();
    vnc_pixels_reap(c->framebuffer);
    c->payload_input.release();
    c->inflater.reset();
    c->tight.reset();
    c->reader.reset();
}

bool vnc_lock_while_running(vnc_client_t *c) {
    for (int tries = 0;; ++tries) {
        if (c->lock.try_lock()) return true;
        if (c->stopping.load()) return false;
        // A host holds it only briefly as a rule: yield first, since even
        // the shortest sleep costs tens of microseconds of timer slack.
        if (tries < 64)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

namespace {

vnc_area intersect(const vnc_area &a, const vnc_area &b) {
    return {std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1),
            std::min(a.y1, b.y1)};
}

// The pieces of a that lie outside hold (at most four), appended to out.
int subtract(const vnc_area &a, const vnc_area &hold, vnc_area *out) {
    const vnc_area i = intersect(a, hold);
    if (i.empty()) {
        out[0] = a;
        return 1;
    }
    int n = 0;
    if (a.y0 < i.y0) out[n++] = {a.x0, a.y0, a.x1, i.y0};
    if (i.y1 < a.y1) out[n++] = {a.x0, i.y1, a.x1, a.y1};
    if (a.x0 < i.x0) out[n++] = {a.x0, i.y0, i.x0, i.y1};
    if (i.x1 < a.x1) out[n++] = {i.x1, i.y0, a.x1, i.y1};
    return n;
}

}  // namespace

void vnc_publish(vnc_client_t *c, vnc_publish_mode mode) {
    vnc_back_buffer &b = c->back;
    // The rows of the rectangle in progress that are not finished stay out
    // of every copy, also where a finished area overlaps them.
    vnc_area hold;
    if (b.in_progress) {
        const int rows = b.current_ctx ? b.current_ctx->rows_done : b.current_rows;
        hold = b.current;
        hold.y0 = static_cast<int>(std::min<int64_t>(hold.y1, int64_t{hold.y0} + rows));
        // Rows finished since the last interim publish; earlier ones are
        // pending or handed over already.
        const int shown = b.current.y0 + b.current_shown;
        if (mode == vnc_publish_mode::interim && hold.y0 > shown) {
            vnc_back_damage(c, b.current.x0, shown, b.current.x1 - b.current.x0, hold.y0 - shown);
            b.current_shown = hold.y0 - b.current.y0;
        }
    }
    if (!b.resized && !b.pending_count) return;
    // A resize is handed over between rectangles only.
    if (b.resized && mode == vnc_publish_mode::interim && b.in_progress) return;

    vnc_area copy[kMaxPendingAreas * 4];
    int copies = 0;
    vnc_area keep[kMaxPendingAreas];
    int kept = 0;
    for (int i = 0; i < b.pending_count; ++i) {
        const vnc_area &p = b.pending[i];
        copies += subtract(p, hold, copy + copies);
        const vnc_area held = intersect(p, hold);
        if (!held.empty()) keep[kept++] = held;
    }
    // The host's next array is not the host's yet: fill it before the lock.
    // Should the lock be busy, the same copies are made again next time.
    if (b.resized && b.next_front && b.pixels)
        for (int i = 0; i < copies; ++i) copy_area(b.next_front, b.pixels, b.width, copy[i]);

    if (mode == vnc_publish_mode::final) {
        if (!vnc_lock_while_running(c)) return;
    } else if (!c->lock.try_lock()) {
        return;  // the host holds it: try again at the next chance
    }
    uint32_t *replaced = nullptr;
    if (b.resized) {
        replaced = c->framebuffer;
        c->framebuffer = b.next_front;
        b.next_front = nullptr;
        c->fb_width = b.width;
        c->fb_height = b.height;
        c->fb_stride = b.width * 4;
        // A rectangle still pending may lie outside the new size: start afresh.
        c->dirty = 0;
        mark_dirty_region(c, 0, 0, b.width, b.height);
    } else if (c->framebuffer && b.pixels) {
        for (int i = 0; i < copies; ++i) {
            const vnc_area &a = copy[i];
            copy_area(c->framebuffer, b.pixels, b.width, a);
            mark_dirty_region(c, a.x0, a.y0, a.x1 - a.x0, a.y1 - a.y0);
        }
    }
    c->lock.unlock();
    if (b.resized)
        vnc_signal_event(c, VNC_EVENT_UPDATE | VNC_EVENT_DESKTOP_SIZE);
    else if (copies && c->framebuffer && b.pixels)
        vnc_signal_event(c, VNC_EVENT_UPDATE);
    // Freed without the lock: freeing may wait for its prefault thread, and
    // no one can reach the array any more.
    vnc_pixels_free(replaced);
    // While a worker runs only it replaces the host's array, so it may look
    // at it here.
    vnc_pixels_reap(c->framebuffer);
    b.resized = false;
    b.pending_count = 0;
    for (int i = 0; i < kept; ++i) add_pending(b, keep[i]);
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
