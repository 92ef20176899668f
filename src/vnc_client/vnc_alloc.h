// Every heap block the library takes goes through these, so that no
// allocation failure can escape as an exception and so that one place sees
// them all. They behave like their C counterparts: null on failure.
#ifndef QUENVIRA_VNC_ALLOC_H
#define QUENVIRA_VNC_ALLOC_H

#include <cstddef>
#include <new>
#include <thread>
#include <utility>

void *vnc_malloc(size_t size);
void *vnc_calloc(size_t count, size_t size);
void *vnc_realloc(void *block, size_t size);
void vnc_free(void *block);
// Zeroes n bytes at p (null: nothing) in a way the compiler keeps: secrets
// do not stay behind in memory that is freed or reused.
void vnc_wipe(void *p, size_t n);

// zlib's allocator pair (for z_stream.zalloc / zfree), through the above.
void *vnc_zalloc(void *opaque, unsigned items, unsigned size);
void vnc_zfree(void *opaque, void *block);

// One allocation point is about to be passed: true when the fault injector
// says it must fail. For resources taken outside vnc_malloc (threads).
bool vnc_alloc_fault();

// Starts a thread into *out; false (and *out untouched) when it could not be
// started. Counts as an allocation point for the fault injector.
template <class Fn, class... Args>
bool vnc_thread_start(std::thread &out, Fn &&fn, Args &&...args) {
    if (vnc_alloc_fault()) return false;
    try {
        out = std::thread(std::forward<Fn>(fn), std::forward<Args>(args)...);
        return true;
    } catch (...) {  // std::system_error, std::bad_alloc
        return false;
    }
}

// Constructs a T in a block from vnc_malloc; null when none could be had.
// T's constructor must not throw. Destroy with vnc_delete.
template <class T, class... Args>
T *vnc_new(Args &&...args) {
    void *p = vnc_malloc(sizeof(T));
    return p ? new (p) T(std::forward<Args>(args)...) : nullptr;
}
template <class T>
void vnc_delete(T *p) {
    if (!p) return;
    p->~T();
    vnc_free(p);
}
// Frees what vnc_new made (for std::unique_ptr).
struct vnc_deleter {
    template <class T>
    void operator()(T *p) const { vnc_delete(p); }
};

// ---- Test seams (not exported) ----------------------------------------
// Fault injector: from now on, the n-th allocation point passed (1-based,
// any thread) fails, and only that one; n = 0 disables it.
void vnc_alloc_fail_nth_for_testing(long n);
// Allocation points passed since the last vnc_alloc_fail_nth_for_testing.
long vnc_alloc_points_for_testing();
// Whether the armed failure has been delivered.
bool vnc_alloc_fault_fired_for_testing();
// Blocks from vnc_malloc & co. not yet freed (process-wide).
long vnc_alloc_live_blocks_for_testing();

#endif
