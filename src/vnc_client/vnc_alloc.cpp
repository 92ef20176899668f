#include "vnc_alloc.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {
// Fault injector state. Relaxed counters cost next to nothing when disarmed.
std::atomic<long> s_fail_at{0};
std::atomic<long> s_points{0};
std::atomic<bool> s_fired{false};
std::atomic<long> s_live{0};

void *counted(void *p) {
    if (p) s_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
}  // namespace

bool vnc_alloc_fault() {
    const long n = s_points.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n != s_fail_at.load(std::memory_order_relaxed)) return false;
    s_fired.store(true);
    return true;
}

void *vnc_malloc(size_t size) {
    if (vnc_alloc_fault()) return nullptr;
    return counted(std::malloc(size ? size : 1));
}

void *vnc_calloc(size_t count, size_t size) {
    if (vnc_alloc_fault()) return nullptr;
    return counted(std::calloc(count ? count : 1, size ? size : 1));
}

void *vnc_realloc(void *block, size_t size) {
    if (vnc_alloc_fault()) return nullptr;
    void *p = std::realloc(block, size ? size : 1);
    return block ? p : counted(p);
}

void vnc_free(void *block) {
    if (block) s_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void *vnc_zalloc(void *, unsigned items, unsigned size) { return vnc_calloc(items, size); }

void vnc_zfree(void *, void *block) { vnc_free(block); }

void vnc_alloc_fail_nth_for_testing(long n) {
    s_fail_at.store(0);
    s_fired.store(false);
    s_points.store(0);
    s_fail_at.store(n);
}

long vnc_alloc_points_for_testing() { return s_points.load(); }

bool vnc_alloc_fault_fired_for_testing() { return s_fired.load(); }

long vnc_alloc_live_blocks_for_testing() { return s_live.load(); }

void vnc_wipe(void *p, size_t n) {
    if (!p) return;
    volatile uint8_t *v = static_cast<volatile uint8_t *>(p);
    while (n--) *v++ = 0;
}
